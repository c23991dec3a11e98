// A host that records what the module's callbacks hand it: the error texts with their threads and
// contexts, the count of data blocks, spare buffers that were not all zeros, blocks without
// signal, the threads that delivered, and a window of each receiver's samples. Every program that
// drives the module uses it (the end-to-end, module, reliability, usbfs and Windows tests and the
// module benchmark); what only one of them needs it adds through on_block. Builds on Linux and in
// the MinGW cross build.
#pragma once

#include "ZalvoIntf.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace support {

constexpr int RECEIVERS = 4;
constexpr int BUFFERS = 8;  // a data callback's buffers: the four receivers', then four spare

// Output rate and samples per block at rate index 0, 1, 2: 48, 96, 192 kHz and 512, 1024, 2048.
// Any other index: 0.
int rate_of(int rate_index);
int block_length_of(int rate_index);

// Who runs now, in the form a test compares: GetCurrentThreadId() on Windows.
#ifdef _WIN32
using ThreadTag = unsigned long;
#else
using ThreadTag = std::thread::id;
#endif
ThreadTag this_thread_tag();

// Buffers 4 to 7 of a data callback (the spare ones, which the module keeps zero) that hold a
// non-zero value among their 2 * block_length floats.
int dirty_spare_buffers(float* const* buffers, int block_length);

// Polls `done` every 2 ms until it holds or `timeout_ms` has passed; returns its last value.
bool wait_until(const std::function<bool()>& done, int timeout_ms);

class RecordingHost {
  public:
    explicit RecordingHost(int rate_index = 0);
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    // Sets rate_index and block_length.
    void set_rate(int rate_index);
    // A settings record at rate_index whose callbacks reach this host, with every other byte (the
    // fields the module must not read) set to `fill`.
    ReceiverSettings settings_record(unsigned char fill = 0xA5);

    int rate_index = 0;
    int block_length = 0;        // complex samples per block and receiver
    ThreadTag host_thread;       // the thread that made the host
    bool inspect_blocks = true;  // look at every block's samples (off where a benchmark times)
    // Runs on the delivering thread with every block before it is counted; index: the blocks
    // counted before it. Set before StartRx.
    std::function<void(float** buffers, int index)> on_block;

    // Guards the error lists and the kept samples (take it to read them while a session runs).
    mutable std::mutex lock;
    std::vector<std::string> errors;
    std::vector<ThreadTag> error_threads;
    std::vector<intptr_t> error_contexts;
    std::atomic<int> wrong_thread_errors{0};  // reported on a thread other than host_thread

    std::atomic<int> blocks{0};
    std::atomic<int> dirty_spare_blocks{0};  // see dirty_spare_buffers, summed over the blocks
    std::atomic<int> blocks_with_signal{0};  // blocks where every receiver's buffer is not silent
    std::atomic<bool> data_on_host_thread{false};
    std::atomic<ThreadTag> data_thread{ThreadTag()};  // the thread of the first block
    std::atomic<int> data_threads_seen{0};            // blocks from any other thread

    // Receiver r's samples (I, Q interleaved) of the blocks whose index is in [skip, skip + keep).
    // Change skip, keep and kept under the lock.
    std::atomic<int> skip{0}, keep{0};
    std::vector<float> kept[RECEIVERS];

    // The error texts so far.
    std::vector<std::string> error_list() const;
    // Clears the kept samples and keeps the next `count` blocks; true once they are all there
    // (within timeout_ms).
    bool keep_next_blocks(int count, int timeout_ms);
    // Waits until at least n blocks have arrived; false after timeout_ms.
    bool wait_blocks(int64_t n, int timeout_ms = 20000) const;

    // The callbacks, reached through the record that settings_record() returns.
    void on_data(float** buffers);
    void on_error(const char* text);
    // The error callback as the module made it: the context it passed is recorded.
    void record_error(intptr_t context, const char* text);

  private:
    mutable std::mutex wait_lock_;
    mutable std::condition_variable more_;
};

}  // namespace support
