// Shared between the signal-processing sources; not part of the layer's interface.
#pragma once

#include <cstdint>

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
    double cutoff;              // polyphase stage: cut-off in cycles per input sample
    double beta;                // and its Kaiser beta
    double halfband_beta;
};

// False when the rates or lengths are out of range.
bool plan(int in_rate, int out_rate, int len, float rolloff, float alpha, Plan* p);

// One coefficient set of the polyphase stage for an output position `frac` input samples past
// the sample that tap span/2 - 1 multiplies; unity gain at DC. `scratch` holds span doubles.
void polyphase_row(float* row, double* scratch, uint32_t span, double frac, double cutoff,
                   double beta);

// The half-band filter's coefficient pairs, smallest first: g[j] multiplies the two samples
// 2 (pairs - j) - 1 steps either side of the centre, whose own coefficient is *center.
void halfband(float* g, float* center, uint32_t pairs, double beta);

// sin(pi u), from additions, multiplications and divisions only, so that every build computes
// the same coefficients bit for bit.
double sin_pi(double u);

}  // namespace design
}  // namespace dsp
