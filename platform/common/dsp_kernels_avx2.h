// What the AVX2 and FMA kernels share across their files (x86-64 and i686 only).
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

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

// The 4 x 4 transpose in each half of four registers: with q_k holding four consecutive values of
// k in its lower half and of k + 4 in its upper half, q_j ends up holding value j of 0..3 (lower)
// and of 4..7 (upper).
DSP_AVX2 inline void transpose_halves(__m256& q0, __m256& q1, __m256& q2, __m256& q3) {
    const __m256 t0 = _mm256_unpacklo_ps(q0, q1), t1 = _mm256_unpackhi_ps(q0, q1);
    const __m256 t2 = _mm256_unpacklo_ps(q2, q3), t3 = _mm256_unpackhi_ps(q2, q3);
    q0 = _mm256_shuffle_ps(t0, t2, 0x44);
    q1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    q2 = _mm256_shuffle_ps(t1, t3, 0x44);
    q3 = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// The half-band filter of the AVX2 table (dsp_kernels_avx2_halfband.cpp).
void avx2_halfband_fast(const float* g, uint32_t pairs, float center, const float* e,
                        const float* o, uint32_t count, float* y, float norm);

}  // namespace kernels
}  // namespace dsp

#endif
