// CResample: one real stream from an input rate to an output rate, chunk by chunk, without a
// seam between chunks. It keeps the look-back samples (history) and the fractional position of
// the next output sample between calls; the filtering itself is the fixed-ratio polyphase
// resampler of the signal-processing layer.
#pragma once

#include "dsp.h"

#include <cstdint>

class CResample {
  public:
    // SetParams(1, 64, 0.9, 9.0, 0.98); rates 8000; no memory held until Init.
    CResample();
    virtual ~CResample();

    // fast: nonzero asks for the fast filter, zero for the accurate one. taps is rounded up to
    // a multiple of 4. Takes effect at the next Init.
    virtual void SetParams(int32_t fast, uint32_t taps, float rolloff, float alpha, float norm);
    // Allocates the work buffer and the filter for the rates. `history` becomes half the span of
    // the whole filter (dsp::resample_span: every stage of it, 840, 420 and 212 input samples
    // from 500 kHz to 48, 96 and 192 kHz) + 1. False when memory runs out or the filter refuses
    // the parameters; nothing is held then.
    virtual bool Init(uint32_t in_rate, uint32_t out_rate);
    // Restarts the stream: look-back zeroed, position at its start.
    virtual void Reset();
    // Consumes `length` samples of `in`, writes the outputs at `out` and their number to
    // *produced. `out` needs room for length * out_rate / in_rate + 2 samples. False for a null
    // pointer (then *produced is untouched) or when the object is not initialised for its
    // current parameters.
    virtual bool Process(const float* in, uint32_t length, float* out, int32_t* produced);
    // Releases the buffer and the filter; safe to repeat.
    virtual void Free();

    // For a caller that writes the next samples of the stream itself (saving Process's copy):
    // the place for the next `length` samples, then Filter(length, ...) once they are there.
    // Null when the object is not initialised for its current parameters or the samples do not
    // fit beside the look-back at once (Process takes any length).
    float* InputSpace(uint32_t length);
    // Filters the `length` samples written at InputSpace(length): the same outputs, bit for bit,
    // as Process on them, written at `out`, their number to *produced. False, and nothing
    // consumed, for a null pointer, an object not initialised or more samples than fit.
    bool Filter(uint32_t length, float* out, int32_t* produced);

    int32_t fast;
    uint32_t filter_length;
    float rolloff;
    float alpha;
    float norm;
    uint32_t in_rate;
    uint32_t out_rate;
    uint32_t history;
    uint32_t chunk_capacity;
    float* buffer;
    IppsResamplingPolyphaseFixed_32f* state;
    double time;
    uint32_t fill;

  private:
    bool ready() const;
    // Filters the `length` samples that follow the look-back in the buffer; returns the outputs.
    int32_t step(uint32_t length, float* out);

    CResample(const CResample&) = delete;
    CResample& operator=(const CResample&) = delete;
};
