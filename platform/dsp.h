// Signal-processing kernels, with the names and argument orders of the vendor library whose
// place they take: aligned allocation, de-interleave with scaling, copy/move/zero, and a
// fixed-ratio polyphase resampler.
//
// The resampler
// -------------
// The rate ratio is reduced to in/out = M/L. Output positions advance by exactly M/L input
// samples and lie on a grid of 1/L; positions are tracked as whole samples plus a phase, so no
// rounding error accumulates in the `time` that callers carry between calls.
//
// Decimating by 2 or more (in >= 2 out), the filter has two stages, designed so that every tone
// beyond (2 - rolloff) times the output Nyquist frequency aliases below -120 dBFS (with a margin
// of 1 to 2 dB), that the passband is flat within +-0.005 dB up to 8/9 rolloff (0.8) times the
// output Nyquist frequency, and that the aliases of all the images of one tone together stay
// far below that (a 5 kHz tone keeps an SNR above 140 dB at the module's rates):
//  1. a polyphase stage from in_rate to 2 out_rate, one exact coefficient set per phase, cut
//     from one equiripple prototype (Remez exchange; up x span1 - 1 taps, symmetric, so that
//     every set is symmetric too; the table's one remaining place holds 0): pass band to
//     8/9 rolloff x out/2, stop bands only where anything would fold back below
//     (2 - rolloff) x out/2 (within that distance of every multiple of 2 out_rate), their
//     weights rising with their number so that the sum of the aliases stays low, and between
//     them bands of a light weight, whose content the half-band stage removes. span1 is the
//     fewest taps (a multiple of 4) that keep the passband ripple within 4.5e-4 (and so the
//     first stop band at about 123 dB): 56, 28 and 16 for 500 kHz to 48, 96 and 192 kHz. The
//     first design of a prototype takes about a quarter of a second and is kept for the life of
//     the process (48 and 96 kHz share one). With more than 1024 phases, a prototype of more
//     than 2049 taps, or 2 out_rate = in_rate, a Kaiser-windowed sinc takes its place: its
//     transition from rolloff x out/2 to (1 + rolloff/2) x out, designed for 124 dB, each set
//     scaled to unity gain at DC;
//  2. a half-band filter from 2 out_rate to out_rate, equiripple (Remez exchange), its
//     transition from rolloff to 2 - rolloff times the output Nyquist frequency, with the fewest
//     coefficient pairs whose ripple stays 121.5 dB below full scale (38 pairs for rolloff 0.9,
//     whatever the rates).
// Both stages are evaluated from the output positions themselves: output m sits on the first
// stage's sample 2m, and the half-band filter takes the first stage's samples at odd offsets
// around it. An output therefore depends only on the input around its own position, never on
// where a call began. One output costs two first-stage samples and the half-band sum: 2 span1
// + pairs + 1 multiply-adds (151, 95 and 71 at 48, 96 and 192 kHz, against 668, 336 and 168
// of a single Kaiser stage of the same span rule), and spans 840, 420 and 212 input samples.
// `len` and `alpha` are not used by this design; a rolloff above 0.98 counts as 0.98.
//
// Otherwise (interpolating, or decimating by less than 2) one stage: a Kaiser-windowed sinc
// with cut-off rolloff * min(in_rate, out_rate) / 2, Kaiser beta alpha, every phase scaled to
// unity gain at DC, spanning `len` taps when interpolating and len * in_rate / out_rate input
// samples (rounded up to a multiple of 4) when decimating.
//
// dsp::resample_span() gives the number of input samples that one output depends on (its
// span); callers size their history from it.
//
// Hints:
//  - ippAlgHintFast: one coefficient set per phase when L <= 1024, otherwise 1024 sets and the
//    nearest one is used; sums are accumulated in single precision.
//  - ippAlgHintAccurate: one coefficient set per phase when L <= 1024, otherwise 1024 sets with
//    linear interpolation between neighbouring sets; sums are accumulated in double precision.
//  - ippAlgHintNone behaves as ippAlgHintFast.
// For the module's rates (L = 12, 24, 48; first stages 24, 48, 96 phases) both hints use the
// exact phases.
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

// Input samples that the filter spans for these rates, nominal length and roll-off (see above);
// 0 when the arguments are not valid.
uint32_t resample_span(int in_rate, int out_rate, int len, float rolloff);
// The stages of the resampler for these parameters: taps of its polyphase stage and coefficient
// pairs of its half-band stage (0: one stage); false when the arguments are not valid.
bool resample_stages(int in_rate, int out_rate, int len, float rolloff, uint32_t* span1,
                     uint32_t* pairs);
// The span a state was built with.
uint32_t resample_state_span(const IppsResamplingPolyphaseFixed_32f* state);
// dst[2 j] = re[j] * gain, dst[2 j + 1] = im[j] * gain for j < len: two real streams into one of
// I/Q pairs. Exact: the vector loop of builds with SSE2 gives the scalar loop's bits.
void interleave_scaled(const Ipp32f* re, const Ipp32f* im, Ipp32f* dst, int len, Ipp32f gain);
// As ippsSplitScaled_16s32f_D2L for eight channels (dst[k][i] = src[8 i + k] / 32768, i < len),
// and in the same sweep rails[k] += the samples of channel k at the 16-bit rails: 32767, -32767
// or -32768, where a converter or a saturating filter clips.
void split8_rails(const Ipp16s* src, Ipp32f* const* dst, int len, uint32_t rails[8]);

// Instruction-set paths of the filter and de-interleave loops. Results of the paths agree
// within rounding: in single precision (ippAlgHintFast) the outputs differ from the scalar
// path's by a different order of additions and fused multiply-adds, by at most 1e-6 for input
// within [-1, 1] (about 2^-20 of full scale); in double precision (ippAlgHintAccurate) and in
// the de-interleave they are identical. On each path an output does not depend on how the
// stream was cut into calls, and the x86-64 and i686 builds give the same bits.
enum class KernelPath { scalar = 0, sse2 = 1, avx2 = 2 };
// True when this build carries the path and the processor runs it (scalar always).
bool kernel_path_supported(KernelPath path);
// The path in use: the best supported one (unless a test hook chose another).
KernelPath kernel_path();
const char* kernel_path_name(KernelPath path);

// Blocks from ippsMalloc_8u/ippsMalloc_32f (resampler states included) not yet freed.
long live_allocations();
// Bytes asked for a block from ippsMalloc_8u/ippsMalloc_32f.
size_t allocated_bytes(const void* ptr);

// Every allocation of this layer, and every object that a caller allocates through
// allocation_fails(), counts as one attempt; true when the attempt is to fail (only ever with
// the test hooks).
#ifdef ZALVO_TEST_HOOKS
bool allocation_fails();

// Test hooks, built only with the ZALVO_TEST_HOOKS option (tests and benchmarks; a packaged
// module leaves them out):
// The k-th allocation attempt from now fails (0 = the next one); a negative k turns it off.
void fail_allocation_at(int k);
// Uses `path` for every call from now on; false, and no change, when it is not supported. Not
// while another thread is inside the layer.
bool set_kernel_path(KernelPath path);
#else
inline bool allocation_fails() {
    return false;
}
#endif

}  // namespace dsp
