// Signal-processing kernels, with the names and argument orders of the vendor library whose
// place they take: aligned allocation, de-interleave with scaling, copy/move/zero, and a
// fixed-ratio polyphase resampler.
//
// The resampler
// -------------
// A Kaiser-windowed sinc low-pass filter, evaluated in polyphase form. Its cut-off is
// rolloff * min(in_rate, out_rate) / 2 and its Kaiser beta is alpha; every phase is scaled to
// unity gain at DC, so the passband gain before `norm` is 1.
//
// The filter spans `len` taps when interpolating. When decimating it spans
// len * in_rate / out_rate input samples, rounded up to a multiple of 4, so that the filter keeps
// the same sharpness relative to the output band (668 samples for 64 taps at 500 kHz -> 48 kHz).
// dsp_resample_span() gives that span; callers size their history from it.
//
// The rate ratio is reduced to in/out = M/L. Output positions advance by exactly M/L input
// samples and lie on a grid of 1/L; positions are tracked as whole samples plus a phase, so no
// rounding error accumulates in the `time` that callers carry between calls.
//
// Hints:
//  - ippAlgHintFast: one coefficient set per phase when L <= 1024, otherwise 1024 sets and the
//    nearest one is used; sums are accumulated in single precision over four lanes.
//  - ippAlgHintAccurate: one coefficient set per phase when L <= 1024, otherwise 1024 sets with
//    linear interpolation between neighbouring sets; sums are accumulated in double precision.
//  - ippAlgHintNone behaves as ippAlgHintFast.
// For the module's rates (L = 12, 24, 48) both hints use the exact phases.
//
// Filtering contract of ippsResamplePolyphaseFixed_32f: with p = floor(*pTime) on entry, it
// produces the outputs at positions *pTime, *pTime + M/L, ... that are below p + len, each from
// the samples within half the span on either side of its position (so pSrc must hold samples
// from p - span/2 + 1 up to p + len + span/2 - 1), scales them by norm, writes them at pDst,
// advances *pTime to the next position and sets *pOutlen. A len of 0 or less produces nothing.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t Ipp8u;
typedef int16_t Ipp16s;
typedef float Ipp32f;
typedef double Ipp64f;
typedef int IppStatus;

enum {
    ippStsNoErr = 0,
    ippStsBadArgErr = -5,
    ippStsSizeErr = -6,
    ippStsNullPtrErr = -8,
    ippStsMemAllocErr = -9,
};

typedef enum { ippAlgHintNone = 0, ippAlgHintFast = 1, ippAlgHintAccurate = 2 } IppHintAlgorithm;

struct IppsResamplingPolyphaseFixed_32f;

// Allocation: at least 64-byte alignment; null for len <= 0 or when memory runs out.
Ipp8u* ippsMalloc_8u(int len);
Ipp32f* ippsMalloc_32f(int len);
void ippsFree(void* ptr);

// De-interleaves nChannels channels: pDst[k][i] = pSrc[i * nChannels + k] / 32768.
IppStatus ippsSplitScaled_16s32f_D2L(const Ipp16s* pSrc, Ipp32f** pDst, int nChannels, int chanLen);

IppStatus ippsCopy_32f(const Ipp32f* pSrc, Ipp32f* pDst, int len);
// As ippsCopy_32f, correct for overlapping ranges.
IppStatus ippsMove_32f(const Ipp32f* pSrc, Ipp32f* pDst, int len);
IppStatus ippsZero_32f(Ipp32f* pDst, int len);

IppStatus ippsResamplePolyphaseFixedInitAlloc_32f(IppsResamplingPolyphaseFixed_32f** pState,
                                                  int inRate, int outRate, int len, Ipp32f rollf,
                                                  Ipp32f alpha, IppHintAlgorithm hint);
IppStatus ippsResamplePolyphaseFixed_32f(const IppsResamplingPolyphaseFixed_32f* pState,
                                         const Ipp32f* pSrc, int len, Ipp32f* pDst, Ipp32f norm,
                                         Ipp64f* pTime, int* pOutlen);
IppStatus ippsResamplePolyphaseFixedFree_32f(IppsResamplingPolyphaseFixed_32f* pState);

namespace dsp {

// Input samples that the filter spans for these rates and nominal length (see above); 0 when
// the arguments are not valid.
uint32_t resample_span(int in_rate, int out_rate, int len);
// The span a state was built with.
uint32_t resample_state_span(const IppsResamplingPolyphaseFixed_32f* state);

// Instruction-set paths of the filter and de-interleave loops. Results of the paths agree
// within rounding: in single precision (ippAlgHintFast) the outputs differ from the scalar
// path's by a different order of additions and fused multiply-adds, by at most 1e-6 for input
// within [-1, 1] (about 2^-20 of full scale); in double precision (ippAlgHintAccurate) and in
// the de-interleave they are identical. On each path an output does not depend on how the
// stream was cut into calls.
enum class KernelPath { scalar = 0, sse2 = 1, avx2 = 2 };
// True when this build carries the path and the processor runs it (scalar always).
bool kernel_path_supported(KernelPath path);
// The path in use: the best supported one unless set_kernel_path chose another.
KernelPath kernel_path();
// Uses `path` for every call from now on; false, and no change, when it is not supported. Meant
// for tests and benchmarks: not while another thread is inside the layer.
bool set_kernel_path(KernelPath path);
const char* kernel_path_name(KernelPath path);

// Test seam for allocation failures. Every allocation of this layer, and every object that a
// caller allocates through allocation_fails(), counts as one attempt.
// The k-th attempt from now fails (0 = the next one); a negative k turns the seam off.
void fail_allocation_at(int k);
// Counts one attempt; true when it is to fail.
bool allocation_fails();
// Blocks from ippsMalloc_8u/ippsMalloc_32f (resampler states included) not yet freed.
long live_allocations();
// Bytes asked for a block from ippsMalloc_8u/ippsMalloc_32f.
size_t allocated_bytes(const void* ptr);

}  // namespace dsp
