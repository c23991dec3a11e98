// AVX2 and FMA inner loops, chosen at run time when the processor has both (x86-64 and i686).
//
// The filters compute eight outputs at a time. When the eight share one coefficient set (the
// same phase, inputs `x_step` samples apart), each coefficient vector is loaded once for eight
// fused multiply-adds whose sample operands come straight from memory: 9 loads per 8 FMAs
// instead of 16, which lifts the loop off the load ports' limit.
#include "dsp_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "dsp_kernels_avx2.h"

namespace dsp {
namespace kernels {
namespace {

// The last 4 taps of a span that is not a multiple of 8, in the lower lanes, zeros above.
DSP_AVX2 inline __m256 tail4(const float* p) {
    return _mm256_zextps128_ps256(_mm_loadu_ps(p));
}

// _mm256_hadd_ps(a, b) as two shuffles and one addition: the same sums, bit for bit, in fewer
// operations and less latency where 256-bit operations run as two halves.
DSP_AVX2 inline __m256 hadd(__m256 a, __m256 b) {
    return _mm256_add_ps(_mm256_shuffle_ps(a, b, 0x88), _mm256_shuffle_ps(a, b, 0xDD));
}

// The sum of the two halves of v: after two rounds of hadd, four outputs' results.
DSP_AVX2 inline __m128 halves(__m256 v) {
    return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
}

// Where each chain starts: a fused multiply-add onto -0 is its product alone, rounded, so the
// first group of taps is multiplied in effect (dsp_kernels.h), and the kernels that hold their
// coefficients in registers multiply it without a register of zeros.
DSP_AVX2 inline __m256 chain_start() {
    return _mm256_set1_ps(-0.0f);
}

// One output in the path's fixed order (see dsp_kernels.h).
DSP_AVX2 inline float dot_fast(const float* h, const float* x, uint32_t span) {
    const uint32_t body = span & ~7u;
    __m256 a = chain_start();
    for (uint32_t j = 0; j < body; j += 8)
        a = _mm256_fmadd_ps(_mm256_loadu_ps(h + j), _mm256_loadu_ps(x + j), a);
    if (span & 4)
        a = _mm256_fmadd_ps(tail4(h + body), tail4(x + body), a);
    __m256 t = hadd(a, a);
    t = hadd(t, t);  // lane 0: (l0 + l1) + (l2 + l3), lane 4: (l4 + l5) + (l6 + l7)
    return _mm_cvtss_f32(halves(t));
}

// Four outputs, in the same order of operations as dot_fast for each (and as dot8_fast): for the
// eight registers of i686. With Shared, h[0] serves all four.
template <bool Shared>
DSP_AVX2 inline __m128 dot4_fast(const float* const* h, const float* const* x, uint32_t span,
                                 float norm) {
    const uint32_t body = span & ~7u;
    __m256 a0 = chain_start(), a1 = a0, a2 = a0, a3 = a0;
    const float *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3];
    const float *h0 = h[0], *h1 = Shared ? h[0] : h[1], *h2 = Shared ? h[0] : h[2],
                *h3 = Shared ? h[0] : h[3];
    for (uint32_t j = 0; j < body; j += 8) {
        __m256 hv = _mm256_loadu_ps(h0 + j);
        a0 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x0 + j), a0);
        a1 = _mm256_fmadd_ps(Shared ? hv : _mm256_loadu_ps(h1 + j), _mm256_loadu_ps(x1 + j), a1);
        a2 = _mm256_fmadd_ps(Shared ? hv : _mm256_loadu_ps(h2 + j), _mm256_loadu_ps(x2 + j), a2);
        a3 = _mm256_fmadd_ps(Shared ? hv : _mm256_loadu_ps(h3 + j), _mm256_loadu_ps(x3 + j), a3);
    }
    if (span & 4) {
        a0 = _mm256_fmadd_ps(tail4(h0 + body), tail4(x0 + body), a0);
        a1 = _mm256_fmadd_ps(tail4(h1 + body), tail4(x1 + body), a1);
        a2 = _mm256_fmadd_ps(tail4(h2 + body), tail4(x2 + body), a2);
        a3 = _mm256_fmadd_ps(tail4(h3 + body), tail4(x3 + body), a3);
    }
    return _mm_mul_ps(halves(hadd(hadd(a0, a1), hadd(a2, a3))), _mm_set1_ps(norm));
}

#if defined(__i386__)
// dot4_fast<true> for the inputs x, x + step, x + 2 step, x + 3 step, all addressed from one
// pointer, so that the loop's pointers and index fit the six general registers of i686.
DSP_AVX2 inline __m128 dot4_strided(const float* h, const float* x, ptrdiff_t step, uint32_t span,
                                    float norm) {
    const uint32_t body = span & ~7u;
    __m256 a0 = chain_start(), a1 = a0, a2 = a0, a3 = a0;
    const float* he = h + body;
    const char* xe = reinterpret_cast<const char*>(x + body);
    const ptrdiff_t s1 = step * 4, s3 = step * 12;
    for (ptrdiff_t j = -static_cast<ptrdiff_t>(body); j < 0; j += 8) {
        const __m256 hv = _mm256_loadu_ps(he + j);
        const char* p = xe + 4 * j;
        a0 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(reinterpret_cast<const float*>(p)), a0);
        a1 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(reinterpret_cast<const float*>(p + s1)), a1);
        a2 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(reinterpret_cast<const float*>(p + 2 * s1)), a2);
        a3 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(reinterpret_cast<const float*>(p + s3)), a3);
    }
    if (span & 4) {
        const __m256 hv = tail4(he);
        a0 = _mm256_fmadd_ps(hv, tail4(x + body), a0);
        a1 = _mm256_fmadd_ps(hv, tail4(x + step + body), a1);
        a2 = _mm256_fmadd_ps(hv, tail4(x + 2 * step + body), a2);
        a3 = _mm256_fmadd_ps(hv, tail4(x + 3 * step + body), a3);
    }
    return _mm_mul_ps(halves(hadd(hadd(a0, a1), hadd(a2, a3))), _mm_set1_ps(norm));
}
#endif

// Eight outputs, in the same order of operations as dot_fast for each. With Shared, h[0] serves
// all eight. Lane k = result of output k times norm.
template <bool Shared>
DSP_AVX2 inline __m256 dot8_fast(const float* const* h, const float* const* x, uint32_t span,
                                 float norm) {
#if defined(__i386__)
    return _mm256_set_m128(dot4_fast<Shared>(Shared ? h : h + 4, x + 4, span, norm),
                           dot4_fast<Shared>(h, x, span, norm));
#else
    const uint32_t body = span & ~7u;
    __m256 a0 = chain_start(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    const float *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3], *x4 = x[4], *x5 = x[5], *x6 = x[6],
                *x7 = x[7];
    if (Shared) {
        const float* h0 = h[0];
        for (uint32_t j = 0; j < body; j += 8) {
            __m256 hv = _mm256_loadu_ps(h0 + j);
            a0 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x0 + j), a0);
            a1 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x1 + j), a1);
            a2 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x2 + j), a2);
            a3 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x3 + j), a3);
            a4 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x4 + j), a4);
            a5 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x5 + j), a5);
            a6 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x6 + j), a6);
            a7 = _mm256_fmadd_ps(hv, _mm256_loadu_ps(x7 + j), a7);
        }
    } else {
        for (uint32_t j = 0; j < body; j += 8) {
            a0 = _mm256_fmadd_ps(_mm256_loadu_ps(h[0] + j), _mm256_loadu_ps(x0 + j), a0);
            a1 = _mm256_fmadd_ps(_mm256_loadu_ps(h[1] + j), _mm256_loadu_ps(x1 + j), a1);
            a2 = _mm256_fmadd_ps(_mm256_loadu_ps(h[2] + j), _mm256_loadu_ps(x2 + j), a2);
            a3 = _mm256_fmadd_ps(_mm256_loadu_ps(h[3] + j), _mm256_loadu_ps(x3 + j), a3);
            a4 = _mm256_fmadd_ps(_mm256_loadu_ps(h[4] + j), _mm256_loadu_ps(x4 + j), a4);
            a5 = _mm256_fmadd_ps(_mm256_loadu_ps(h[5] + j), _mm256_loadu_ps(x5 + j), a5);
            a6 = _mm256_fmadd_ps(_mm256_loadu_ps(h[6] + j), _mm256_loadu_ps(x6 + j), a6);
            a7 = _mm256_fmadd_ps(_mm256_loadu_ps(h[7] + j), _mm256_loadu_ps(x7 + j), a7);
        }
    }
    if (span & 4) {
        const float* hb[8];
        for (int k = 0; k < 8; ++k)
            hb[k] = (Shared ? h[0] : h[k]) + body;
        a0 = _mm256_fmadd_ps(tail4(hb[0]), tail4(x0 + body), a0);
        a1 = _mm256_fmadd_ps(tail4(hb[1]), tail4(x1 + body), a1);
        a2 = _mm256_fmadd_ps(tail4(hb[2]), tail4(x2 + body), a2);
        a3 = _mm256_fmadd_ps(tail4(hb[3]), tail4(x3 + body), a3);
        a4 = _mm256_fmadd_ps(tail4(hb[4]), tail4(x4 + body), a4);
        a5 = _mm256_fmadd_ps(tail4(hb[5]), tail4(x5 + body), a5);
        a6 = _mm256_fmadd_ps(tail4(hb[6]), tail4(x6 + body), a6);
        a7 = _mm256_fmadd_ps(tail4(hb[7]), tail4(x7 + body), a7);
    }
    // Two rounds of hadd leave, for each of four outputs, (l0 + l1) + (l2 + l3) in the lower half
    // and (l4 + l5) + (l6 + l7) in the upper half; halves() adds the two.
    const __m128 scale = _mm_set1_ps(norm);
    return _mm256_set_m128(_mm_mul_ps(halves(hadd(hadd(a4, a5), hadd(a6, a7))), scale),
                           _mm_mul_ps(halves(hadd(hadd(a0, a1), hadd(a2, a3))), scale));
#endif
}

// y[k * step] = lane k of v.
DSP_AVX2 inline void store4(float* y, ptrdiff_t step, __m128 v) {
    _mm_store_ss(y, v);
    _mm_store_ss(y + step, _mm_shuffle_ps(v, v, 1));
    _mm_store_ss(y + 2 * step, _mm_movehl_ps(v, v));
    _mm_store_ss(y + 3 * step, _mm_shuffle_ps(v, v, 3));
}
DSP_AVX2 inline void store8(float* y, ptrdiff_t step, __m256 v) {
    store4(y, step, _mm256_castps256_ps128(v));
    store4(y + 4 * step, step, _mm256_extractf128_ps(v, 1));
}
// (l0 + l1) + (l2 + l3) of two outputs' double lanes: [result of a, result of b].
DSP_AVX2 inline __m128d sum_pairs_pd(__m256d a, __m256d b) {
    __m256d h = _mm256_hadd_pd(a, b);  // [a0+a1, b0+b1, a2+a3, b2+b3]
    return _mm_add_pd(_mm256_castpd256_pd128(h), _mm256_extractf128_pd(h, 1));
}

DSP_AVX2 inline float dot_accurate(const float* h, const float* x, uint32_t span) {
    __m256d a = _mm256_setzero_pd();
    for (uint32_t j = 0; j < span; j += 4)
        a = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(h + j)),
                            _mm256_cvtps_pd(_mm_loadu_ps(x + j)), a);
    return static_cast<float>(_mm_cvtsd_f64(sum_pairs_pd(a, a)));
}

template <bool Shared>
DSP_AVX2 inline void dot8_accurate(const float* const* h, const float* const* x, uint32_t span,
                                   float norm, float* out) {
    __m256d a[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k)
        a[k] = _mm256_setzero_pd();
    for (uint32_t j = 0; j < span; j += 4) {
        if (Shared) {
            __m256d hv = _mm256_cvtps_pd(_mm_loadu_ps(h[0] + j));
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k)
                a[k] = _mm256_fmadd_pd(hv, _mm256_cvtps_pd(_mm_loadu_ps(x[k] + j)), a[k]);
        } else {
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k)
                a[k] = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(h[k] + j)),
                                       _mm256_cvtps_pd(_mm_loadu_ps(x[k] + j)), a[k]);
        }
    }
    const __m128 scale = _mm_set1_ps(norm);
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
        __m128 f = _mm_mul_ps(_mm_cvtpd_ps(sum_pairs_pd(a[k], a[k + 1])), scale);
        out[k] = _mm_cvtss_f32(f);
        out[k + 1] = _mm_cvtss_f32(_mm_shuffle_ps(f, f, 1));
    }
}

// Short spans (up to four vectors of taps, and on x86-64 the 56 taps of 48 kHz in seven): a
// class's whole groups with its coefficient vectors loaded once into registers, the loop over
// taps unrolled. NV vectors of 8 taps, with Tail 4 more in the lower lanes. G outputs per group:
// 8 on x86-64 (seven coefficient vectors and eight accumulators fill fifteen of its sixteen
// registers), 4 on i686 (eight registers).
// Every output in the order of dot_fast.
template <int NV, bool Tail>
DSP_AVX2 void fir_short(const float* h, const float* x, ptrdiff_t x_step, uint32_t count, float* y,
                        ptrdiff_t y_step, float norm) {
#if defined(__i386__)
    constexpr int G = 4;
#else
    constexpr int G = 8;
#endif
    constexpr int NH = NV + (Tail ? 1 : 0);
    __m256 hv[NH];
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v)
        hv[v] = _mm256_loadu_ps(h + 8 * v);
    if (Tail)
        hv[NH - 1] = tail4(h + 8 * NV);
    const __m128 scale = _mm_set1_ps(norm);
    uint32_t r = 0;
    // One output's chain: its first product, then the rest fused on in order.
    auto chain = [&](const float* xk) DSP_AVX2 {
        __m256 a = _mm256_mul_ps(hv[0], _mm256_loadu_ps(xk));
#pragma GCC unroll 8
        for (int v = 1; v < NV; ++v)
            a = _mm256_fmadd_ps(hv[v], _mm256_loadu_ps(xk + 8 * v), a);
        if (Tail)
            a = _mm256_fmadd_ps(hv[NH - 1], tail4(xk + 8 * NV), a);
        return a;
    };
    // Four outputs' results times norm. Each pair's first sums are taken as soon as the pair is
    // done, so that on i686 no more than two chains are live beside the coefficients: no spill
    // in its eight registers.
    auto four = [&](const float* x0, const float* x1, const float* x2, const float* x3) DSP_AVX2 {
        const __m256 p = hadd(chain(x0), chain(x1));
        const __m256 q = hadd(chain(x2), chain(x3));
        return _mm_mul_ps(halves(hadd(p, q)), scale);
    };
    for (; r + G <= count; r += G) {
        const float* xr = x + r * x_step;
        float* yr = y + r * y_step;
#if defined(__i386__)
        store4(yr, y_step, four(xr, xr + x_step, xr + 2 * x_step, xr + 3 * x_step));
#else
        // All eight chains first, then their sums: sixteen registers hold them.
        __m256 a[G];
#pragma GCC unroll 8
        for (int k = 0; k < G; ++k)
            a[k] = chain(xr + k * x_step);
        store4(yr, y_step, _mm_mul_ps(halves(hadd(hadd(a[0], a[1]), hadd(a[2], a[3]))), scale));
        store4(yr + 4 * y_step, y_step,
               _mm_mul_ps(halves(hadd(hadd(a[4], a[5]), hadd(a[6], a[7]))), scale));
#endif
    }
    if (r < count) {
        // The last few with the coefficients still in registers: four lanes (eight on x86-64
        // for more than four), the missing ones repeating the last output and not stored.
        const uint32_t left = count - r;
        const float* xr = x + r * x_step;
        auto at = [&](uint32_t k) { return xr + (k < left ? k : left - 1) * x_step; };
        float out[8] = {};
        _mm_storeu_ps(out, four(at(0), at(1), at(2), at(3)));
#if !defined(__i386__)
        if (left > 4)
            _mm_storeu_ps(out + 4, four(at(4), at(5), at(6), at(7)));
#endif
        for (uint32_t k = 0; k < left; ++k)
            y[(r + k) * y_step] = out[k];
    }
}

// Kept out of line: inlined into fir_fast beside the short spans' loops, it made the i686 pass at
// 48 kHz (56 taps, none of those loops) 4 % slower.
template <bool Accurate>
DSP_AVX2 __attribute__((noinline)) void fir(const float* h, uint32_t span, const float* x,
                                            ptrdiff_t x_step, uint32_t count, float* y,
                                            ptrdiff_t y_step, float norm) {
    const float* hs[1] = {h};
    const float* xs[8];
    for (int k = 0; k < 8; ++k)
        xs[k] = x + k * x_step;
    uint32_t r = 0;
    for (; r + 8 <= count; r += 8) {
        float* yr = y + r * y_step;
        if (Accurate) {
            float out[8];
            dot8_accurate<true>(hs, xs, span, norm, out);
            for (int k = 0; k < 8; ++k)
                yr[k * y_step] = out[k];
        } else {
#if defined(__i386__)
            const float* xr = x + r * x_step;
            store8(yr, y_step,
                   _mm256_set_m128(dot4_strided(h, xr + 4 * x_step, x_step, span, norm),
                                   dot4_strided(h, xr, x_step, span, norm)));
#else
            store8(yr, y_step, dot8_fast<true>(hs, xs, span, norm));
#endif
        }
        for (int k = 0; k < 8; ++k)
            xs[k] += 8 * x_step;
    }
    if (!Accurate && r < count) {
        // Fewer than eight left: eight or four lanes, the missing ones repeating the last
        // output and not stored.
        const uint32_t left = count - r;
        for (uint32_t k = 1; k < 8; ++k)
            xs[k] = xs[0] + (k < left ? k : left - 1) * x_step;
        float out[8];
        if (left > 4)
            _mm256_storeu_ps(out, dot8_fast<true>(hs, xs, span, norm));
        else
            _mm_storeu_ps(out, dot4_fast<true>(hs, xs, span, norm));
        for (uint32_t k = 0; k < left; ++k)
            y[(r + k) * y_step] = out[k];
        return;
    }
    for (; r < count; ++r) {
        const float* xr = x + r * x_step;
        y[r * y_step] = (Accurate ? dot_accurate(h, xr, span) : dot_fast(h, xr, span)) * norm;
    }
}

template <bool Accurate>
DSP_AVX2 void gather(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    for (uint32_t k = 0; k < count; k += 8) {
        const float* hs[8];
        const float* xs[8];
        for (uint32_t m = 0; m < 8; ++m) {
            // Short of eight: repeat the first job; its extra results are not stored.
            const FirJob& job = jobs[k + m < count ? k + m : k];
            hs[m] = job.h;
            xs[m] = job.x;
        }
        float out[8];
        if (Accurate)
            dot8_accurate<false>(hs, xs, span, norm, out);
        else
            _mm256_storeu_ps(out, dot8_fast<false>(hs, xs, span, norm));
        for (uint32_t m = 0; m < 8 && k + m < count; ++m)
            *jobs[k + m].y = out[m];
    }
}

DSP_AVX2 void fir_fast(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                       uint32_t count, float* y, ptrdiff_t y_step, float norm) {
    switch (span) {
        case 8: fir_short<1, false>(h, x, x_step, count, y, y_step, norm); return;
        case 12: fir_short<1, true>(h, x, x_step, count, y, y_step, norm); return;
        case 16: fir_short<2, false>(h, x, x_step, count, y, y_step, norm); return;
        case 20: fir_short<2, true>(h, x, x_step, count, y, y_step, norm); return;
        case 24: fir_short<3, false>(h, x, x_step, count, y, y_step, norm); return;
        case 28: fir_short<3, true>(h, x, x_step, count, y, y_step, norm); return;
        case 32: fir_short<4, false>(h, x, x_step, count, y, y_step, norm); return;
#if !defined(__i386__)
        case 56: fir_short<7, false>(h, x, x_step, count, y, y_step, norm); return;
#endif
        default: break;
    }
    fir<false>(h, span, x, x_step, count, y, y_step, norm);
}

DSP_AVX2 void fir_accurate(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                           uint32_t count, float* y, ptrdiff_t y_step, float norm) {
    fir<true>(h, span, x, x_step, count, y, y_step, norm);
}

DSP_AVX2 void gather_fast(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    gather<false>(jobs, count, span, norm);
}

DSP_AVX2 void gather_accurate(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    gather<true>(jobs, count, span, norm);
}

// Eight frames at a time, frames 0-3 in the lower halves and 4-7 in the upper ones: the SSE2
// kernel's transpose of 16-bit samples and conversion on the way out (x + 32768 below the 16 bits
// 0x4380 makes 256 + (x + 32768) / 32768, minus 257 leaves x / 32768 exactly), each half doing
// four frames, so that every channel's eight samples leave in one store. Samples at the rails are
// counted on the way in, as in the SSE2 kernel, channel k in lanes k and k + 8.
DSP_AVX2 void split8(const int16_t* src, float* const* dst, int len, uint32_t* rails) {
    const __m256i flip = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
    const __m256i high = _mm256_set1_epi16(0x4380);
    const __m256 bias = _mm256_set1_ps(257.0f);
    const __m256i rail = _mm256_set1_epi16(32767);
    const __m256i zero = _mm256_setzero_si256();
    __m256i counts = zero;
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        const __m128i* s = reinterpret_cast<const __m128i*>(src + 8 * i);
        auto frames = [&](int j) DSP_AVX2 {
            const __m256i x = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(s + j)), _mm_loadu_si128(s + j + 4), 1);
            const __m256i magnitude = _mm256_max_epi16(x, _mm256_subs_epi16(zero, x));
            counts = _mm256_sub_epi16(counts, _mm256_cmpeq_epi16(magnitude, rail));
            return _mm256_xor_si256(x, flip);
        };
        auto put = [&](int k, __m256i pairs) DSP_AVX2 {
            _mm256_storeu_ps(
                dst[k] + i,
                _mm256_sub_ps(_mm256_castsi256_ps(_mm256_unpacklo_epi16(pairs, high)), bias));
            _mm256_storeu_ps(
                dst[k + 1] + i,
                _mm256_sub_ps(_mm256_castsi256_ps(_mm256_unpackhi_epi16(pairs, high)), bias));
        };
        const __m256i f0 = frames(0), f1 = frames(1), f2 = frames(2), f3 = frames(3);
        const __m256i a0 = _mm256_unpacklo_epi16(f0, f1), a1 = _mm256_unpackhi_epi16(f0, f1);
        const __m256i a2 = _mm256_unpacklo_epi16(f2, f3), a3 = _mm256_unpackhi_epi16(f2, f3);
        put(0, _mm256_unpacklo_epi32(a0, a2));
        put(2, _mm256_unpackhi_epi32(a0, a2));
        put(4, _mm256_unpacklo_epi32(a1, a3));
        put(6, _mm256_unpackhi_epi32(a1, a3));
    }
    alignas(32) uint16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), counts);
    const float one = 1.0f / 32768.0f;
    for (int k = 0; k < 8; ++k) {
        uint32_t n = uint32_t(lanes[k]) + lanes[k + 8];
        for (int j = i; j < len; ++j) {
            const int16_t x = src[8 * j + k];
            dst[k][j] = x * one;
            n += (x >= 32767) | (x <= -32767);
        }
        rails[k] += n;
    }
}

}  // namespace

// Groups of four: the kernel takes a class's members four at a time (and three, in four lanes),
// so that at most two of a class go to the gathered call.
const Table avx2_table = {"avx2",
                          4,
                          fir_fast,
                          fir_accurate,
                          gather_fast,
                          gather_accurate,
                          avx2_halfband_fast,
                          halfband_double,
                          split8};

}  // namespace kernels
}  // namespace dsp

#endif
