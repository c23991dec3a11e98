// Filter design of the resampler: the lengths of its stages for a pair of rates and their
// coefficients (Kaiser-windowed sincs, and an equiripple half-band filter). Everything is
// computed in double precision from additions, multiplications, divisions, square roots and
// exact scalings only (no library sine), so that every build and every compiler produces the
// same coefficients.
#include "dsp_internal.h"

#include <cmath>

namespace dsp {
namespace design {
namespace {

constexpr double PI = 3.14159265358979323846;
// Stopband of the two-stage design, with a margin over the 120 dB that every alias must stay
// below.
constexpr double STOP_DB = 124.0;
// The half-band transition is the band (rolloff .. 2 - rolloff) x Nyquist; rolloff is held
// below 1 so that the band has a width.
constexpr double MAX_ROLLOFF = 0.98;
// The half-band filter's ripple, pass and stop band alike: 121.5 dB below full scale, a margin
// over the 120 dB that every alias must stay below.
constexpr double HALFBAND_DB = 121.5;
constexpr double HALFBAND_RIPPLE = 8.413951416451948e-7;  // 10^(-121.5 / 20)
constexpr uint64_t MAX_SPAN = uint64_t(1) << 24;

uint64_t round_up4(uint64_t v) {
    return (v + 3) & ~uint64_t(3);
}

// Kaiser's estimates: beta for a stopband of `db`, and the filter order for a transition of
// `width` radians per sample.
double kaiser_beta(double db) {
    return 0.1102 * (db - 8.7);
}
double kaiser_order(double db, double width) {
    return (db - 7.95) / (2.285 * width);
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

// Kaiser window at r in [-1, 1] (r = offset / half-length).
double kaiser(double r, double beta, double i0_beta) {
    if (r * r >= 1.0)
        return 1.0 / i0_beta;
    return bessel_i0(beta * std::sqrt(1.0 - r * r)) / i0_beta;
}

// The fewest coefficient pairs of a half-band filter whose ripple keeps every alias below
// HALFBAND_DB; 0 when none up to MAX_PAIRS does.
uint32_t halfband_pairs(double rolloff) {
    // The usual estimate of an equiripple filter's length, (dB - 13) / (14.6 width) + 1, for a
    // transition (1 - rolloff) / 2 wide; the search starts a little below it.
    const double est = ((HALFBAND_DB - 13.0) / (14.6 * (1.0 - rolloff) / 2.0) + 2.0) / 4.0;
    if (!(est > 0 && est < MAX_PAIRS))
        return 0;
    uint32_t pairs = static_cast<uint32_t>(est * 0.9);
    if (pairs < 2)
        pairs = 2;
    for (; pairs <= MAX_PAIRS; ++pairs) {
        double ripple = halfband(nullptr, nullptr, pairs, rolloff);
        if (ripple < 0)
            return 0;
        if (ripple <= HALFBAND_RIPPLE)
            return pairs;
    }
    return 0;
}

}  // namespace

double sin_pi(double u) {
    // u - 2k in [-1, 1] is exact; then into [-1/2, 1/2] by sin(pi r) = sin(pi (+-1 - r)).
    double r = u - 2.0 * std::floor(u * 0.5 + 0.5);
    if (r > 0.5)
        r = 1.0 - r;
    else if (r < -0.5)
        r = -1.0 - r;
    // Taylor series; |pi r| <= pi/2, so 14 terms leave less than 1e-22.
    const double x = PI * r, x2 = x * x;
    double term = x, sum = x;
    for (int n = 1; n < 14; ++n) {
        term *= -x2 / double((2 * n) * (2 * n + 1));
        sum += term;
    }
    return sum;
}

bool plan(int in_rate, int out_rate, int len, float rolloff, float alpha, Plan* p) {
    if (in_rate <= 0 || out_rate <= 0 || len <= 0)
        return false;
    const uint64_t in = static_cast<uint64_t>(in_rate), out = static_cast<uint64_t>(out_rate);
    uint64_t g = gcd(in, out);
    p->out_up = static_cast<uint32_t>(out / g);
    p->out_down = static_cast<uint32_t>(in / g);

    if (2 * out > in) {
        // One stage: a Kaiser-windowed sinc of `len` taps when interpolating; when decimating
        // it spans len * in / out input samples (rounded up to a multiple of 4).
        uint64_t taps = round_up4(static_cast<uint64_t>(len));
        if (in > out)
            taps = round_up4((static_cast<uint64_t>(len) * in + out - 1) / out);
        if (taps > MAX_SPAN)
            return false;
        p->up = p->out_up;
        p->down = p->out_down;
        p->span1 = static_cast<uint32_t>(taps);
        p->pairs = 0;
        p->span = p->span1;
        p->cutoff = rolloff * 0.5 * double(out < in ? out : in) / double(in);
        p->beta = alpha;
        p->rolloff = 0;
        return true;
    }

    // Two stages, for decimation by 2 or more. The polyphase stage makes twice the output rate
    // F; its pass band reaches rolloff x F/2 and its stop band starts at F (1 + rolloff/2),
    // where anything would fold back below (2 - rolloff) x F/2. A half-band filter then halves
    // the rate, its transition from rolloff to 2 - rolloff times the output Nyquist frequency.
    const double r = rolloff < MAX_ROLLOFF ? rolloff : MAX_ROLLOFF;
    g = gcd(in, 2 * out);
    const uint64_t up = 2 * out / g, down = in / g;
    p->up = static_cast<uint32_t>(up);
    p->down = static_cast<uint32_t>(down);
    const double order1 = kaiser_order(STOP_DB, 2.0 * PI * double(out) / double(in));
    // A rolloff that is not a number (or far below 0) leaves no sensible design.
    if (!(order1 > 0 && order1 < double(MAX_SPAN)) || !(r > 0.0))
        return false;
    uint64_t span1 = round_up4(static_cast<uint64_t>(std::ceil(order1)) + 1);
    const uint32_t pairs = halfband_pairs(r);
    if (pairs == 0)
        return false;
    // The outputs use the polyphase stage's samples up to (2 pairs - 1) of its steps away.
    uint64_t reach = ((2 * pairs - 1) * down + up - 1) / up;
    uint64_t span = round_up4(2 * (reach + span1 / 2));
    if (span > MAX_SPAN || pairs > MAX_PAIRS)
        return false;
    p->span1 = static_cast<uint32_t>(span1);
    p->pairs = static_cast<uint32_t>(pairs);
    p->span = static_cast<uint32_t>(span);
    p->cutoff = (1.0 + r) * 0.5 * double(out) / double(in);
    p->beta = kaiser_beta(STOP_DB);
    p->rolloff = r;
    return true;
}

void polyphase_row(float* row, double* h, uint32_t span, double frac, double cutoff, double beta) {
    const double half = span / 2.0;
    const double i0_beta = bessel_i0(beta);
    double sum = 0.0;
    for (uint32_t k = 0; k < span; ++k) {
        double x = frac + half - 1.0 - k;
        double u = 2.0 * cutoff * x;
        double sinc = (u == 0.0) ? 1.0 : sin_pi(u) / (PI * u);
        h[k] = 2.0 * cutoff * sinc * kaiser(x / half, beta, i0_beta);
        sum += h[k];
    }
    // Unity gain at DC for every phase, so the phases do not modulate the passband.
    for (uint32_t k = 0; k < span; ++k)
        row[k] = static_cast<float>(h[k] / sum);
}

double halfband(float* g, float* center, uint32_t pairs, double rolloff) {
    // H(w) = 1/2 + sum_k a_k cos((2k + 1) w), k = 0 .. pairs - 1 (its taps a_k / 2 at the odd
    // offsets +-(2k + 1), 1/2 at the centre, zero at the other even offsets). With t = 2w,
    // H - 1/2 = G(t) = sum_k a_k cos((k + 1/2) t) is the amplitude of a filter of even length
    // 2 pairs, and G(2 pi - t) = -G(t): G = 1/2 on the pass band t <= pi rolloff makes H = 1
    // there and H = 0 on the stop band w >= pi (1 - rolloff / 2), both with the same ripple. So
    // one band of half the length is designed.
    const Band band = {0.0, rolloff / 2.0, 0.5, 1.0};
    Remez rz;
    if (!rz.design(&band, 1, pairs - 1, true, 16))
        return -1.0;
    if (g) {
        // a_k from G at t_m = pi (m + 1/2) / pairs, m < pairs, where the cosines
        // cos((k + 1/2) t_m) are orthogonal (sum over m: pairs / 2 for equal k, else 0).
        double sum = 0.5;
        for (uint32_t k = 0; k < pairs; ++k) {
            double a = 0;
            for (uint32_t m = 0; m < pairs; ++m) {
                const double t = (m + 0.5) / pairs;
                a += rz.amplitude(t) * cos_pi((k + 0.5) * t);
            }
            a *= 2.0 / pairs;
            g[pairs - 1 - k] = static_cast<float>(a / 2.0);
            sum += a;
        }
        // Unity gain at DC.
        for (uint32_t k = 0; k < pairs; ++k)
            g[k] = static_cast<float>(g[k] / sum);
        *center = static_cast<float>(0.5 / sum);
    }
    return rz.error();
}

}  // namespace design
}  // namespace dsp
