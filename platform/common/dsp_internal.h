// Shared between the signal-processing sources; not part of the layer's interface.
#pragma once

#include <cstdint>
#include <vector>

namespace dsp {

// Adjusts the count behind live_allocations().
void count_block(long delta);

// Greatest common divisor (b may be 0). In 32 bits while both fit: on i686 a 64-bit remainder
// is a library call, and the resampler takes a gcd on every call.
inline uint64_t gcd(uint64_t a, uint64_t b) {
    while (b) {
        uint64_t r = ((a | b) >> 32) ? a % b : uint32_t(a) % uint32_t(b);
        a = b;
        b = r;
    }
    return a;
}

namespace design {

// Most coefficient pairs of a half-band stage.
constexpr uint32_t MAX_PAIRS = 1024;

// The shape of a resampler for a pair of rates (see dsp.h).
struct Plan {
    uint32_t out_up, out_down;  // out/in = out_up/out_down: the output grid is 1/out_up samples
    uint32_t up, down;          // the same for the polyphase stage's own output rate
    uint32_t span1;             // taps per coefficient set of the polyphase stage
    uint32_t pairs;             // coefficient pairs of the half-band stage; 0 = single stage
    uint32_t span;              // input samples one output depends on
    double cutoff;              // Kaiser polyphase stage: cut-off in cycles per input sample
    double beta;                // and its Kaiser beta
    double rolloff;             // the half-band stage's rolloff
    bool equiripple;            // polyphase stage: equiripple (else Kaiser: cutoff and beta)
};

// False when the rates or lengths are out of range.
bool plan(int in_rate, int out_rate, int len, float rolloff, float alpha, Plan* p);

// The polyphase stage's table: rows + 1 coefficient sets of span1 taps, `stride` floats apart,
// for output positions 0, 1/rows, ... 1 input samples past the sample that tap span1/2 - 1
// multiplies (rows is plan.up when plan.equiripple). False when memory runs out.
bool polyphase_table(const Plan& plan, uint32_t rows, uint32_t stride, float* taps);

// One coefficient set of the Kaiser-windowed polyphase stage for an output position `frac` input
// samples past the sample that tap span/2 - 1 multiplies; unity gain at DC. `scratch` holds span
// doubles.
void polyphase_row(float* row, double* scratch, uint32_t span, double frac, double cutoff,
                   double beta);

// The equiripple half-band filter for this rolloff (its transition from rolloff to 2 - rolloff
// times its output's Nyquist frequency) with `pairs` coefficient pairs, smallest first: g[j]
// multiplies the two samples 2 (pairs - j) - 1 steps either side of the centre, whose own
// coefficient is *center. Returns its ripple (pass and stop band alike), or a negative value when
// memory runs out; g and center may be null to learn the ripple alone.
double halfband(float* g, float* center, uint32_t pairs, double rolloff);

// sin(pi u), from additions, multiplications and divisions only, so that every build computes
// the same coefficients bit for bit.
double sin_pi(double u);
double cos_pi(double u);

// A band of an equiripple design: edges in cycles per sample (0 .. 0.5), the amplitude wanted
// there and the weight of its error.
struct Band {
    double lo, hi, desired, weight;
};

// Remez exchange: the amplitude, a cosine polynomial of degree n (times cos(omega / 2) for a
// filter of even length), whose weighted error over the bands is smallest in its maximum.
class Remez {
  public:
    // False when memory runs out or the bands leave too few grid points; `density` is the
    // number of grid points per 1 / n of the frequency axis.
    bool design(const Band* bands, uint32_t nbands, uint32_t n, bool even, uint32_t density,
                const double* start = nullptr);
    // The largest weighted error on the grid (the levelled one, once the exchange converged).
    double error() const { return error_; }
    // The amplitude at omega = pi u.
    double amplitude(double u) const;

  private:
    bool run(const Band* bands, uint32_t nbands, uint32_t n, bool even, uint32_t density,
             const double* start);
    double poly(double x) const;
    std::vector<double> nodes_, values_, weights_;
    bool even_ = false;
    double error_ = 0;
};

}  // namespace design
}  // namespace dsp
