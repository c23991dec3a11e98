// Aligned allocation, de-interleave with scaling, copy, move and zero.
#include "dsp.h"
#include "dsp_internal.h"
#include "dsp_kernels.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Just before the aligned address of every block: the malloc'ed start and the size asked.
struct block_header {
    void* start;
    size_t bytes;
};

}  // namespace

namespace dsp {
namespace {

std::atomic<long> live_blocks{0};

}  // namespace

#ifdef ZALVO_TEST_HOOKS
namespace {
std::atomic<long> fail_countdown{-1};
}

void fail_allocation_at(int k) {
    fail_countdown.store(k < 0 ? -1 : k);
}

bool allocation_fails() {
    long k = fail_countdown.load();
    while (k >= 0) {
        if (fail_countdown.compare_exchange_weak(k, k - 1))
            return k == 0;
    }
    return false;
}
#endif

long live_allocations() {
    return live_blocks.load();
}

size_t allocated_bytes(const void* ptr) {
    return ptr ? static_cast<const block_header*>(ptr)[-1].bytes : 0;
}

void count_block(long delta) {
    live_blocks.fetch_add(delta);
}

void interleave_scaled(const Ipp32f* re, const Ipp32f* im, Ipp32f* dst, int len, Ipp32f gain) {
    int j = 0;
#if defined(__SSE2__)
    // Every build of the module has SSE2 (x86-64, and i686 built for it): four pairs at a time.
    const __m128 g = _mm_set1_ps(gain);
    for (; j + 4 <= len; j += 4) {
        const __m128 a = _mm_mul_ps(_mm_loadu_ps(re + j), g);
        const __m128 b = _mm_mul_ps(_mm_loadu_ps(im + j), g);
        _mm_storeu_ps(dst + 2 * j, _mm_unpacklo_ps(a, b));
        _mm_storeu_ps(dst + 2 * j + 4, _mm_unpackhi_ps(a, b));
    }
#endif
    for (; j < len; ++j) {
        dst[2 * j] = re[j] * gain;
        dst[2 * j + 1] = im[j] * gain;
    }
}

void split8_rails(const Ipp16s* src, Ipp32f* const* dst, int len, uint32_t rails[8]) {
    // The kernels count in 16-bit lanes: at most 65 528 frames a call (a multiple of 8).
    constexpr int CHUNK = 65528;
    for (int at = 0; at < len; at += CHUNK) {
        float* part[8];
        for (int k = 0; k < 8; ++k)
            part[k] = dst[k] + at;
        kernels::active().split8(src + 8 * at, part, len - at < CHUNK ? len - at : CHUNK, rails);
    }
}

}  // namespace dsp

namespace {

constexpr size_t ALIGNMENT = 64;

void* aligned_alloc_bytes(size_t bytes) {
    if (dsp::allocation_fails())
        return nullptr;
    void* raw = std::malloc(bytes + ALIGNMENT + sizeof(block_header));
    if (!raw)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(raw) + sizeof(block_header);
    uintptr_t aligned = (start + ALIGNMENT - 1) & ~static_cast<uintptr_t>(ALIGNMENT - 1);
    reinterpret_cast<block_header*>(aligned)[-1] = block_header{raw, bytes};
    dsp::count_block(1);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

Ipp8u* ippsMalloc_8u(int len) {
    if (len <= 0)
        return nullptr;
    return static_cast<Ipp8u*>(aligned_alloc_bytes(static_cast<size_t>(len)));
}

Ipp32f* ippsMalloc_32f(int len) {
    if (len <= 0)
        return nullptr;
    return static_cast<Ipp32f*>(aligned_alloc_bytes(static_cast<size_t>(len) * sizeof(Ipp32f)));
}

void ippsFree(void* ptr) {
    if (!ptr)
        return;
    std::free(static_cast<block_header*>(ptr)[-1].start);
    dsp::count_block(-1);
}

IppStatus ippsSplitScaled_16s32f_D2L(const Ipp16s* pSrc, Ipp32f** pDst, int nChannels,
                                     int chanLen) {
    if (!pSrc || !pDst)
        return ippStsNullPtrErr;
    if (nChannels <= 0 || chanLen <= 0)
        return ippStsSizeErr;
    for (int k = 0; k < nChannels; ++k)
        if (!pDst[k])
            return ippStsNullPtrErr;
    // Eight channels is the module's case: one sweep over the block on the processor's path.
    if (nChannels == 8) {
        uint32_t rails[8] = {};
        dsp::split8_rails(pSrc, pDst, chanLen, rails);
        return ippStsNoErr;
    }
    const float scale = 1.0f / 32768.0f;
    for (int k = 0; k < nChannels; ++k) {
        Ipp32f* d = pDst[k];
        for (int i = 0; i < chanLen; ++i)
            d[i] = pSrc[i * nChannels + k] * scale;
    }
    return ippStsNoErr;
}

IppStatus ippsCopy_32f(const Ipp32f* pSrc, Ipp32f* pDst, int len) {
    if (!pSrc || !pDst)
        return ippStsNullPtrErr;
    if (len <= 0)
        return ippStsSizeErr;
    std::memcpy(pDst, pSrc, static_cast<size_t>(len) * sizeof(Ipp32f));
    return ippStsNoErr;
}

// The resampler's history move, a few thousand bytes per stream and pass: a plain vector loop is
// about twice as fast there as the C library's move, which switches to string instructions at
// that size. Each step loads before it stores, going up when the destination lies below the
// source and down when above, so that no sample is overwritten before it is read.
IppStatus ippsMove_32f(const Ipp32f* pSrc, Ipp32f* pDst, int len) {
    if (!pSrc || !pDst)
        return ippStsNullPtrErr;
    if (len <= 0)
        return ippStsSizeErr;
#if defined(__SSE2__)
    if (reinterpret_cast<uintptr_t>(pDst) <= reinterpret_cast<uintptr_t>(pSrc)) {
        int i = 0;
        for (; i + 8 <= len; i += 8) {
            const __m128 a = _mm_loadu_ps(pSrc + i), b = _mm_loadu_ps(pSrc + i + 4);
            _mm_storeu_ps(pDst + i, a);
            _mm_storeu_ps(pDst + i + 4, b);
        }
        for (; i < len; ++i)
            pDst[i] = pSrc[i];
    } else {
        int i = len;
        for (; i >= 8; i -= 8) {
            const __m128 a = _mm_loadu_ps(pSrc + i - 8), b = _mm_loadu_ps(pSrc + i - 4);
            _mm_storeu_ps(pDst + i - 8, a);
            _mm_storeu_ps(pDst + i - 4, b);
        }
        for (; i > 0; --i)
            pDst[i - 1] = pSrc[i - 1];
    }
#else
    std::memmove(pDst, pSrc, static_cast<size_t>(len) * sizeof(Ipp32f));
#endif
    return ippStsNoErr;
}

IppStatus ippsZero_32f(Ipp32f* pDst, int len) {
    if (!pDst)
        return ippStsNullPtrErr;
    if (len <= 0)
        return ippStsSizeErr;
    std::memset(pDst, 0, static_cast<size_t>(len) * sizeof(Ipp32f));
    return ippStsNoErr;
}
