// The AVX2/FMA half-band filter.
//
// Every output is one chain, whichever way the outputs are grouped (dsp_kernels.h):
//   acc = 0; for j < pairs: acc = fma(g[j], o[m + j] + o[m + 2 pairs - 1 - j], acc);
//   y[m] = fma(center, e[m], acc) * norm.
// Eight consecutive outputs per vector need two unaligned loads per coefficient pair. Most
// outputs are therefore computed in rows instead: the odd samples of a piece of 8 S outputs are
// laid out so that lane k of row i holds o[k S + i] (the lanes overlap by 2 pairs - 1 samples),
// and lane k of output row i is output k S + i. Output row i + 1 needs the sample rows that row i
// needs, one further on, so R neighbouring output rows share the left sample rows they load:
// R + 1 loads per coefficient pair for R x 8 outputs instead of 2 R unaligned ones (on x86-64
// the right ones are shared as well: 3.5 per pair for 4 x 8 outputs). The rows go
// back to the outputs' order with the centre tap and the output factor.
#include "dsp_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "dsp_kernels_avx2.h"

namespace dsp {
namespace kernels {
namespace {

#if defined(__x86_64__)
// Sixteen registers: eight chains of eight consecutive outputs, or four output rows.
constexpr int N = 8;
constexpr int R = 4;
#else
// Eight registers: four chains, or three output rows (their chains, their left sample rows, the
// coefficient and a sum).
constexpr int N = 4;
constexpr int R = 3;
#endif

// Outputs per piece in rows, and the most coefficient pairs that take that way: the rows of a
// piece live on the stack.
constexpr uint32_t PIECE = 2048;
constexpr uint32_t ROW_PAIRS = 64;
constexpr uint32_t MAX_SAMPLE_ROWS = PIECE / 8 + 2 * ROW_PAIRS - 1;

// The pair sums of 8 x NN consecutive outputs, stored at y.
template <int NN>
DSP_AVX2 inline void pairs_consecutive(const float* g, uint32_t pairs, const float* o, float* y) {
    const uint32_t last = 2 * pairs - 1;
    __m256 a[NN];
#pragma GCC unroll 8
    for (int k = 0; k < NN; ++k)
        a[k] = _mm256_setzero_ps();
    for (uint32_t j = 0; j < pairs; ++j) {
        const __m256 gj = _mm256_broadcast_ss(g + j);
#pragma GCC unroll 8
        for (int k = 0; k < NN; ++k)
            a[k] = _mm256_fmadd_ps(gj,
                                   _mm256_add_ps(_mm256_loadu_ps(o + 8 * k + j),
                                                 _mm256_loadu_ps(o + 8 * k + last - j)),
                                   a[k]);
    }
#pragma GCC unroll 8
    for (int k = 0; k < NN; ++k)
        _mm256_storeu_ps(y + 8 * k, a[k]);
}

// count consecutive outputs: the pair sums in blocks of 8 x N, then 8, then one at a time; then
// the centre tap and the output factor over all of them.
DSP_AVX2 void consecutive(const float* g, uint32_t pairs, float center, const float* e,
                          const float* o, uint32_t count, float* y, float norm) {
    const uint32_t last = 2 * pairs - 1;
    uint32_t m = 0;
    for (; m + 8 * N <= count; m += 8 * N)
        pairs_consecutive<N>(g, pairs, o + m, y + m);
    for (; m + 8 <= count; m += 8)
        pairs_consecutive<1>(g, pairs, o + m, y + m);
    for (; m < count; ++m) {
        __m128 a = _mm_setzero_ps();
        for (uint32_t j = 0; j < pairs; ++j)
            a = _mm_fmadd_ss(_mm_set_ss(g[j]),
                             _mm_add_ss(_mm_load_ss(o + m + j), _mm_load_ss(o + m + last - j)), a);
        _mm_store_ss(y + m, a);
    }
    const __m256 c = _mm256_set1_ps(center), scale = _mm256_set1_ps(norm);
    for (m = 0; m + 8 <= count; m += 8)
        _mm256_storeu_ps(
            y + m, _mm256_mul_ps(_mm256_fmadd_ps(c, _mm256_loadu_ps(e + m), _mm256_loadu_ps(y + m)),
                                 scale));
    for (; m < count; ++m)
        _mm_store_ss(y + m, _mm_mul_ss(_mm_fmadd_ss(_mm_set_ss(center), _mm_load_ss(e + m),
                                                    _mm_load_ss(y + m)),
                                       _mm_set_ss(norm)));
}

// [lo | hi] from two 4-float loads.
DSP_AVX2 inline __m256 load_halves(const float* lo, const float* hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
}

// O[8 i + k] = o[k S + i] for i < rows.
DSP_AVX2 __attribute__((noinline)) void sample_rows(const float* o, uint32_t S, uint32_t rows,
                                                    float* O) {
    uint32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        __m256 q0 = load_halves(o + i, o + 4 * S + i), q1 = load_halves(o + S + i, o + 5 * S + i),
               q2 = load_halves(o + 2 * S + i, o + 6 * S + i),
               q3 = load_halves(o + 3 * S + i, o + 7 * S + i);
        transpose_halves(q0, q1, q2, q3);
        _mm256_storeu_ps(O + 8 * i, q0);
        _mm256_storeu_ps(O + 8 * i + 8, q1);
        _mm256_storeu_ps(O + 8 * i + 16, q2);
        _mm256_storeu_ps(O + 8 * i + 24, q3);
    }
    for (; i < rows; ++i)
        for (uint32_t k = 0; k < 8; ++k)
            O[8 * i + k] = o[k * S + i];
}

// The pair sums of RR output rows from the sample rows at O, stored at Y. Output row r takes
// pair j from sample rows r + j and r + 2 pairs - 1 - j: the left ones are the same rows for
// all RR output rows, one further on each, so they stay in registers and move along by one
// register per pair (one new load per pair instead of RR). For the eight registers of i686.
template <int RR>
DSP_AVX2 inline void pairs_rows_sliding(const float* g, uint32_t pairs, const float* O, float* Y) {
    const uint32_t last = 2 * pairs - 1;
    __m256 a[RR], lw[RR];
#pragma GCC unroll 4
    for (int r = 0; r < RR; ++r) {
        a[r] = _mm256_setzero_ps();
        lw[r] = _mm256_loadu_ps(O + 8 * r);
    }
    for (uint32_t j = 0; j < pairs; ++j) {
        const __m256 gj = _mm256_broadcast_ss(g + j);
#pragma GCC unroll 4
        for (int r = 0; r < RR; ++r)
            a[r] = _mm256_fmadd_ps(
                gj, _mm256_add_ps(lw[r], _mm256_loadu_ps(O + 8 * (last - j + r))), a[r]);
#pragma GCC unroll 4
        for (int r = 0; r + 1 < RR; ++r)
            lw[r] = lw[r + 1];
        lw[RR - 1] = _mm256_loadu_ps(O + 8 * (j + RR));
    }
#pragma GCC unroll 4
    for (int r = 0; r < RR; ++r)
        _mm256_storeu_ps(Y + 8 * r, a[r]);
}

// The same with the right sample rows shared too, RR pairs at a time, so that both windows of
// sample rows shift by renaming instead of moves: output row r takes pair j + s from sample rows
// r + j + s and r + last - j - s, 2 RR - 1 on each side loaded per RR pairs. For x86-64.
template <int RR>
DSP_AVX2 inline void pairs_rows_windows(const float* g, uint32_t pairs, const float* O, float* Y) {
    const uint32_t last = 2 * pairs - 1;
    __m256 a[RR];
#pragma GCC unroll 4
    for (int r = 0; r < RR; ++r)
        a[r] = _mm256_setzero_ps();
    // Pointers rather than indices into the rows: unsigned 32-bit indices cost an address
    // computation per load.
    const uint32_t whole = pairs - pairs % RR;
    const float* left = O;
    const float* right = O + 8 * static_cast<ptrdiff_t>(last - (RR - 1));
    for (const float* gj_at = g; gj_at < g + whole; gj_at += RR, left += 8 * RR, right -= 8 * RR) {
        __m256 lw[2 * RR - 1], rw[2 * RR - 1];
#pragma GCC unroll 8
        for (int x = 0; x < 2 * RR - 1; ++x) {
            lw[x] = _mm256_loadu_ps(left + 8 * x);
            rw[x] = _mm256_loadu_ps(right + 8 * x);
        }
#pragma GCC unroll 4
        for (int s = 0; s < RR; ++s) {
            const __m256 gj = _mm256_broadcast_ss(gj_at + s);
#pragma GCC unroll 4
            for (int r = 0; r < RR; ++r)
                a[r] = _mm256_fmadd_ps(gj, _mm256_add_ps(lw[s + r], rw[RR - 1 - s + r]), a[r]);
        }
    }
    for (uint32_t j = whole; j < pairs; ++j) {
        const __m256 gj = _mm256_broadcast_ss(g + j);
#pragma GCC unroll 4
        for (int r = 0; r < RR; ++r)
            a[r] = _mm256_fmadd_ps(gj,
                                   _mm256_add_ps(_mm256_loadu_ps(O + 8 * (j + r)),
                                                 _mm256_loadu_ps(O + 8 * (last - j + r))),
                                   a[r]);
    }
#pragma GCC unroll 4
    for (int r = 0; r < RR; ++r)
        _mm256_storeu_ps(Y + 8 * r, a[r]);
}

// The pair sums of output rows 0 .. S - 1. Out of line, like the transposes, so that the loop
// has every vector register to itself.
DSP_AVX2 __attribute__((noinline)) void all_rows(const float* g, uint32_t pairs, const float* O,
                                                 uint32_t S, float* Y) {
    uint32_t i = 0;
#if defined(__x86_64__)
    for (; i + R <= S; i += R)
        pairs_rows_windows<R>(g, pairs, O + 8 * i, Y + 8 * i);
#else
    for (; i + R <= S; i += R)
        pairs_rows_sliding<R>(g, pairs, O + 8 * i, Y + 8 * i);
#endif
    for (; i < S; ++i)
        pairs_rows_sliding<1>(g, pairs, O + 8 * i, Y + 8 * i);
}

// y[k S + i] = (center e[k S + i] + Y[8 i + k]) norm, the output order back from rows.
DSP_AVX2 __attribute__((noinline)) void output_rows(const float* Y, uint32_t S, float center,
                                                    const float* e, float* y, float norm) {
    const __m256 c = _mm256_set1_ps(center), scale = _mm256_set1_ps(norm);
    uint32_t i = 0;
    for (; i + 4 <= S; i += 4) {
        __m256 v[4] = {_mm256_loadu_ps(Y + 8 * i), _mm256_loadu_ps(Y + 8 * i + 8),
                       _mm256_loadu_ps(Y + 8 * i + 16), _mm256_loadu_ps(Y + 8 * i + 24)};
        transpose_halves(v[0], v[1], v[2], v[3]);
#pragma GCC unroll 4
        for (uint32_t k = 0; k < 4; ++k) {
            const uint32_t lo = k * S + i, hi = (k + 4) * S + i;
            const __m256 out =
                _mm256_mul_ps(_mm256_fmadd_ps(c, load_halves(e + lo, e + hi), v[k]), scale);
            _mm_storeu_ps(y + lo, _mm256_castps256_ps128(out));
            _mm_storeu_ps(y + hi, _mm256_extractf128_ps(out, 1));
        }
    }
    for (; i < S; ++i)
        for (uint32_t k = 0; k < 8; ++k)
            _mm_store_ss(y + k * S + i,
                         _mm_mul_ss(_mm_fmadd_ss(_mm_set_ss(center), _mm_load_ss(e + k * S + i),
                                                 _mm_load_ss(Y + 8 * i + k)),
                                    _mm_set_ss(norm)));
}

}  // namespace

DSP_AVX2 void avx2_halfband_fast(const float* g, uint32_t pairs, float center, const float* e,
                                 const float* o, uint32_t count, float* y, float norm) {
    uint32_t m = 0;
    if (pairs <= ROW_PAIRS) {
        alignas(32) float O[MAX_SAMPLE_ROWS * 8];
        alignas(32) float Y[PIECE];
        const uint32_t last = 2 * pairs - 1;
        // Pieces of at least eight rows; what is left over (fewer than 64 outputs) goes the
        // consecutive way.
        while (count - m >= 64) {
            const uint32_t S = (count - m < PIECE ? count - m : PIECE) / 8;
            sample_rows(o + m, S, S + last, O);
            all_rows(g, pairs, O, S, Y);
            output_rows(Y, S, center, e + m, y + m, norm);
            m += 8 * S;
        }
    }
    if (m < count)
        consecutive(g, pairs, center, e + m, o + m, count - m, y + m, norm);
}

}  // namespace kernels
}  // namespace dsp

#endif
