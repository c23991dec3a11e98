// Fixed-ratio resampler: a polyphase stage (Kaiser-windowed sinc, one coefficient set per phase),
// followed when decimating by 2 or more by an equiripple half-band stage that halves its rate
// (dsp.h).
#include "dsp.h"
#include "dsp_internal.h"
#include "dsp_kernels.h"

#include <cmath>
#include <new>

struct IppsResamplingPolyphaseFixed_32f {
    dsp::design::Plan plan;
    uint32_t rows;    // polyphase coefficient sets, for fractions 0, 1/rows, ... 1 (rows + 1)
    uint32_t stride;  // floats from one set to the next: span1 rounded up to 64 bytes
    bool exact;       // rows == plan.up: every position has its own set
    bool accurate;
    float center;  // the half-band filter's centre tap
    float* taps;   // (rows + 1) * stride polyphase coefficients, then plan.pairs half-band ones
};

namespace {

constexpr uint32_t MAX_ROWS = 1024;
constexpr uint64_t MAX_TABLE_FLOATS = uint64_t(1) << 24;
// Outputs of the two-stage filter per round: the polyphase stage's samples for them wait in
// two arrays on the stack.
constexpr uint32_t BLOCK = 2048;

// Quotient and remainder, in 32 bits when both operands fit: on i686 a 64-bit division is a
// library call, and the resampler makes a few dozen per call.
inline uint64_t quot(uint64_t a, uint64_t b) {
    return ((a | b) >> 32) ? a / b : uint32_t(a) / uint32_t(b);
}
inline uint64_t rem(uint64_t a, uint64_t b) {
    return ((a | b) >> 32) ? a % b : uint32_t(a) % uint32_t(b);
}
// floor(a / b) for b > 0.
inline int64_t floor_quot(int64_t a, int64_t b) {
    return a >= 0 ? static_cast<int64_t>(quot(static_cast<uint64_t>(a), static_cast<uint64_t>(b)))
                  : -static_cast<int64_t>(
                        quot(static_cast<uint64_t>(b - 1 - a), static_cast<uint64_t>(b)));
}

// Between two neighbouring coefficient sets, for positions off the table's grid.
inline double dot_interpolated(const float* h0, const float* h1, double w, const float* x,
                               uint32_t n) {
    double a0 = 0.0, a1 = 0.0;
    for (uint32_t k = 0; k < n; k += 2) {
        a0 += (h0[k] + w * (h1[k] - h0[k])) * x[k];
        a1 += (h0[k + 1] + w * (h1[k + 1] - h0[k + 1])) * x[k + 1];
    }
    return a0 + a1;
}

}  // namespace

namespace dsp {

uint32_t resample_span(int in_rate, int out_rate, int len, float rolloff) {
    design::Plan p;
    return design::plan(in_rate, out_rate, len, rolloff, 9.0f, &p) ? p.span : 0;
}

bool resample_stages(int in_rate, int out_rate, int len, float rolloff, uint32_t* span1,
                     uint32_t* pairs) {
    design::Plan p;
    if (!design::plan(in_rate, out_rate, len, rolloff, 9.0f, &p))
        return false;
    *span1 = p.span1;
    *pairs = p.pairs;
    return true;
}

uint32_t resample_state_span(const IppsResamplingPolyphaseFixed_32f* state) {
    return state ? state->plan.span : 0;
}

}  // namespace dsp

IppStatus ippsResamplePolyphaseFixedInitAlloc_32f(IppsResamplingPolyphaseFixed_32f** pState,
                                                  int inRate, int outRate, int len, Ipp32f rollf,
                                                  Ipp32f alpha, IppHintAlgorithm hint) {
    if (!pState)
        return ippStsNullPtrErr;
    *pState = nullptr;
    if (inRate <= 0 || outRate <= 0 || len <= 0)
        return ippStsSizeErr;
    if (!(rollf > 0.0f && rollf <= 1.0f) || !(alpha >= 1.0f && alpha <= 50.0f))
        return ippStsBadArgErr;
    if (hint != ippAlgHintNone && hint != ippAlgHintFast && hint != ippAlgHintAccurate)
        return ippStsBadArgErr;
    dsp::design::Plan plan;
    if (!dsp::design::plan(inRate, outRate, len, rollf, alpha, &plan))
        return ippStsSizeErr;
    const uint32_t span1 = plan.span1;
    const uint32_t rows = plan.up <= MAX_ROWS ? plan.up : MAX_ROWS;
    const uint32_t stride = (span1 + 15) & ~15u;
    const uint64_t floats = uint64_t(rows + 1) * stride + plan.pairs;
    if (floats > MAX_TABLE_FLOATS)
        return ippStsSizeErr;

    if (dsp::allocation_fails())
        return ippStsMemAllocErr;
    auto* state = new (std::nothrow) IppsResamplingPolyphaseFixed_32f;
    if (!state)
        return ippStsMemAllocErr;
    state->taps = ippsMalloc_32f(static_cast<int>(floats));
    if (!state->taps) {
        delete state;
        return ippStsMemAllocErr;
    }
    state->plan = plan;
    state->rows = rows;
    state->stride = stride;
    state->exact = rows == plan.up;
    state->accurate = hint == ippAlgHintAccurate;
    state->center = 0.0f;
    if (!dsp::design::polyphase_table(plan, rows, stride, state->taps) ||
        (plan.pairs && dsp::design::halfband(state->taps + uint64_t(rows + 1) * stride,
                                             &state->center, plan.pairs, plan.rolloff) < 0)) {
        ippsFree(state->taps);
        delete state;
        return ippStsMemAllocErr;
    }
    *pState = state;
    return ippStsNoErr;
}

namespace {

// Collects single outputs for the kernels' gathered calls, eight at a time.
struct JobBatch {
    const dsp::kernels::Table& k;
    uint32_t span;
    float norm;
    bool accurate;
    dsp::kernels::FirJob jobs[8] = {};
    uint32_t count = 0;

    void add(const float* h, const float* x, float* y) {
        jobs[count++] = {h, x, y};
        if (count == 8)
            flush();
    }
    void flush() {
        if (count)
            (accurate ? k.gather_accurate : k.gather_fast)(jobs, count, span, norm);
        count = 0;
    }
};

}  // namespace

namespace {

// `count` samples of the polyphase stage, the first at position pos / up (in input samples from
// pSrc), then every step / up samples; each from the span1 input samples around its position.
void polyphase(const IppsResamplingPolyphaseFixed_32f& st, const dsp::kernels::Table& kern,
               const float* src, int64_t pos, uint64_t step, uint64_t count, float* dst,
               float norm) {
    if (count == 0)
        return;
    const uint64_t up = st.plan.up;
    const uint32_t span = st.plan.span1, stride = st.stride;
    const int64_t back = static_cast<int64_t>(span / 2) - 1;
    const int64_t sup = static_cast<int64_t>(up);
    const int64_t i = floor_quot(pos, sup);
    const uint64_t phase = static_cast<uint64_t>(pos - i * sup);
    const float* table = st.taps;
    JobBatch batch{kern, span, norm, st.accurate};
    if (st.exact) {
        // Samples c, c + period, c + 2 period, ... share a coefficient set and lie `apart`
        // input samples apart: each such class goes to the kernel in whole groups, the rest
        // one by one.
        const uint64_t period = quot(up, dsp::gcd(rem(step, up), up));
        const uint64_t apart = quot(step * period, up);
        const uint64_t group = kern.group;
        const uint64_t classes = count < period ? count : period;
        auto fir = st.accurate ? kern.fir_accurate : kern.fir_fast;
        // Class c starts at phase + c step = whole * up + frac, stepped without divisions;
        // it has count / period members, one more when c < count % period.
        const uint64_t step_whole = quot(step, up), step_frac = rem(step, up);
        const uint64_t all = quot(count, period), extra = rem(count, period);
        // A class's last group goes to the kernel as well when at most a quarter of it is empty
        // (the kernel repeats a member in the empty lanes): cheaper than gathering those outputs
        // with a coefficient load each. Classes have `all` or `all + 1` members, so the
        // division is made for those two counts only.
        uint32_t to_kernel[2];
        for (uint64_t more = 0; more < 2; ++more) {
            const uint64_t members = all + more;
            uint64_t share = members - rem(members, group);
            if (!st.accurate && (members - share) * 4 >= group * 3)
                share = members;
            to_kernel[more] = static_cast<uint32_t>(share);
        }
        // The loop keeps its counts and offsets in 32 bits on i686 (a class's index is below
        // `period` <= up <= MAX_ROWS, its members and offsets lie within the call's buffers):
        // 64-bit counters took two registers each there.
        const float* const x0 = src + (i - back);
        const ptrdiff_t x_apart = static_cast<ptrdiff_t>(apart),
                        y_apart = static_cast<ptrdiff_t>(period);
        const ptrdiff_t x_step_c = static_cast<ptrdiff_t>(step_whole);
        const uint32_t up_c = static_cast<uint32_t>(up),
                       frac_step = static_cast<uint32_t>(step_frac);
        const uint32_t n_classes = static_cast<uint32_t>(classes),
                       n_extra = static_cast<uint32_t>(extra);
        const uint32_t n_all = static_cast<uint32_t>(all);
        ptrdiff_t whole_c = 0;
        uint32_t frac_c = static_cast<uint32_t>(phase);
        for (uint32_t c = 0;;) {
            const float* h = table + frac_c * stride;
            const float* x = x0 + whole_c;
            float* y = dst + c;
            const uint32_t more = c < n_extra ? 1 : 0;
            const uint32_t members = n_all + more, whole = to_kernel[more];
            if (whole)
                fir(h, span, x, x_apart, whole, y, y_apart, norm);
            for (uint32_t r = whole; r < members; ++r)
                batch.add(h, x + static_cast<ptrdiff_t>(r) * x_apart,
                          y + static_cast<ptrdiff_t>(r) * y_apart);
            // The next class, if there is one (past the last, the offset could leave 32 bits).
            if (++c == n_classes)
                break;
            whole_c += x_step_c;
            frac_c += frac_step;
            if (frac_c >= up_c) {
                frac_c -= up_c;
                ++whole_c;
            }
        }
    } else {
        uint64_t ph = phase;
        int64_t pos_i = i;
        for (uint64_t m = 0; m < count; ++m) {
            const float* x = src + (pos_i - back);
            double at = double(ph) * st.rows / double(up);
            uint64_t r = static_cast<uint64_t>(at);
            if (st.accurate) {
                dst[m] = static_cast<float>(dot_interpolated(
                             table + r * stride, table + (r + 1) * stride, at - r, x, span)) *
                         norm;
            } else {
                batch.add(table + static_cast<uint64_t>(at + 0.5) * stride, x, dst + m);
            }
            ph += step;
            pos_i += static_cast<int64_t>(ph / up);
            ph %= up;
        }
    }
    batch.flush();
}

}  // namespace

IppStatus ippsResamplePolyphaseFixed_32f(const IppsResamplingPolyphaseFixed_32f* pState,
                                         const Ipp32f* pSrc, int len, Ipp32f* pDst, Ipp32f norm,
                                         Ipp64f* pTime, int* pOutlen) {
    if (!pState || !pSrc || !pDst || !pTime || !pOutlen)
        return ippStsNullPtrErr;
    *pOutlen = 0;
    if (len <= 0)
        return ippStsSizeErr;
    const dsp::design::Plan& plan = pState->plan;
    const uint64_t up = plan.out_up, down = plan.out_down;

    // Position = whole sample `i` plus `phase`/up; the stored time is always on that grid.
    double start = std::floor(*pTime);
    int64_t i = static_cast<int64_t>(start);
    uint64_t phase = static_cast<uint64_t>(std::llround((*pTime - start) * double(up)));
    if (phase >= up) {
        phase -= up;
        ++i;
    }
    const int64_t limit = static_cast<int64_t>(start) + len;
    const dsp::kernels::Table& kern = dsp::kernels::active();

    // Output m lies at i + (phase + m * down) / up: those below `limit` are produced.
    uint64_t n = 0;
    if (i < limit)
        n = quot(uint64_t(limit - i) * up - phase + down - 1, down);

    const int64_t first = i * static_cast<int64_t>(up) + static_cast<int64_t>(phase);
    if (plan.pairs == 0) {
        polyphase(*pState, kern, pSrc, first, down, n, pDst, norm);
    } else {
        // The polyphase stage's samples lie on a grid of 1/plan.up, twice as dense as the
        // outputs: output m sits on its sample 2m, flanked by the odd ones 2m +- 1, 3, ...
        // Both are computed from the output's own position, so an output's value does not
        // depend on where a call began.
        const uint64_t factor = quot(plan.up, up);
        const uint64_t step = plan.down;  // of the polyphase stage, in 1/plan.up
        const uint32_t pairs = plan.pairs;
        const float* g = pState->taps + uint64_t(pState->rows + 1) * pState->stride;
        auto halfband = pState->accurate ? kern.halfband_accurate : kern.halfband_fast;
        float even[BLOCK];
        float odd[BLOCK + 2 * dsp::design::MAX_PAIRS];
        for (uint64_t m0 = 0; m0 < n; m0 += BLOCK) {
            const uint64_t count = n - m0 < BLOCK ? n - m0 : BLOCK;
            const int64_t at =
                (first + static_cast<int64_t>(m0 * down)) * static_cast<int64_t>(factor);
            polyphase(*pState, kern, pSrc, at, 2 * step, count, even, 1.0f);
            polyphase(*pState, kern, pSrc, at - static_cast<int64_t>((2 * pairs - 1) * step),
                      2 * step, count + 2 * pairs - 1, odd, 1.0f);
            halfband(g, pairs, pState->center, even, odd, static_cast<uint32_t>(count), pDst + m0,
                     norm);
        }
    }
    const uint64_t end = phase + n * down;
    *pTime = double(i + static_cast<int64_t>(quot(end, up))) + double(rem(end, up)) / double(up);
    *pOutlen = static_cast<int>(n);
    return ippStsNoErr;
}

IppStatus ippsResamplePolyphaseFixedFree_32f(IppsResamplingPolyphaseFixed_32f* pState) {
    if (!pState)
        return ippStsNullPtrErr;
    ippsFree(pState->taps);
    delete pState;
    return ippStsNoErr;
}
