// One pipeline pass set up without a device: a pipeline and worker whose source hands out the
// same recorded 65 536-byte block (8 streams x 4096 samples, 8.192 ms of signal at 500 kHz) again
// and again, as a device would hand out new ones. Shared by the pass benchmarks (host_bench,
// perf_bench and the plain perf_pass program that is also cross-built for Windows).
#pragma once

#include "ZalvoIntf.h"
#include "pipeline.h"
#include "worker.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pass_rig {

constexpr int BLOCK_BYTES = 65536;
constexpr double PASS_SECONDS = 4096.0 / 500000.0;  // 8.192 ms

// Stream k carries a tone at 1000 + 7000 k Hz, amplitude 12000.
class RecordedSource : public StreamSource {
  public:
    RecordedSource() : block(BLOCK_BYTES / 2) {
        for (size_t i = 0; i < block.size(); ++i) {
            double t = double(i / 8) / 500000.0;
            block[i] = static_cast<int16_t>(
                12000 * std::sin(2 * 3.14159265358979 * (1000.0 + 7000.0 * double(i % 8)) * t));
        }
    }
    bool start_streaming() override { return true; }
    void stop_streaming() override {}
    int read(void* buffer, int length, bool* overrun) override {
        std::memcpy(buffer, block.data(), static_cast<size_t>(length));
        *overrun = false;
        return length;
    }

  private:
    std::vector<int16_t> block;
};

// A pipeline at `rate_index` fed by a RecordedSource through a worker's passes (no thread),
// delivering to `callback`, begun. ready() is false when the pipeline could not be set up.
class Rig : private BlockSink {
  public:
    Rig(int rate_index, ZalvoDataCallback callback, intptr_t context)
        : callback_(callback), context_(context), worker_(source_, pipeline_, *this) {
        ready_ = pipeline_.setup(rate_index, BLOCK_BYTES) == PipelineStatus::ready;
        if (ready_)
            worker_.begin();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool ready() const { return ready_; }
    void pass() { worker_.pass(); }
    const SamplePipeline& pipeline() const { return pipeline_; }

  private:
    void deliver(float** buffers) override { callback_(context_, buffers); }

    ZalvoDataCallback callback_;
    intptr_t context_;
    RecordedSource source_;
    SamplePipeline pipeline_;
    StreamWorker worker_;
    bool ready_ = false;
};

}  // namespace pass_rig
