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

PERF_AVX2 float peak_fma_loop(int64_t rounds) {
    // Twelve chains: more than latency times throughput, so the FMA units never wait.
    __m256 a0 = _mm256_set1_ps(0.0f), a1 = _mm256_set1_ps(0.1f), a2 = _mm256_set1_ps(0.2f),
           a3 = _mm256_set1_ps(0.3f), a4 = _mm256_set1_ps(0.4f), a5 = _mm256_set1_ps(0.5f),
           a6 = _mm256_set1_ps(0.6f), a7 = _mm256_set1_ps(0.7f), a8 = _mm256_set1_ps(0.8f),
           a9 = _mm256_set1_ps(0.9f), a10 = _mm256_set1_ps(1.0f), a11 = _mm256_set1_ps(1.1f);
    const __m256 m = _mm256_set1_ps(0.999999f), c = _mm256_set1_ps(1e-7f);
    for (int64_t r = 0; r < rounds; ++r) {
        a0 = _mm256_fmadd_ps(a0, m, c);
        a1 = _mm256_fmadd_ps(a1, m, c);
        a2 = _mm256_fmadd_ps(a2, m, c);
        a3 = _mm256_fmadd_ps(a3, m, c);
        a4 = _mm256_fmadd_ps(a4, m, c);
        a5 = _mm256_fmadd_ps(a5, m, c);
        a6 = _mm256_fmadd_ps(a6, m, c);
        a7 = _mm256_fmadd_ps(a7, m, c);
        a8 = _mm256_fmadd_ps(a8, m, c);
        a9 = _mm256_fmadd_ps(a9, m, c);
        a10 = _mm256_fmadd_ps(a10, m, c);
        a11 = _mm256_fmadd_ps(a11, m, c);
    }
    __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                             _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
    s = _mm256_add_ps(s, _mm256_add_ps(_mm256_add_ps(a8, a9), _mm256_add_ps(a10, a11)));
    return _mm256_cvtss_f32(s);
}

// The same with 4-lane (128-bit) FMAs: where the processor splits each 256-bit operation into two
// 128-bit halves, this runs at the same rate in multiply-adds as the 8-lane loop; with full-width
// units, at half of it.
PERF_AVX2 float peak_fma128_loop(int64_t rounds) {
    __m128 a0 = _mm_set1_ps(0.0f), a1 = _mm_set1_ps(0.1f), a2 = _mm_set1_ps(0.2f),
           a3 = _mm_set1_ps(0.3f), a4 = _mm_set1_ps(0.4f), a5 = _mm_set1_ps(0.5f),
           a6 = _mm_set1_ps(0.6f), a7 = _mm_set1_ps(0.7f), a8 = _mm_set1_ps(0.8f),
           a9 = _mm_set1_ps(0.9f), a10 = _mm_set1_ps(1.0f), a11 = _mm_set1_ps(1.1f);
    const __m128 m = _mm_set1_ps(0.999999f), c = _mm_set1_ps(1e-7f);
    for (int64_t r = 0; r < rounds; ++r) {
        a0 = _mm_fmadd_ps(a0, m, c);
        a1 = _mm_fmadd_ps(a1, m, c);
        a2 = _mm_fmadd_ps(a2, m, c);
        a3 = _mm_fmadd_ps(a3, m, c);
        a4 = _mm_fmadd_ps(a4, m, c);
        a5 = _mm_fmadd_ps(a5, m, c);
        a6 = _mm_fmadd_ps(a6, m, c);
        a7 = _mm_fmadd_ps(a7, m, c);
        a8 = _mm_fmadd_ps(a8, m, c);
        a9 = _mm_fmadd_ps(a9, m, c);
        a10 = _mm_fmadd_ps(a10, m, c);
        a11 = _mm_fmadd_ps(a11, m, c);
    }
    __m128 s = _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)),
                          _mm_add_ps(_mm_add_ps(a4, a5), _mm_add_ps(a6, a7)));
    s = _mm_add_ps(s, _mm_add_ps(_mm_add_ps(a8, a9), _mm_add_ps(a10, a11)));
    return _mm_cvtss_f32(s);
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
