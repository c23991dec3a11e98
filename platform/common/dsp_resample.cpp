// Fixed-ratio polyphase resampler: Kaiser-windowed sinc, one coefficient set per phase.
#include "dsp.h"
#include "dsp_internal.h"
#include "dsp_kernels.h"

#include <cmath>
#include <new>

struct IppsResamplingPolyphaseFixed_32f {
    uint32_t up;      // L: output positions lie on a grid of 1/L input samples
    uint32_t down;    // M: positions advance by M/L input samples
    uint32_t span;    // taps per coefficient set, a multiple of 4
    uint32_t rows;    // coefficient sets in the table, for fractions 0, 1/rows, ... 1 (rows + 1)
    uint32_t stride;  // floats from one set to the next: span rounded up to 64 bytes, zero-padded
    bool exact;       // rows == up: every position has its own set
    bool accurate;
    float* taps;  // (rows + 1) * stride
};

namespace {

constexpr uint32_t MAX_ROWS = 1024;
constexpr uint64_t MAX_TABLE_FLOATS = uint64_t(1) << 24;
constexpr double PI = 3.14159265358979323846;

uint64_t gcd(uint64_t a, uint64_t b) {
    while (b) {
        uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// Modified Bessel function of the first kind, order 0, by its power series.
double bessel_i0(double x) {
    double sum = 1.0, term = 1.0, half = x / 2.0;
    for (int k = 1; k < 500; ++k) {
        term *= (half / k) * (half / k);
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

// Fills one coefficient set for an output position `frac` input samples past the sample that
// tap span/2 - 1 multiplies: tap k multiplies the sample at distance frac + span/2 - 1 - k.
void design_row(float* row, double* h, uint32_t span, double frac, double cutoff, double beta) {
    const double half = span / 2.0;
    const double i0_beta = bessel_i0(beta);
    double sum = 0.0;
    for (uint32_t k = 0; k < span; ++k) {
        double x = frac + half - 1.0 - k;
        double u = 2.0 * cutoff * x;
        double sinc = (u == 0.0) ? 1.0 : std::sin(PI * u) / (PI * u);
        double r = x / half;
        double w =
            (r * r >= 1.0) ? 1.0 / i0_beta : bessel_i0(beta * std::sqrt(1.0 - r * r)) / i0_beta;
        h[k] = 2.0 * cutoff * sinc * w;
        sum += h[k];
    }
    // Unity gain at DC for every phase, so the phases do not modulate the passband.
    for (uint32_t k = 0; k < span; ++k)
        row[k] = static_cast<float>(h[k] / sum);
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

uint32_t resample_span(int in_rate, int out_rate, int len) {
    if (in_rate <= 0 || out_rate <= 0 || len <= 0)
        return 0;
    uint64_t taps = (static_cast<uint64_t>(len) + 3) & ~uint64_t(3);
    if (in_rate > out_rate) {
        // len * in / out, rounded up, then up to a multiple of 4.
        uint64_t scaled = (static_cast<uint64_t>(len) * in_rate + out_rate - 1) / out_rate;
        taps = (scaled + 3) & ~uint64_t(3);
    }
    if (taps > (uint64_t(1) << 24))
        return 0;
    return static_cast<uint32_t>(taps);
}

uint32_t resample_state_span(const IppsResamplingPolyphaseFixed_32f* state) {
    return state ? state->span : 0;
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
    uint32_t span = dsp::resample_span(inRate, outRate, len);
    if (span == 0)
        return ippStsSizeErr;

    uint64_t g = gcd(static_cast<uint64_t>(inRate), static_cast<uint64_t>(outRate));
    uint32_t up = static_cast<uint32_t>(outRate / g);
    uint32_t down = static_cast<uint32_t>(inRate / g);
    uint32_t rows = up <= MAX_ROWS ? up : MAX_ROWS;
    const uint32_t stride = (span + 15) & ~15u;
    if (uint64_t(rows + 1) * stride > MAX_TABLE_FLOATS)
        return ippStsSizeErr;

    if (dsp::allocation_fails())
        return ippStsMemAllocErr;
    auto* state = new (std::nothrow) IppsResamplingPolyphaseFixed_32f;
    double* scratch = new (std::nothrow) double[span];
    if (!state || !scratch) {
        delete state;
        delete[] scratch;
        return ippStsMemAllocErr;
    }
    state->taps = ippsMalloc_32f(static_cast<int>((rows + 1) * stride));
    if (!state->taps) {
        delete state;
        delete[] scratch;
        return ippStsMemAllocErr;
    }
    state->up = up;
    state->down = down;
    state->span = span;
    state->rows = rows;
    state->stride = stride;
    state->exact = rows == up;
    state->accurate = hint == ippAlgHintAccurate;

    double cutoff = rollf * 0.5 * (inRate < outRate ? inRate : outRate) / inRate;
    for (uint32_t r = 0; r <= rows; ++r) {
        float* row = state->taps + r * stride;
        design_row(row, scratch, span, double(r) / rows, cutoff, alpha);
        for (uint32_t k = span; k < stride; ++k)
            row[k] = 0.0f;
    }
    delete[] scratch;
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

IppStatus ippsResamplePolyphaseFixed_32f(const IppsResamplingPolyphaseFixed_32f* pState,
                                         const Ipp32f* pSrc, int len, Ipp32f* pDst, Ipp32f norm,
                                         Ipp64f* pTime, int* pOutlen) {
    if (!pState || !pSrc || !pDst || !pTime || !pOutlen)
        return ippStsNullPtrErr;
    *pOutlen = 0;
    if (len <= 0)
        return ippStsSizeErr;
    const uint64_t up = pState->up, down = pState->down;
    const uint32_t span = pState->span, stride = pState->stride;

    // Position = whole sample `i` plus `phase`/up; the stored time is always on that grid.
    double start = std::floor(*pTime);
    int64_t i = static_cast<int64_t>(start);
    uint64_t phase = static_cast<uint64_t>(std::llround((*pTime - start) * double(up)));
    if (phase >= up) {
        phase -= up;
        ++i;
    }
    const int64_t limit = static_cast<int64_t>(start) + len;
    const int64_t back = static_cast<int64_t>(span / 2) - 1;
    const float* table = pState->taps;
    const dsp::kernels::Table& kern = dsp::kernels::active();
    JobBatch batch{kern, span, norm, pState->accurate};

    // Output m lies at i + (phase + m * down) / up: those below `limit` are produced.
    uint64_t n = 0;
    if (i < limit)
        n = (uint64_t(limit - i) * up - phase + down - 1) / down;

    if (pState->exact) {
        // Outputs m, m + up, m + 2 up, ... share a coefficient set and lie `down` samples apart:
        // each such class goes to the kernel in whole groups, the rest one by one.
        const uint64_t group = kern.group;
        const uint64_t classes = n < up ? n : up;
        auto fir = pState->accurate ? kern.fir_accurate : kern.fir_fast;
        for (uint64_t c = 0; c < classes; ++c) {
            const uint64_t q = phase + c * down;
            const float* h = table + (q % up) * stride;
            const float* x = pSrc + (i + static_cast<int64_t>(q / up) - back);
            float* y = pDst + c;
            const uint64_t count = (n - c + up - 1) / up;
            const uint64_t whole = count / group * group;
            if (whole)
                fir(h, span, x, static_cast<ptrdiff_t>(down), static_cast<uint32_t>(whole), y,
                    static_cast<ptrdiff_t>(up), norm);
            for (uint64_t r = whole; r < count; ++r)
                batch.add(h, x + r * down, y + r * up);
        }
        batch.flush();
    } else {
        uint64_t ph = phase;
        int64_t pos_i = i;
        for (uint64_t m = 0; m < n; ++m) {
            const float* x = pSrc + (pos_i - back);
            double pos = double(ph) * pState->rows / double(up);
            uint64_t r = static_cast<uint64_t>(pos);
            if (pState->accurate) {
                pDst[m] = static_cast<float>(dot_interpolated(
                              table + r * stride, table + (r + 1) * stride, pos - r, x, span)) *
                          norm;
            } else {
                batch.add(table + static_cast<uint64_t>(pos + 0.5) * stride, x, pDst + m);
            }
            ph += down;
            pos_i += static_cast<int64_t>(ph / up);
            ph %= up;
        }
        batch.flush();
    }
    const uint64_t end = phase + n * down;
    *pTime = double(i + static_cast<int64_t>(end / up)) + double(end % up) / double(up);
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
