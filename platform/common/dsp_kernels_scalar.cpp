// Portable inner loops: the reference that the vector paths are tested against, and the path of
// processors without them.
#include "dsp_kernels.h"

namespace dsp {
namespace kernels {
namespace {

inline float dot_fast(const float* h, const float* x, uint32_t n) {
    float a0 = 0.f, a1 = 0.f, a2 = 0.f, a3 = 0.f;
    for (uint32_t k = 0; k < n; k += 4) {
        a0 += h[k] * x[k];
        a1 += h[k + 1] * x[k + 1];
        a2 += h[k + 2] * x[k + 2];
        a3 += h[k + 3] * x[k + 3];
    }
    return (a0 + a1) + (a2 + a3);
}

inline float dot_accurate(const float* h, const float* x, uint32_t n) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    for (uint32_t k = 0; k < n; k += 4) {
        a0 += double(h[k]) * x[k];
        a1 += double(h[k + 1]) * x[k + 1];
        a2 += double(h[k + 2]) * x[k + 2];
        a3 += double(h[k + 3]) * x[k + 3];
    }
    return static_cast<float>((a0 + a1) + (a2 + a3));
}

void fir_fast(const float* h, uint32_t span, const float* x, ptrdiff_t x_step, uint32_t count,
              float* y, ptrdiff_t y_step, float norm) {
    for (uint32_t r = 0; r < count; ++r)
        y[r * y_step] = dot_fast(h, x + r * x_step, span) * norm;
}

void fir_accurate(const float* h, uint32_t span, const float* x, ptrdiff_t x_step, uint32_t count,
                  float* y, ptrdiff_t y_step, float norm) {
    for (uint32_t r = 0; r < count; ++r)
        y[r * y_step] = dot_accurate(h, x + r * x_step, span) * norm;
}

void gather_fast(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    for (uint32_t k = 0; k < count; ++k)
        *jobs[k].y = dot_fast(jobs[k].h, jobs[k].x, span) * norm;
}

void gather_accurate(const FirJob* jobs, uint32_t count, uint32_t span, float norm) {
    for (uint32_t k = 0; k < count; ++k)
        *jobs[k].y = dot_accurate(jobs[k].h, jobs[k].x, span) * norm;
}

void halfband_fast(const float* g, uint32_t pairs, float center, const float* e, const float* o,
                   uint32_t count, float* y, float norm) {
    const uint32_t last = 2 * pairs - 1;
    for (uint32_t m = 0; m < count; ++m) {
        float acc = 0.0f;
        for (uint32_t j = 0; j < pairs; ++j)
            acc += g[j] * (o[m + j] + o[m + last - j]);
        acc += center * e[m];
        y[m] = acc * norm;
    }
}

void split8(const int16_t* src, float* const* dst, int len, uint32_t* rails) {
    const float scale = 1.0f / 32768.0f;
    for (int k = 0; k < 8; ++k) {
        float* d = dst[k];
        uint32_t n = 0;
        for (int i = 0; i < len; ++i) {
            const int16_t x = src[8 * i + k];
            d[i] = x * scale;
            n += (x >= 32767) | (x <= -32767);
        }
        rails[k] += n;
    }
}

}  // namespace

void halfband_double(const float* g, uint32_t pairs, float center, const float* e, const float* o,
                     uint32_t count, float* y, float norm) {
    const uint32_t last = 2 * pairs - 1;
    for (uint32_t m = 0; m < count; ++m) {
        double acc = 0.0;
        for (uint32_t j = 0; j < pairs; ++j)
            acc += double(g[j]) * (double(o[m + j]) + double(o[m + last - j]));
        acc += double(center) * e[m];
        y[m] = static_cast<float>(acc) * norm;
    }
}

const Table scalar_table = {
    "scalar",        1,     fir_fast, fir_accurate, gather_fast, gather_accurate, halfband_fast,
    halfband_double, split8};

}  // namespace kernels
}  // namespace dsp
