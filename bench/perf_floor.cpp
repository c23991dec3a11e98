#include "perf_floor.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define PERF_AVX2 __attribute__((target("avx2,fma")))
#endif

namespace perf {

#if defined(__x86_64__)

bool floor_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The vector operations of the peak loop, for 8 and 4 lanes.
PERF_AVX2 inline __m256 fmadd(__m256 a, __m256 b, __m256 c) {
    return _mm256_fmadd_ps(a, b, c);
}
PERF_AVX2 inline __m128 fmadd(__m128 a, __m128 b, __m128 c) {
    return _mm_fmadd_ps(a, b, c);
}
PERF_AVX2 inline __m256 add(__m256 a, __m256 b) {
    return _mm256_add_ps(a, b);
}
PERF_AVX2 inline __m128 add(__m128 a, __m128 b) {
    return _mm_add_ps(a, b);
}
PERF_AVX2 inline float first(__m256 a) {
    return _mm256_cvtss_f32(a);
}
PERF_AVX2 inline float first(__m128 a) {
    return _mm_cvtss_f32(a);
}
template <typename V> PERF_AVX2 inline V splat(float f);
template <> PERF_AVX2 inline __m256 splat<__m256>(float f) {
    return _mm256_set1_ps(f);
}
template <> PERF_AVX2 inline __m128 splat<__m128>(float f) {
    return _mm_set1_ps(f);
}

// Twelve chains: more than latency times throughput, so the FMA units never wait. Written out
// one variable a chain so that all twelve stay in registers.
template <typename V> PERF_AVX2 float peak_loop(int64_t rounds) {
    V a0 = splat<V>(0.0f), a1 = splat<V>(0.1f), a2 = splat<V>(0.2f), a3 = splat<V>(0.3f),
      a4 = splat<V>(0.4f), a5 = splat<V>(0.5f), a6 = splat<V>(0.6f), a7 = splat<V>(0.7f),
      a8 = splat<V>(0.8f), a9 = splat<V>(0.9f), a10 = splat<V>(1.0f), a11 = splat<V>(1.1f);
    const V m = splat<V>(0.999999f), c = splat<V>(1e-7f);
    for (int64_t r = 0; r < rounds; ++r) {
        a0 = fmadd(a0, m, c);
        a1 = fmadd(a1, m, c);
        a2 = fmadd(a2, m, c);
        a3 = fmadd(a3, m, c);
        a4 = fmadd(a4, m, c);
        a5 = fmadd(a5, m, c);
        a6 = fmadd(a6, m, c);
        a7 = fmadd(a7, m, c);
        a8 = fmadd(a8, m, c);
        a9 = fmadd(a9, m, c);
        a10 = fmadd(a10, m, c);
        a11 = fmadd(a11, m, c);
    }
    V s = add(add(add(a0, a1), add(a2, a3)), add(add(a4, a5), add(a6, a7)));
    return first(add(s, add(add(a8, a9), add(a10, a11))));
}

float peak_fma_loop(int64_t rounds) {
    return peak_loop<__m256>(rounds);
}

// Where the processor splits each 256-bit operation into two 128-bit halves, the 4-lane loop runs
// at the same rate in multiply-adds as the 8-lane one; with full-width units, at half of it.
float peak_fma128_loop(int64_t rounds) {
    return peak_loop<__m128>(rounds);
}

PERF_AVX2 float load_bound_dots(const float* h, const float* x, uint32_t span, int count) {
    float total = 0;
    for (int d = 0; d < count; ++d) {
        // Four chains of FMAs (latency 4, two units), each fed by two aligned loads.
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
        __m256 a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
        uint32_t j = 0;
        for (; j + 32 <= span; j += 32) {
            a0 = _mm256_fmadd_ps(_mm256_load_ps(h + j), _mm256_load_ps(x + j), a0);
            a1 = _mm256_fmadd_ps(_mm256_load_ps(h + j + 8), _mm256_load_ps(x + j + 8), a1);
            a2 = _mm256_fmadd_ps(_mm256_load_ps(h + j + 16), _mm256_load_ps(x + j + 16), a2);
            a3 = _mm256_fmadd_ps(_mm256_load_ps(h + j + 24), _mm256_load_ps(x + j + 24), a3);
        }
        for (; j < span; j += 8)
            a0 = _mm256_fmadd_ps(_mm256_load_ps(h + j), _mm256_load_ps(x + j), a0);
        __m256 s = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
        __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
        t = _mm_hadd_ps(t, t);
        total += _mm_cvtss_f32(_mm_hadd_ps(t, t));
        __asm__ volatile("" : "+r"(x));  // a new dot each time, not one hoisted out of the loop
    }
    return total;
}

#else

bool floor_supported() {
    return false;
}
float peak_fma_loop(int64_t) {
    return 0;
}
float peak_fma128_loop(int64_t) {
    return 0;
}
float load_bound_dots(const float*, const float*, uint32_t, int) {
    return 0;
}

#endif

}  // namespace perf
