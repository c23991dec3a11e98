// SSE2 inner loops: the path of x86 processors without AVX2 and FMA, in both builds.
// Only SSE2 instructions and at most eight vector registers, so that it builds and runs the same
// on i686 and x86-64.
#include "dsp_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <emmintrin.h>

#if defined(__i386__)
// The 32-bit Windows stack is only 4-byte aligned on entry; vector spills need 16.
#define DSP_SSE2 __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define DSP_SSE2 __attribute__((target("sse2")))
#endif

namespace dsp {
namespace kernels {
namespace {

// Four outputs; one coefficient set for all when h1..h3 equal h0 (the compiler keeps one load).
template <bool Shared>
DSP_SSE2 inline __m128 dot4_fast(const float* const* h, const float* const* x, uint32_t span) {
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
    __m128 a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
    const float *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3];
    if (Shared) {
        const float* h0 = h[0];
        for (uint32_t j = 0; j < span; j += 4) {
            __m128 hv = _mm_loadu_ps(h0 + j);
            a0 = _mm_add_ps(a0, _mm_mul_ps(hv, _mm_loadu_ps(x0 + j)));
            a1 = _mm_add_ps(a1, _mm_mul_ps(hv, _mm_loadu_ps(x1 + j)));
            a2 = _mm_add_ps(a2, _mm_mul_ps(hv, _mm_loadu_ps(x2 + j)));
            a3 = _mm_add_ps(a3, _mm_mul_ps(hv, _mm_loadu_ps(x3 + j)));
        }
    } else {
        const float *h0 = h[0], *h1 = h[1], *h2 = h[2], *h3 = h[3];
        for (uint32_t j = 0; j < span; j += 4) {
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(h0 + j), _mm_loadu_ps(x0 + j)));
            a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_loadu_ps(h1 + j), _mm_loadu_ps(x1 + j)));
            a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_loadu_ps(h2 + j), _mm_loadu_ps(x2 + j)));
            a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_loadu_ps(h3 + j), _mm_loadu_ps(x3 + j)));
        }
    }
    // Lane k of output r to row k, lane r: then (row0 + row1) + (row2 + row3) is each output's
    // (l0 + l1) + (l2 + l3).
    _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
    return _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3));
}

DSP_SSE2 inline float dot_accurate(const float* h, const float* x, uint32_t span) {
    __m128d a01 = _mm_setzero_pd(), a23 = _mm_setzero_pd();
    for (uint32_t j = 0; j < span; j += 4) {
        __m128 hv = _mm_loadu_ps(h + j), xv = _mm_loadu_ps(x + j);
        a01 = _mm_add_pd(a01, _mm_mul_pd(_mm_cvtps_pd(hv), _mm_cvtps_pd(xv)));
        a23 = _mm_add_pd(a23, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(hv, hv)),
                                         _mm_cvtps_pd(_mm_movehl_ps(xv, xv))));
    }
    __m128d s01 = _mm_add_sd(a01, _mm_unpackhi_pd(a01, a01));
    __m128d s23 = _mm_add_sd(a23, _mm_unpackhi_pd(a23, a23));
    return static_cast<float>(_mm_cvtsd_f64(_mm_add_sd(s01, s23)));
}

DSP_SSE2 void fir_fast(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                       uint32_t count, float* y, ptrdiff_t y_step, float norm) {
    const __m128 scale = _mm_set1_ps(norm);
    const float* hs[1] = {h};
    const float* xs[4] = {x, x + x_step, x + 2 * x_step, x + 3 * x_step};
    uint32_t r = 0;
    for (; r + 4 <= count; r += 4) {
        __m128 v = _mm_mul_ps(dot4_fast<true>(hs, xs, span), scale);
        float* yr = y + r * y_step;
        _mm_store_ss(yr, v);
        _mm_store_ss(yr + y_step, _mm_shuffle_ps(v, v, 1));
        _mm_store_ss(yr + 2 * y_step, _mm_movehl_ps(v, v));
        _mm_store_ss(yr + 3 * y_step, _mm_shuffle_ps(v, v, 3));
        for (int k = 0; k < 4; ++k)
            xs[k] += 4 * x_step;
    }
    if (r < count) {
        // Fewer than four left: the missing lanes repeat the last one and are not stored.
        const uint32_t left = count - r;
        for (uint32_t k = 1; k < 4; ++k)
            xs[k] = xs[0] + (k < left ? k : left - 1) * x_step;
        float out[4];
        _mm_storeu_ps(out, _mm_mul_ps(dot4_fast<true>(hs, xs, span), scale));
        for (uint32_t k = 0; k < left; ++k)
            y[(r + k) * y_step] = out[k];
    }
}

DSP_SSE2 void fir_accurate(const float* h, uint32_t span, const float* x, ptrdiff_t x_step,
                           uint32_t count, float* y, ptrdiff_t y_step, float norm) {
    for (uint32_t r = 0; r < count; ++r)
        y[r * y_step] = dot_accurate(h, x + r * x_step, span) * norm;
}

DSP_SSE2 void gather_fast(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    const __m128 scale = _mm_set1_ps(norm);
    for (uint32_t k = 0; k < count; k += 4) {
        const float* hs[4];
        const float* xs[4];
        for (uint32_t m = 0; m < 4; ++m) {
            // Short of four: repeat the first job; its extra results are not stored.
            const FirJob& job = jobs[k + m < count ? k + m : k];
            hs[m] = job.h;
            xs[m] = job.x;
        }
        float out[4];
        _mm_storeu_ps(out, _mm_mul_ps(dot4_fast<false>(hs, xs, span), scale));
        for (uint32_t m = 0; m < 4 && k + m < count; ++m)
            *jobs[k + m].y = out[m];
    }
}

DSP_SSE2 void gather_accurate(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    for (uint32_t k = 0; k < count; ++k)
        *jobs[k].y = dot_accurate(jobs[k].h, jobs[k].x, span) * norm;
}

// Sixteen outputs at a time in four accumulators (the additions' latency), then four, then one:
// the same operations on each output (dsp_kernels.h).
DSP_SSE2 void halfband_fast(const float* g, uint32_t pairs, float center, const float* e,
                            const float* o, uint32_t count, float* y, float norm) {
    const uint32_t last = 2 * pairs - 1;
    const __m128 c = _mm_set1_ps(center), scale = _mm_set1_ps(norm);
    uint32_t m = 0;
    for (; m + 16 <= count; m += 16) {
        __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
        __m128 a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
        const float *lo = o + m, *hi = o + m + last;
        for (uint32_t j = 0; j < pairs; ++j) {
            const __m128 gj = _mm_set1_ps(g[j]);
            a0 = _mm_add_ps(a0,
                            _mm_mul_ps(gj, _mm_add_ps(_mm_loadu_ps(lo + j), _mm_loadu_ps(hi - j))));
            a1 = _mm_add_ps(
                a1, _mm_mul_ps(gj, _mm_add_ps(_mm_loadu_ps(lo + j + 4), _mm_loadu_ps(hi - j + 4))));
            a2 = _mm_add_ps(
                a2, _mm_mul_ps(gj, _mm_add_ps(_mm_loadu_ps(lo + j + 8), _mm_loadu_ps(hi - j + 8))));
            a3 = _mm_add_ps(a3, _mm_mul_ps(gj, _mm_add_ps(_mm_loadu_ps(lo + j + 12),
                                                          _mm_loadu_ps(hi - j + 12))));
        }
        a0 = _mm_add_ps(a0, _mm_mul_ps(c, _mm_loadu_ps(e + m)));
        a1 = _mm_add_ps(a1, _mm_mul_ps(c, _mm_loadu_ps(e + m + 4)));
        a2 = _mm_add_ps(a2, _mm_mul_ps(c, _mm_loadu_ps(e + m + 8)));
        a3 = _mm_add_ps(a3, _mm_mul_ps(c, _mm_loadu_ps(e + m + 12)));
        _mm_storeu_ps(y + m, _mm_mul_ps(a0, scale));
        _mm_storeu_ps(y + m + 4, _mm_mul_ps(a1, scale));
        _mm_storeu_ps(y + m + 8, _mm_mul_ps(a2, scale));
        _mm_storeu_ps(y + m + 12, _mm_mul_ps(a3, scale));
    }
    for (; m + 4 <= count; m += 4) {
        __m128 a = _mm_setzero_ps();
        for (uint32_t j = 0; j < pairs; ++j)
            a = _mm_add_ps(
                a, _mm_mul_ps(_mm_set1_ps(g[j]),
                              _mm_add_ps(_mm_loadu_ps(o + m + j), _mm_loadu_ps(o + m + last - j))));
        a = _mm_add_ps(a, _mm_mul_ps(c, _mm_loadu_ps(e + m)));
        _mm_storeu_ps(y + m, _mm_mul_ps(a, scale));
    }
    for (; m < count; ++m) {
        __m128 a = _mm_setzero_ps();
        for (uint32_t j = 0; j < pairs; ++j)
            a = _mm_add_ss(
                a, _mm_mul_ss(_mm_set_ss(g[j]),
                              _mm_add_ss(_mm_load_ss(o + m + j), _mm_load_ss(o + m + last - j))));
        a = _mm_add_ss(a, _mm_mul_ss(c, _mm_load_ss(e + m)));
        _mm_store_ss(y + m, _mm_mul_ss(a, scale));
    }
}

// Four frames of 8 channels, transposed as 16-bit samples, and converted on the way out of the
// transpose: a sample x, its sign bit flipped (x + 32768), is interleaved below the 16 bits
// 0x4380, which makes the float 256 + (x + 32768) / 32768; subtracting 257 leaves x / 32768,
// exactly. Two operations per four samples where widening, converting and scaling took four.
//
// Samples at the rails are counted on the way in: |x|, saturated (so -32768 gives 32767), equal
// to 32767 adds one to the channel's 16-bit lane.
DSP_SSE2 void split8(const int16_t* src, float* const* dst, int len, uint32_t* rails) {
    const __m128i flip = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    const __m128i rail = _mm_set1_epi16(32767);
    const __m128i zero = _mm_setzero_si128();
    __m128i counts = zero;
    auto load = [&](const __m128i* p) DSP_SSE2 {
        const __m128i x = _mm_loadu_si128(p);
        const __m128i magnitude = _mm_max_epi16(x, _mm_subs_epi16(zero, x));
        counts = _mm_sub_epi16(counts, _mm_cmpeq_epi16(magnitude, rail));
        return _mm_xor_si128(x, flip);
    };
    const __m128i high = _mm_set1_epi16(0x4380);
    const __m128 bias = _mm_set1_ps(257.0f);
    float *d0 = dst[0], *d1 = dst[1], *d2 = dst[2], *d3 = dst[3];
    float *d4 = dst[4], *d5 = dst[5], *d6 = dst[6], *d7 = dst[7];
    int i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128i* s = reinterpret_cast<const __m128i*>(src + 8 * i);
        const __m128i f0 = load(s), f1 = load(s + 1), f2 = load(s + 2), f3 = load(s + 3);
        // Channels 0-3 and 4-7 of frames 0, 1 and of frames 2, 3, paired.
        const __m128i a0 = _mm_unpacklo_epi16(f0, f1), a1 = _mm_unpackhi_epi16(f0, f1);
        const __m128i a2 = _mm_unpacklo_epi16(f2, f3), a3 = _mm_unpackhi_epi16(f2, f3);
        // Two channels' four frames each: 0 and 1, 2 and 3, 4 and 5, 6 and 7.
        const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
        const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
#define DSP_LOW(b) _mm_sub_ps(_mm_castsi128_ps(_mm_unpacklo_epi16(b, high)), bias)
#define DSP_HIGH(b) _mm_sub_ps(_mm_castsi128_ps(_mm_unpackhi_epi16(b, high)), bias)
        _mm_storeu_ps(d0 + i, DSP_LOW(b0));
        _mm_storeu_ps(d1 + i, DSP_HIGH(b0));
        _mm_storeu_ps(d2 + i, DSP_LOW(b1));
        _mm_storeu_ps(d3 + i, DSP_HIGH(b1));
        _mm_storeu_ps(d4 + i, DSP_LOW(b2));
        _mm_storeu_ps(d5 + i, DSP_HIGH(b2));
        _mm_storeu_ps(d6 + i, DSP_LOW(b3));
        _mm_storeu_ps(d7 + i, DSP_HIGH(b3));
#undef DSP_LOW
#undef DSP_HIGH
    }
    alignas(16) uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
    const float one = 1.0f / 32768.0f;
    for (int k = 0; k < 8; ++k) {
        uint32_t n = lanes[k];
        for (int j = i; j < len; ++j) {
            const int16_t x = src[8 * j + k];
            dst[k][j] = x * one;
            n += (x >= 32767) | (x <= -32767);
        }
        rails[k] += n;
    }
}

}  // namespace

const Table sse2_table = {
    "sse2",          4,     fir_fast, fir_accurate, gather_fast, gather_accurate, halfband_fast,
    halfband_double, split8};

}  // namespace kernels
}  // namespace dsp

#endif
