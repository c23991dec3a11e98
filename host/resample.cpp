#include "resample.h"

#include <cmath>

CResample::CResample()
    : fast(0), filter_length(0), rolloff(0), alpha(0), norm(0), in_rate(8000), out_rate(8000),
      history(0), chunk_capacity(0), buffer(nullptr), state(nullptr), time(0), fill(0) {
    SetParams(1, 64, 0.9f, 9.0f, 0.98f);
    time = history;
    fill = history;
}

CResample::~CResample() {
    CResample::Free();
}

void CResample::SetParams(int32_t fast_hint, uint32_t taps, float roll, float kaiser_alpha,
                          float gain) {
    fast = fast_hint;
    rolloff = roll;
    alpha = kaiser_alpha;
    norm = gain;
    filter_length = (taps + 3) & ~3u;
    history = filter_length / 2 + 1;
}

bool CResample::Init(uint32_t in, uint32_t out) {
    Free();
    in_rate = in;
    out_rate = out;
    chunk_capacity = in_rate / 10;

    uint32_t span = dsp::resample_span(static_cast<int>(in_rate), static_cast<int>(out_rate),
                                       static_cast<int>(filter_length), rolloff);
    if (span == 0 || in_rate > 0x7FFFFFFFu || out_rate > 0x7FFFFFFFu)
        return false;
    history = span / 2 + 1;
    // Between steps up to 2 * history samples wait in the buffer; a chunk must fit beside them.
    if (chunk_capacity <= 2 * history) {
        chunk_capacity = 0;
        return false;
    }

    buffer = ippsMalloc_32f(static_cast<int>(chunk_capacity + history + 2));
    if (!buffer) {
        chunk_capacity = 0;
        return false;
    }
    IppStatus status = ippsResamplePolyphaseFixedInitAlloc_32f(
        &state, static_cast<int>(in_rate), static_cast<int>(out_rate),
        static_cast<int>(filter_length), rolloff, alpha,
        fast ? ippAlgHintFast : ippAlgHintAccurate);
    if (status != ippStsNoErr) {
        Free();
        return false;
    }
    Reset();
    return true;
}

void CResample::Reset() {
    time = history;
    fill = history;
    if (buffer)
        ippsZero_32f(buffer, static_cast<int>(history));
}

bool CResample::ready() const {
    // Parameters changed since Init (or no Init at all): the buffer does not fit the history.
    return buffer && state && dsp::resample_state_span(state) / 2 + 1 == history;
}

int32_t CResample::step(uint32_t length, float* out) {
    fill += length;
    uint32_t p = static_cast<uint32_t>(time);
    int n = 0;
    ippsResamplePolyphaseFixed_32f(
        state, buffer, static_cast<int>(fill) - static_cast<int>(history) - static_cast<int>(p),
        out, norm, &time, &n);
    p = static_cast<uint32_t>(time);
    ippsMove_32f(buffer + (p - history), buffer, static_cast<int>(fill + history - p));
    fill -= p - history;
    time -= p - history;
    return n;
}

bool CResample::Process(const float* in, uint32_t length, float* out, int32_t* produced) {
    if (!in || !out || !produced || !ready())
        return false;
    *produced = 0;
    while (length > 0) {
        uint32_t take = length;
        if (take > chunk_capacity - fill)
            take = chunk_capacity - fill;
        ippsCopy_32f(in, buffer + fill, static_cast<int>(take));
        length -= take;
        in += take;
        int32_t n = step(take, out);
        *produced += n;
        out += n;
    }
    return true;
}

float* CResample::InputSpace(uint32_t length) {
    if (!ready() || length > chunk_capacity - fill)
        return nullptr;
    return buffer + fill;
}

bool CResample::Filter(uint32_t length, float* out, int32_t* produced) {
    if (!out || !produced || !ready() || length > chunk_capacity - fill)
        return false;
    *produced = length > 0 ? step(length, out) : 0;
    return true;
}

void CResample::Free() {
    if (buffer) {
        ippsFree(buffer);
    }
    buffer = nullptr;
    chunk_capacity = 0;
    if (state) {
        ippsResamplePolyphaseFixedFree_32f(state);
        state = nullptr;
    }
}
