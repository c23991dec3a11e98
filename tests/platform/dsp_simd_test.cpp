// The vector paths of the signal-processing kernels against the scalar path, on every path this
// processor runs: de-interleave and double-precision filtering bit for bit, single-precision
// filtering within the stated tolerance, and on each path the same output however a stream is
// cut into calls.
#include "dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Selects a path for the lifetime of the object, then goes back to the one in use before.
class PathGuard {
  public:
    explicit PathGuard(dsp::KernelPath p) : before(dsp::kernel_path()) {
        ok = dsp::set_kernel_path(p);
    }
    ~PathGuard() { dsp::set_kernel_path(before); }
    bool ok;

  private:
    dsp::KernelPath before;
};

std::vector<dsp::KernelPath> vector_paths() {
    std::vector<dsp::KernelPath> v;
    for (dsp::KernelPath p : {dsp::KernelPath::sse2, dsp::KernelPath::avx2})
        if (dsp::kernel_path_supported(p))
            v.push_back(p);
    return v;
}

std::string name(dsp::KernelPath p) {
    return dsp::kernel_path_name(p);
}

std::vector<Ipp32f> noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<Ipp32f> v(n);
    for (auto& x : v)
        x = value(rng);
    return v;
}

struct Config {
    int in, out, len;
    const char* what;
};

// The module's three rates (two stages; polyphase spans of 56, 28 and 16 taps, so both a
// multiple of 8 and one that leaves 4 taps over), then shapes that take other branches: two
// stages with an odd number of phases, single stages decimating by less than 2 (spans 80 and
// 108), interpolation, and a ratio whose phases do not all fit the table (nearest set chosen per
// output).
const Config CONFIGS[] = {
    {500000, 48000, 64, "48 kHz"},
    {500000, 96000, 64, "96 kHz"},
    {500000, 192000, 64, "192 kHz"},
    {500000, 44100, 64, "441 phases"},
    {500000, 400000, 64, "one stage, span 80"},
    {500000, 300000, 64, "one stage, span 108"},
    {8000, 48000, 64, "interpolating, span 64"},
    {8000, 44100, 20, "interpolating, span 20"},
    {500000, 48017, 64, "table of 1024 sets"},
};

// One filtering call on the given path from `time`; the outputs, and the count in *n.
std::vector<Ipp32f> filter_once(dsp::KernelPath path, const Config& c, IppHintAlgorithm hint,
                                const std::vector<Ipp32f>& src, int len, double time, int* n,
                                double* time_after) {
    PathGuard guard(path);
    EXPECT_TRUE(guard.ok);
    IppsResamplingPolyphaseFixed_32f* st = nullptr;
    EXPECT_EQ(ippsResamplePolyphaseFixedInitAlloc_32f(&st, c.in, c.out, c.len, 0.9f, 9.0f, hint),
              ippStsNoErr);
    std::vector<Ipp32f> dst(static_cast<size_t>(len) * c.out / c.in + 16, -7.0f);
    *n = -1;
    EXPECT_EQ(ippsResamplePolyphaseFixed_32f(st, src.data(), len, dst.data(), 0.98f, &time, n),
              ippStsNoErr);
    *time_after = time;
    EXPECT_EQ(dst[static_cast<size_t>(*n)], -7.0f) << "written beyond the count";
    dst.resize(static_cast<size_t>(*n));
    ippsResamplePolyphaseFixedFree_32f(st);
    return dst;
}

}  // namespace

TEST(DspPaths, SelectionFollowsTheProcessor) {
    EXPECT_TRUE(dsp::kernel_path_supported(dsp::KernelPath::scalar));
    dsp::KernelPath start = dsp::kernel_path();
    EXPECT_TRUE(dsp::kernel_path_supported(start));
#if defined(__x86_64__)
    EXPECT_TRUE(dsp::kernel_path_supported(dsp::KernelPath::sse2)) << "every x86-64 has SSE2";
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    EXPECT_EQ(dsp::kernel_path_supported(dsp::KernelPath::avx2), avx2);
    EXPECT_EQ(start, avx2 ? dsp::KernelPath::avx2 : dsp::KernelPath::sse2)
        << "the best path is the default";
#endif
    for (dsp::KernelPath p :
         {dsp::KernelPath::scalar, dsp::KernelPath::sse2, dsp::KernelPath::avx2}) {
        bool supported = dsp::kernel_path_supported(p);
        EXPECT_EQ(dsp::set_kernel_path(p), supported) << name(p);
        if (supported) {
            EXPECT_EQ(dsp::kernel_path(), p);
        }
    }
    dsp::set_kernel_path(start);
    EXPECT_EQ(dsp::kernel_path(), start);
}

// The de-interleave, and its count of samples at the rails (32767, -32767, -32768; not 32766 or
// -32766), the same on every path; past 65 528 frames the count goes on in a further sweep.
TEST(DspPaths, SplitIsExactOnEveryPath) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    const Ipp16s near_rails[] = {32767, -32767, -32768, 32766, -32766};
    for (int len : {1, 3, 4, 7, 8, 9, 15, 17, 4096, 4099, 70001}) {
        std::vector<Ipp16s> src(static_cast<size_t>(len) * 8);
        for (auto& s : src)
            s = static_cast<Ipp16s>(sample(rng));
        for (size_t i = 0; i < src.size(); i += 5)
            src[i] = near_rails[(i / 5) % 5];
        if (len > 65536)  // every frame of channel 3 at a rail: more than a 16-bit lane holds
            for (size_t i = 3; i < src.size(); i += 8)
                src[i] = -32768;
        src[0] = -32768;
        src[src.size() / 2] = 0;
        src[src.size() - 1] = 32767;
        uint32_t rails_want[8] = {};
        for (size_t i = 0; i < src.size(); ++i)
            rails_want[i % 8] += src[i] >= 32767 || src[i] <= -32767;
        // Destinations one float past an aligned start, with a sentinel after each.
        std::vector<std::vector<Ipp32f>> want(8), got(8);
        auto run = [&](std::vector<std::vector<Ipp32f>>& dst, uint32_t* rails) {
            std::vector<Ipp32f*> ptrs;
            for (auto& d : dst) {
                d.assign(static_cast<size_t>(len) + 2, 99.0f);
                ptrs.push_back(d.data() + 1);
            }
            dsp::split8_rails(src.data(), ptrs.data(), len, rails);
        };
        {
            PathGuard g(dsp::KernelPath::scalar);
            uint32_t rails[8] = {};
            run(want, rails);
            for (int k = 0; k < 8; ++k)
                ASSERT_EQ(rails[k], rails_want[k]) << "scalar len " << len << " channel " << k;
        }
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(want[k][static_cast<size_t>(i) + 1],
                          src[static_cast<size_t>(i) * 8 + k] / 32768.0f);
        for (dsp::KernelPath p : vector_paths()) {
            PathGuard g(p);
            uint32_t rails[8] = {1, 1, 1, 1, 1, 1, 1, 1};  // the count adds to what is there
            run(got, rails);
            for (int k = 0; k < 8; ++k) {
                // Bit for bit: a zero must come out as +0, as the scalar path's does.
                EXPECT_EQ(std::memcmp(got[k].data(), want[k].data(), want[k].size() * 4), 0)
                    << name(p) << " len " << len << " channel " << k;
                EXPECT_EQ(got[k][0], 99.0f);
                EXPECT_EQ(got[k][static_cast<size_t>(len) + 1], 99.0f);
                EXPECT_EQ(rails[k], rails_want[k] + 1)
                    << name(p) << " len " << len << " channel " << k;
            }
        }
    }
}

// Every output of a vector path against the scalar path's: the same count and position, the
// double-precision outputs identical, the single-precision ones within 1e-6 of full scale.
TEST(DspPaths, FilterMatchesScalarPath) {
    const auto paths = vector_paths();
    if (paths.empty())
        GTEST_SKIP() << "no vector path on this processor";
    for (const Config& c : CONFIGS) {
        const uint32_t span = dsp::resample_span(c.in, c.out, c.len, 0.9f);
        const int len = 3001;
        std::vector<Ipp32f> src = noise(static_cast<size_t>(len) + span + 8, 11u + span);
        uint64_t up = static_cast<uint64_t>(c.out);
        for (uint64_t a = c.in, b = c.out; b;) {  // up = out / gcd
            uint64_t r = a % b;
            a = b;
            b = r;
            if (!b)
                up = static_cast<uint64_t>(c.out) / a;
        }
        if (up > 1024)
            up = 1;  // positions off the table: start on a whole sample
        for (IppHintAlgorithm hint : {ippAlgHintFast, ippAlgHintAccurate}) {
            const double start = span / 2 + 1 + double(up / 3) / double(up);
            int n_ref = 0;
            double t_ref = 0;
            std::vector<Ipp32f> ref =
                filter_once(dsp::KernelPath::scalar, c, hint, src, len, start, &n_ref, &t_ref);
            ASSERT_GT(n_ref, 8) << c.what;
            for (dsp::KernelPath p : paths) {
                int n = 0;
                double t = 0;
                std::vector<Ipp32f> got = filter_once(p, c, hint, src, len, start, &n, &t);
                ASSERT_EQ(n, n_ref) << name(p) << ", " << c.what;
                EXPECT_EQ(t, t_ref) << name(p) << ", " << c.what;
                double worst = 0;
                for (int m = 0; m < n; ++m)
                    worst = std::max(worst, std::fabs(double(got[m]) - ref[m]));
                if (hint == ippAlgHintAccurate)
                    EXPECT_EQ(got, ref) << name(p) << " accurate, " << c.what;
                else
                    EXPECT_LE(worst, 1e-6) << name(p) << " fast, " << c.what;
            }
        }
    }
}

// A stream cut into calls of many sizes, the caller dropping consumed samples as CResample does,
// gives on each path exactly the outputs of one call over the whole stream: an output's value
// does not depend on which outputs it was computed together with.
TEST(DspPaths, OutputDoesNotDependOnHowCallsAreCut) {
    for (dsp::KernelPath p :
         {dsp::KernelPath::scalar, dsp::KernelPath::sse2, dsp::KernelPath::avx2}) {
        if (!dsp::kernel_path_supported(p))
            continue;
        PathGuard guard(p);
        for (int out_rate : {48000, 192000}) {
            for (IppHintAlgorithm hint : {ippAlgHintFast, ippAlgHintAccurate}) {
                IppsResamplingPolyphaseFixed_32f* st = nullptr;
                ASSERT_EQ(ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, out_rate, 64, 0.9f,
                                                                  9.0f, hint),
                          ippStsNoErr);
                const int64_t back = dsp::resample_state_span(st) / 2 + 1;
                const int total = 40000;
                std::vector<Ipp32f> stream = noise(static_cast<size_t>(total + 2 * back), 3);
                std::vector<Ipp32f> whole(total), cut(total);
                double t = double(back);
                int n_whole = 0;
                ippsResamplePolyphaseFixed_32f(st, stream.data(), total, whole.data(), 1.0f, &t,
                                               &n_whole);
                // Cut: the call sees the stream from `base`; positions are relative to it.
                int64_t base = 0;
                int n_cut = 0;
                t = double(back);
                const int sizes[] = {1, 7, 9, 125, 1000, 4096, 33, 2, 777};
                for (int k = 0; base + static_cast<int64_t>(t) - back < total; ++k) {
                    int len = sizes[k % 9];
                    int64_t left = total - (base + static_cast<int64_t>(t) - back);
                    if (len > left)
                        len = static_cast<int>(left);
                    int n = 0;
                    ippsResamplePolyphaseFixed_32f(st, stream.data() + base, len,
                                                   cut.data() + n_cut, 1.0f, &t, &n);
                    n_cut += n;
                    int64_t drop = static_cast<int64_t>(t) - back;
                    base += drop;
                    t -= double(drop);
                }
                ASSERT_EQ(n_cut, n_whole) << name(p) << " " << out_rate;
                EXPECT_EQ(cut, whole) << name(p) << " " << out_rate << " hint " << hint;
                ippsResamplePolyphaseFixedFree_32f(st);
            }
        }
    }
}
