// The hand-over of blocks from the module's worker thread, through the data and error
// callbacks, to the run on the main thread; blocks the run cannot keep up with are counted as
// lost rather than held without bound.
#pragma once

#include "ZalvoIntf.h"
#include "losses.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace capture {

struct Exchange {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::vector<float>> full;  // each: the four receivers' I/Q, one after another
    std::vector<std::vector<float>> spare;
    std::atomic<int64_t> blocks{0};
    std::atomic<int64_t> dropped{0};  // blocks the tool itself could not keep up with
    int block_length = 512;
    int rate_hz = 48000;
    int64_t target = 0;                      // samples to record
    std::vector<std::string> errors;         // error callback texts (on the StartRx thread)
    std::atomic<int64_t> first_block_ns{0};  // steady clock, for the rate of the steady stream
    std::atomic<int64_t> last_block_ns{0};
    std::chrono::system_clock::time_point first_block_utc;  // under `lock`
    LossLog losses;

    // Where the next block lands in the recording, and the signal time reached.
    int64_t file_position() const {
        return std::min<int64_t>(target, (blocks.load() - dropped.load()) * block_length);
    }
    double signal_seconds() const { return double(blocks.load()) * block_length / rate_hz; }
    // One block's signal time.
    std::chrono::microseconds block_span() const {
        return std::chrono::microseconds(int64_t(1e6) * block_length / rate_hz);
    }

    // The module's callbacks; `context` is the Exchange.
    static void ZALVO_CALL on_data(intptr_t context, float** buffers);
    static void ZALVO_CALL on_error(intptr_t context, const char* text);
};

}  // namespace capture
