// The inner loops of the signal-processing layer, one table of them per instruction set. The
// resampler and the de-interleave call through the table of the path in use (dsp.h,
// dsp::set_kernel_path); not part of the layer's interface.
//
// Every output sample of the filters is computed by one fixed sequence of operations on its
// path, whichever way the path groups outputs together, so that a stream's output does not
// depend on how it was cut into calls:
//  - scalar and SSE2, single precision: four lanes, lane k sums h[j] * x[j] for j = k mod 4
//    (a multiplication, then an addition), then (l0 + l1) + (l2 + l3);
//  - AVX2, single precision: eight lanes, each starting from its first product alone (of the
//    first group of 8 taps, or of the only group of 4 when the span is 4), the further groups of
//    8 taps fused on and a last group of 4 (span mod 8 = 4) fused into the lower four lanes; then
//    ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7));
//  - every path, double precision: the scalar arrangement in doubles. A product of two floats
//    is exact in double, so fused and separate multiply-adds agree, and all paths give the same
//    bits.
// The result is converted to float and then multiplied by the output factor.
//
// The half-band filters compute each output alone in one lane (no horizontal sums):
//  acc = 0; for j < pairs: acc = acc + g[j] * (o[m + j] + o[m + 2 pairs - 1 - j]);
//  acc = acc + center * e[m]; y[m] = acc * norm.
// Scalar and SSE2 multiply and then add, AVX2 fuses each multiply-add; the double-precision
// version is one function shared by every path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dsp {
namespace kernels {

// One output of a gathered call: its coefficient set, its first input sample, where it goes.
struct FirJob {
    const float* h;
    const float* x;
    float* y;
};

struct Table {
    const char* name;
    // Outputs that fir_* compute together; callers pass multiples of it where they can.
    uint32_t group;
    // y[r * y_step] = norm * sum_{j < span} h[j] * x[r * x_step + j] for r < count; span is a
    // multiple of 4. Single and double precision accumulation.
    void (*fir_fast)(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                     uint32_t count, float* y, ptrdiff_t y_step, float norm);
    void (*fir_accurate)(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                         uint32_t count, float* y, ptrdiff_t y_step, float norm);
    // The same for up to 8 unrelated outputs, each with its own coefficient set.
    void (*gather_fast)(const FirJob* jobs, uint32_t count, uint32_t span, float norm);
    void (*gather_accurate)(const FirJob* jobs, uint32_t count, uint32_t span, float norm);
    // Half-band decimation (see above) of count outputs from the even samples e[0..count) and
    // the odd samples o[0..count + 2 pairs - 1).
    void (*halfband_fast)(const float* g, uint32_t pairs, float center, const float* e,
                          const float* o, uint32_t count, float* y, float norm);
    void (*halfband_accurate)(const float* g, uint32_t pairs, float center, const float* e,
                              const float* o, uint32_t count, float* y, float norm);
    // dst[k][i] = src[8 * i + k] / 32768 for k < 8, i < len; rails[k] grows by the samples of
    // channel k at the 16-bit rails (32767, -32767 or -32768). len is at most 65535.
    void (*split8)(const int16_t* src, float* const* dst, int len, uint32_t* rails);
};

// The double-precision half-band filter of every path.
void halfband_double(const float* g, uint32_t pairs, float center, const float* e, const float* o,
                     uint32_t count, float* y, float norm);

extern const Table scalar_table;
#if defined(__x86_64__) || defined(__i386__)
#define DSP_HAVE_SSE2_TABLE 1
extern const Table sse2_table;
#endif
#if defined(__x86_64__) || defined(__i386__)
#define DSP_HAVE_AVX2_TABLE 1
extern const Table avx2_table;
#endif

// The table in use (chosen from the processor on first use).
const Table& active();

}  // namespace kernels
}  // namespace dsp
