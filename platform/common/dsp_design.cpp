// Filter design of the resampler: the lengths of its stages for a pair of rates and their
// coefficients (Kaiser-windowed sincs, and an equiripple half-band filter). Everything is
// computed in double precision from additions, multiplications, divisions, square roots and
// exact scalings only (no library sine), so that every build and every compiler produces the
// same coefficients.
#include "dsp_internal.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

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
// The equiripple polyphase stage: the share of the rolloff its pass band covers (0.8 of the
// Nyquist frequency for rolloff 0.9); the weight of its first stop band against the pass band
// and how it rises with each further one (band k weighs EQ_STOP_WEIGHT (1 + EQ_STOP_SLOPE
// (k - 1))), since every stop band folds some image of a tone into the output; the weight of the
// bands between them, whose content the half-band stage removes; the length estimate's
// -20 log10(sqrt(pass ripple x stop ripple)) and its factor for this band layout; and the
// largest passband ripple accepted: 4.5e-4 (+-0.004 dB), and so 600 times less, 122.5 dB, in
// the first stop band.
constexpr double PASS_SHARE = 8.0 / 9.0;
constexpr double EQ_STOP_WEIGHT = 600.0;
constexpr double EQ_STOP_SLOPE = 3.0;
constexpr double EQ_GAP_WEIGHT = 0.005;
constexpr double EQ_DB = 98.0;
constexpr double EQ_FIT = 0.95;
constexpr double EQ_RIPPLE = 4.5e-4;
// Phases of a table with one coefficient set per phase, and the largest prototype (half its
// length) designed by the Remez exchange: its time grows with the square of the order.
constexpr uint64_t MAX_EXACT_ROWS = 1024;
constexpr uint64_t MAX_REMEZ_ORDER = 1024;

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
uint32_t search_halfband_pairs(double rolloff) {
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

// Designs are kept for the life of the process: a stream's start builds several resamplers of
// the same rates, and the polyphase stage's design takes a large part of a second.
std::mutex designs_lock;
struct Pairs {
    double rolloff;
    uint32_t pairs;
};
std::vector<Pairs> known_pairs;
constexpr size_t MAX_KNOWN = 64;

uint32_t halfband_pairs(double rolloff) {
    std::lock_guard<std::mutex> guard(designs_lock);
    for (const Pairs& k : known_pairs)
        if (k.rolloff == rolloff)
            return k.pairs;
    const uint32_t pairs = search_halfband_pairs(rolloff);
    if (pairs && known_pairs.size() < MAX_KNOWN) {
        try {
            known_pairs.push_back({rolloff, pairs});
        } catch (const std::bad_alloc&) {
        }
    }
    return pairs;
}

// The equiripple prototype of the polyphase stage, at `down` times its output rate:
// symmetric, 2 order + 1 taps, of which h[0 .. order] from the centre out are returned. Its gain
// is 1 +- the passband ripple up to the pass band's edge, DC included: normalising it to exactly
// 1 at DC would double the deviation at the ripple's other extreme.
bool design_prototype(uint32_t down, uint32_t order, double r, std::vector<double>& h,
                      double* ripple) {
    // Bands in cycles per prototype sample: the polyphase stage's rate is 1 / down of them.
    const double f2 = 1.0 / double(down), half = (2.0 - r) / 4.0 * f2;
    std::vector<Band> bands;
    bands.push_back({0.0, r * PASS_SHARE / 4.0 * f2, 1.0, 1.0});
    double prev = -1.0;
    for (uint32_t k = 1; double(k) * f2 - half < 0.5; ++k) {
        const double lo = double(k) * f2 - half, hi = double(k) * f2 + half;
        if (prev >= 0.0)
            bands.push_back({prev, lo, 0.0, EQ_GAP_WEIGHT});
        // Rising weights: every stop band folds some image of an input tone into the output,
        // so the sum of all of them counts beside the worst one.
        bands.push_back(
            {lo, hi < 0.5 ? hi : 0.5, 0.0, EQ_STOP_WEIGHT * (1.0 + EQ_STOP_SLOPE * (k - 1))});
        prev = hi;
    }
    if (prev < 0.0)
        return false;  // nothing folds back (plan() leaves such rates to the Kaiser design)
    if (prev < 0.5)
        bands.push_back({prev, 0.5, 0.0, EQ_GAP_WEIGHT});

    // First guess: a Kaiser-windowed sinc of the same length, cut off mid-transition.
    std::vector<double> guess(size_t(order) + 1);
    const double fc = (bands[0].hi + f2 - half) / 2.0, beta = kaiser_beta(100.0);
    const double i0_beta = bessel_i0(beta);
    for (uint32_t k = 0; k <= order; ++k) {
        const double u = 2.0 * fc * k;
        const double sinc = k == 0 ? 1.0 : sin_pi(u) / (PI * u);
        const double tap = 2.0 * fc * sinc * kaiser(k / (order + 1.0), beta, i0_beta);
        guess[k] = k ? 2.0 * tap : tap;
    }
    Remez rz;
    if (!rz.design(bands.data(), static_cast<uint32_t>(bands.size()), order, false, 8,
                   guess.data()))
        return false;
    *ripple = rz.error();

    // Taps from the amplitude at the N = 2 order + 1 frequencies 2 pi m / N (an inverse DFT of
    // a real, even spectrum).
    const uint32_t n = 2 * order + 1;
    std::vector<double> amp(size_t(order) + 1), cosine(n);
    for (uint32_t m = 0; m <= order; ++m)
        amp[m] = rz.amplitude(2.0 * m / n);
    for (uint32_t j = 0; j < n; ++j)
        cosine[j] = cos_pi(2.0 * j / n);
    h.assign(size_t(order) + 1, 0.0);
    for (uint32_t k = 0; k <= order; ++k) {
        double sum = amp[0];
        for (uint32_t m = 1; m <= order; ++m)
            sum += 2.0 * amp[m] * cosine[(uint64_t(m) * k) % n];
        h[k] = sum / n;
    }
    return true;
}

struct Prototype {
    uint32_t down, order;
    double r;
    std::vector<double> h;
    double ripple;  // the largest weighted error: the passband's ripple
};
std::vector<std::unique_ptr<Prototype>> prototypes;

const Prototype* prototype(uint32_t down, uint32_t order, double r) {
    std::lock_guard<std::mutex> guard(designs_lock);
    for (const auto& p : prototypes)
        if (p->down == down && p->order == order && p->r == r)
            return p.get();
    try {
        std::unique_ptr<Prototype> p(new Prototype{down, order, r, {}, 0.0});
        // A design that does not converge is kept as such (no taps), so that it is not tried
        // again at every plan of the same rates.
        if (!design_prototype(down, order, r, p->h, &p->ripple))
            p->h.clear();
        prototypes.push_back(std::move(p));
        return prototypes.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

bool polyphase_table(const Plan& plan, uint32_t rows, uint32_t stride, float* taps) {
    const uint32_t span = plan.span1;
    if (plan.equiripple) {
        // Tap k of set r multiplies the sample r / up + span/2 - 1 - k before the output: the
        // prototype's sample r + (span - 1 - k) up, at a distance d from the centre span up / 2.
        // The sets 0 .. up - 1 hold the distances -span up / 2 .. span up / 2 - 1, so the
        // prototype reaches up to span up / 2 - 1 either side, symmetric in every set, and the
        // distance span up / 2 gets 0.
        const uint32_t center = plan.up * span / 2, order = center - 1;
        const Prototype* proto = prototype(plan.down, order, plan.rolloff);
        if (!proto || proto->h.empty())
            return false;
        const std::vector<double>& h = proto->h;
        for (uint32_t r = 0; r <= rows; ++r) {
            float* row = taps + uint64_t(r) * stride;
            for (uint32_t k = 0; k < span; ++k) {
                const int64_t j = int64_t(r) + int64_t(span - 1 - k) * plan.up - center;
                const uint32_t d = static_cast<uint32_t>(j < 0 ? -j : j);
                // Gain `up`: the sets average unity gain. Each set's own sum differs by the
                // prototype's response at the multiples of the input rate, which lands where the
                // stop bands or the half-band stage remove it.
                row[k] = d <= order ? static_cast<float>(h[d] * plan.up) : 0.0f;
            }
            for (uint32_t k = span; k < stride; ++k)
                row[k] = 0.0f;
        }
        return true;
    }
    double* scratch = new (std::nothrow) double[span];
    if (!scratch)
        return false;
    for (uint32_t r = 0; r <= rows; ++r) {
        float* row = taps + uint64_t(r) * stride;
        polyphase_row(row, scratch, span, double(r) / rows, plan.cutoff, plan.beta);
        for (uint32_t k = span; k < stride; ++k)
            row[k] = 0.0f;
    }
    delete[] scratch;
    return true;
}

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
        p->equiripple = false;
        return true;
    }

    // Two stages, for decimation by 2 or more. The polyphase stage makes twice the output rate
    // F. Equiripple, its pass band reaches 8/9 rolloff x F/2, and its stop bands are those
    // that fold back below (2 - rolloff) x F/2: within (2 - rolloff) x F/2 of every multiple of
    // 2F. Kaiser-windowed (for tables of more than MAX_EXACT_ROWS phases, prototypes beyond
    // MAX_REMEZ_ORDER, or 2F equal to the input rate, where nothing folds back) its pass band
    // reaches rolloff x F/2 and its stop band starts at
    // F (1 + rolloff/2). A half-band filter then halves the rate, its transition from rolloff to
    // 2 - rolloff times the output Nyquist frequency.
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
    p->equiripple = false;
    if (up <= MAX_EXACT_ROWS && down >= 2) {
        // Equiripple: from the estimate of the prototype's length for its transition (in cycles
        // per prototype sample; the polyphase stage's rate is 1 / down of them), scaled by what
        // the many narrow stop bands save, longer by 4 taps per set until the ripple is met.
        // The estimate is right for the module's rates; the designs are kept, so the search
        // costs nothing the next time.
        const double width = (1.0 - (2.0 - r) / 4.0 - r * PASS_SHARE / 4.0) / double(down);
        const double taps = EQ_FIT * (EQ_DB - 13.0) / (14.6 * width);
        for (uint64_t s1 = round_up4(static_cast<uint64_t>(std::ceil(taps / double(up))));
             up * s1 / 2 - 1 <= MAX_REMEZ_ORDER; s1 += 4) {
            const Prototype* proto =
                prototype(static_cast<uint32_t>(down), static_cast<uint32_t>(up * s1 / 2 - 1), r);
            // No memory for the design, or an exchange that did not converge: the rates keep
            // the Kaiser design rather than being refused.
            if (!proto || proto->h.empty())
                break;
            if (proto->ripple <= EQ_RIPPLE) {
                span1 = s1;
                p->equiripple = true;
                break;
            }
        }
    }
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
