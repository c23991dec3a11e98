// The sample pipeline: the board's interleaved 16-bit I/Q of four receivers at 500 kHz in, one
// block of float I/Q per receiver at the output rate out, every 1/93.75 s. Each receiver's I and Q
// are resampled as two real streams, each by its own CResample.
#pragma once

#include "dsp.h"
#include "resample.h"

#include <cstdint>
#include <memory>

enum : int32_t {
    RECEIVER_COUNT = 4,
    OUTPUT_BUFFER_COUNT = 8,
    STREAM_COUNT = 2 * RECEIVER_COUNT,  // stream 2i: receiver i's I, 2i + 1: its Q
};
constexpr int32_t INPUT_RATE = 500000;        // complex samples per second per receiver
constexpr float OUTPUT_GAIN = 2147483648.0f;  // 2^31

// Takes each set of full blocks on the thread that runs the pipeline: buffer i is receiver i's
// block, buffers 4 to 7 are zeros. The blocks are not touched while deliver runs.
class BlockSink {
  public:
    virtual void deliver(float** buffers) = 0;

  protected:
    ~BlockSink() = default;
};

enum class PipelineStatus {
    ready,
    unknown_rate,       // the rate index is not 0, 1 or 2; nothing was allocated
    low_memory,         // a buffer, pointer array or resampler object could not be allocated
    resamplers_failed,  // a resampler refused its rates
};

// Values at the converter's rails (32767, -32767, -32768) per receiver, I and Q counted alike,
// out of `values` values per receiver.
struct RailCounts {
    uint64_t at_rails[RECEIVER_COUNT];
    uint64_t values;
    bool any() const {
        for (uint64_t n : at_rails)
            if (n)
                return true;
        return false;
    }
};

class SamplePipeline {
  public:
    SamplePipeline() = default;
    ~SamplePipeline() { release(); }
    SamplePipeline(const SamplePipeline&) = delete;
    SamplePipeline& operator=(const SamplePipeline&) = delete;

    // Builds the buffers and resamplers for the rate (index 0, 1, 2: 48, 96, 192 kHz) and reads
    // of block_bytes. Whatever an earlier setup built goes first. On failure what was allocated
    // stays until release(), as the status says where it stopped.
    PipelineStatus setup(int32_t rate_index, int32_t block_bytes);
    // Frees every buffer and resampler that exists; safe on a partial or empty pipeline and
    // twice in a row.
    void release();

    // Start of a stream: the block under construction is empty, and the outputs whose filter span
    // reaches before the stream's first frame are to be dropped.
    void begin();
    // De-interleaves `frames` frames of raw (8 16-bit samples each, at most block_bytes / 16),
    // resamples, interleaves, and hands every set of full blocks to sink. Allocates nothing.
    void process(const void* raw, int32_t frames, BlockSink& sink);
    // The counts of values at the rails since the last call, cleared.
    RailCounts take_rail_counts();
    // Values per receiver counted since the last take_rail_counts.
    uint64_t rail_values() const { return rail_values_; }

    // Outputs per stream that a resampler makes from a stream starting after silence before its
    // filter span lies wholly inside the stream: the filter's response to the stream switching
    // on, which begin() arranges to drop. 0 when the pipeline has no resamplers.
    int32_t startup_outputs() const;

    // The read target: block_bytes() bytes.
    uint8_t* raw_block() const { return raw_block_.get(); }
    int32_t block_bytes() const { return block_bytes_; }
    int32_t output_rate() const { return output_rate_; }
    int32_t block_length() const { return block_length_; }
    int32_t output_count() const { return output_count_; }
    int32_t input_length() const { return input_length_; }
    int32_t output_capacity() const { return output_capacity_; }
    float* output_buffer(int i) const { return output_buffers_[i].get(); }
    const float* write_position(int i) const { return write_pos_[i]; }
    const float* input_stream(int k) const {
        return input_streams_ ? input_streams_.get()[k] : nullptr;
    }
    const float* output_stream(int k) const {
        return output_streams_ ? output_streams_.get()[k] : nullptr;
    }
    const CResample* resampler(int k) const { return resamplers_ ? resamplers_.get()[k] : nullptr; }
    bool has_stream_arrays() const { return input_streams_ || output_streams_; }
    bool has_resampler_array() const { return resamplers_ != nullptr; }

  private:
    // Everything here comes from the aligned allocator; arrays of buffers free their entries
    // first, the resampler array destroys its objects first.
    struct FreeBlock {
        void operator()(void* p) const { ippsFree(p); }
    };
    struct FreeStreams {
        void operator()(float** streams) const;
    };
    struct FreeResamplers {
        void operator()(CResample** resamplers) const;
    };
    using FloatBlock = std::unique_ptr<float, FreeBlock>;
    using ByteBlock = std::unique_ptr<uint8_t, FreeBlock>;
    using Streams = std::unique_ptr<float*, FreeStreams>;
    using Resamplers = std::unique_ptr<CResample*, FreeResamplers>;

    FloatBlock output_buffers_[OUTPUT_BUFFER_COUNT];
    float* block_pointers_[OUTPUT_BUFFER_COUNT] = {};  // what the sink is handed, for the run
    ByteBlock raw_block_;
    Streams input_streams_;
    Streams output_streams_;
    Resamplers resamplers_;

    int32_t block_bytes_ = 0;
    int32_t output_rate_ = 0;
    int32_t block_length_ = 0;
    int32_t output_count_ = 0;
    int32_t input_length_ = 0;
    int32_t output_capacity_ = 0;

    // The stream under way: one write position per receiver, one read position per stream, the
    // outputs made by the last resampling and not yet placed, the startup outputs still to drop.
    float* write_pos_[RECEIVER_COUNT] = {};
    const float* read_pos_[STREAM_COUNT] = {};
    int32_t produced_ = 0;
    int32_t startup_left_ = 0;

    uint64_t at_rails_[RECEIVER_COUNT] = {};
    uint64_t rail_values_ = 0;
};
