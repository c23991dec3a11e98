// What the AVX2 and FMA kernels share across their files (x86-64 and i686 only).
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)

#if defined(__i386__)
// The 32-bit Windows stack is only 4-byte aligned on entry; every function realigns it (to the
// 32 bytes of a vector spill when it has one), and the loops are written for eight vector
// registers. The operations, and so the results, are those of the x86-64 build.
#define DSP_AVX2 __attribute__((target("avx2,fma"), force_align_arg_pointer))
#else
#define DSP_AVX2 __attribute__((target("avx2,fma")))
#endif

namespace dsp {
namespace kernels {

// The half-band filter of the AVX2 table (dsp_kernels_avx2_halfband.cpp).
void avx2_halfband_fast(const float* g, uint32_t pairs, float center, const float* e,
                        const float* o, uint32_t count, float* y, float norm);

}  // namespace kernels
}  // namespace dsp

#endif
