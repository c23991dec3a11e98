// The sample pipeline: buffers and resamplers, and the passes that run through them.
#include "pipeline.h"

#include <cstring>
#include <initializer_list>
#include <new>

namespace {

const int32_t OUTPUT_RATES[] = {48000, 96000, 192000};

template <typename T> T** alloc_pointer_array(int count) {
    return reinterpret_cast<T**>(ippsMalloc_8u(count * static_cast<int>(sizeof(T*))));
}

}  // namespace

void SamplePipeline::FreeStreams::operator()(float** streams) const {
    for (int k = 0; k < STREAM_COUNT; ++k)
        ippsFree(streams[k]);
    ippsFree(streams);
}

void SamplePipeline::FreeResamplers::operator()(CResample** resamplers) const {
    for (int k = 0; k < STREAM_COUNT; ++k)
        delete resamplers[k];
    ippsFree(resamplers);
}

PipelineStatus SamplePipeline::setup(int32_t rate_index, int32_t block_bytes) {
    release();

    if (rate_index < 0 || rate_index > 2)
        return PipelineStatus::unknown_rate;
    output_rate_ = OUTPUT_RATES[rate_index];
    block_length_ = static_cast<int32_t>(output_rate_ / 93.75);
    block_bytes_ = block_bytes;

    for (FloatBlock& buffer : output_buffers_) {
        buffer.reset(reinterpret_cast<float*>(ippsMalloc_8u(block_length_ * 8)));
        if (!buffer)
            return PipelineStatus::low_memory;
        std::memset(buffer.get(), 0, static_cast<size_t>(block_length_) * 8);
    }
    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i)
        block_pointers_[i] = output_buffers_[i].get();
    output_count_ = 0;

    input_length_ = (block_bytes / RECEIVER_COUNT) / 4;
    output_capacity_ = static_cast<int32_t>(
        ((double(input_length_) * output_rate_ / INPUT_RATE) / 256.0 + 2.0) * 256.0);

    raw_block_.reset(ippsMalloc_8u(block_bytes));
    if (!raw_block_)
        return PipelineStatus::low_memory;

    // Both arrays are asked for before either is checked; entries are cleared in whichever
    // exists, so that its owner frees no stray pointer.
    float** inputs = alloc_pointer_array<float>(STREAM_COUNT);
    float** outputs = alloc_pointer_array<float>(STREAM_COUNT);
    for (float** streams : {inputs, outputs})
        if (streams)
            for (int k = 0; k < STREAM_COUNT; ++k)
                streams[k] = nullptr;
    input_streams_.reset(inputs);
    output_streams_.reset(outputs);
    if (!inputs || !outputs)
        return PipelineStatus::low_memory;
    for (int k = 0; k < STREAM_COUNT; ++k) {
        inputs[k] = ippsMalloc_32f(input_length_);
        if (!inputs[k])
            return PipelineStatus::low_memory;
        outputs[k] = ippsMalloc_32f(output_capacity_);
        if (!outputs[k])
            return PipelineStatus::low_memory;
    }

    CResample** resamplers = alloc_pointer_array<CResample>(STREAM_COUNT);
    if (!resamplers)
        return PipelineStatus::low_memory;
    for (int k = 0; k < STREAM_COUNT; ++k)
        resamplers[k] = nullptr;
    resamplers_.reset(resamplers);
    for (int k = 0; k < STREAM_COUNT; ++k) {
        resamplers[k] = dsp::allocation_fails() ? nullptr : new (std::nothrow) CResample;
        if (!resamplers[k])
            return PipelineStatus::low_memory;
        if (!resamplers[k]->Init(static_cast<uint32_t>(INPUT_RATE),
                                 static_cast<uint32_t>(output_rate_)))
            return PipelineStatus::resamplers_failed;
    }
    return PipelineStatus::ready;
}

void SamplePipeline::release() {
    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i) {
        output_buffers_[i].reset();
        block_pointers_[i] = nullptr;
    }
    raw_block_.reset();
    input_streams_.reset();
    output_streams_.reset();
    resamplers_.reset();
    for (float*& p : write_pos_)
        p = nullptr;
    for (const float*& p : read_pos_)
        p = nullptr;
    produced_ = 0;
}

int32_t SamplePipeline::startup_outputs() const {
    const CResample* first = resampler(0);
    if (!first || first->history < 2)
        return 0;
    // The resampler starts with history - 1 zeros of look-back and its filter reaches
    // history - 2 samples back: output m, at m * in / out input samples into the stream, sees
    // only the stream once m * in / out >= history - 2.
    const uint64_t reach = first->history - 2;
    return static_cast<int32_t>((reach * first->out_rate + first->in_rate - 1) / first->in_rate);
}

void SamplePipeline::begin() {
    output_count_ = 0;
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        write_pos_[i] = output_buffer(i);
    for (const float*& p : read_pos_)
        p = nullptr;
    produced_ = 0;
    startup_left_ = startup_outputs();
}

RailCounts SamplePipeline::take_rail_counts() {
    RailCounts counts;
    for (int i = 0; i < RECEIVER_COUNT; ++i) {
        counts.at_rails[i] = at_rails_[i];
        at_rails_[i] = 0;
    }
    counts.values = rail_values_;
    rail_values_ = 0;
    return counts;
}

void SamplePipeline::process(const void* raw, int32_t frames, BlockSink& sink) {
    if (frames <= 0)
        return;
    // The streams are de-interleaved straight into the resamplers' buffers, beside their
    // look-back; through the separate arrays only when a read is too long for that.
    CResample* const* resamplers = resamplers_.get();
    float* const* outputs = output_streams_.get();
    const uint32_t length = static_cast<uint32_t>(frames);
    float* in_place[STREAM_COUNT];
    bool direct = true;
    for (int k = 0; k < STREAM_COUNT; ++k) {
        in_place[k] = resamplers[k]->InputSpace(length);
        direct = direct && in_place[k];
    }
    uint32_t rails[STREAM_COUNT] = {};
    dsp::split8_rails(static_cast<const int16_t*>(raw), direct ? in_place : input_streams_.get(),
                      frames, rails);
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        at_rails_[i] += uint64_t(rails[2 * i]) + rails[2 * i + 1];
    rail_values_ += 2 * uint64_t(length);
    for (int k = 0; k < STREAM_COUNT; ++k) {
        if (direct)
            resamplers[k]->Filter(length, outputs[k], &produced_);
        else
            resamplers[k]->Process(input_streams_.get()[k], length, outputs[k], &produced_);
        read_pos_[k] = outputs[k];
    }
    // The first outputs of the stream carry the filter's response to the stream switching on
    // (strong carriers outside the output band ring through it): they are not delivered.
    if (startup_left_ > 0) {
        const int32_t drop = startup_left_ < produced_ ? startup_left_ : produced_;
        for (const float*& p : read_pos_)
            p += drop;
        produced_ -= drop;
        startup_left_ -= drop;
    }

    const float gain = OUTPUT_GAIN;
    while (produced_ > 0) {
        // Samples up to the end of the block under construction, or all that are left.
        int32_t run = block_length_ - output_count_;
        if (run > produced_)
            run = produced_;
        for (int i = 0; i < RECEIVER_COUNT; ++i) {
            float* dst = write_pos_[i];
            const float* src_i = read_pos_[2 * i];
            const float* src_q = read_pos_[2 * i + 1];
            dsp::interleave_scaled(src_i, src_q, dst, run, gain);
            write_pos_[i] = dst + 2 * run;
            read_pos_[2 * i] = src_i + run;
            read_pos_[2 * i + 1] = src_q + run;
        }
        produced_ -= run;
        output_count_ += run;
        if (output_count_ >= block_length_) {
            sink.deliver(block_pointers_);
            output_count_ = 0;
            for (int i = 0; i < RECEIVER_COUNT; ++i)
                write_pos_[i] = output_buffer(i);
        }
    }
}
