// Signal-processing kernels: allocation, de-interleave, copy/move/zero, the filtering call's
// contract and its position bookkeeping.
#include "dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

TEST(DspAlloc, AlignedCountedAndInjectable) {
    long base = dsp::live_allocations();
    Ipp8u* b = ippsMalloc_8u(3);
    Ipp32f* f = ippsMalloc_32f(1001);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f) % 32, 0u);
    EXPECT_EQ(dsp::allocated_bytes(b), 3u);
    EXPECT_EQ(dsp::allocated_bytes(f), 4004u);
    std::memset(f, 0xAB, 4004);  // the whole block is usable
    EXPECT_EQ(dsp::live_allocations(), base + 2);
    ippsFree(b);
    ippsFree(f);
    ippsFree(nullptr);
    EXPECT_EQ(dsp::live_allocations(), base);

    EXPECT_EQ(ippsMalloc_32f(0), nullptr);
    EXPECT_EQ(ippsMalloc_8u(-4), nullptr);

    dsp::fail_allocation_at(1);
    Ipp32f* first = ippsMalloc_32f(8);
    Ipp32f* second = ippsMalloc_32f(8);
    Ipp32f* third = ippsMalloc_32f(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr) << "the second attempt from now fails";
    EXPECT_NE(third, nullptr) << "only that one";
    ippsFree(first);
    ippsFree(third);
    dsp::fail_allocation_at(-1);
    EXPECT_FALSE(dsp::allocation_fails());
    EXPECT_EQ(dsp::live_allocations(), base);
}

TEST(DspSplit, StreamKGetsEveryNthSampleScaled) {
    for (int channels : {8, 3}) {
        const int len = 37;
        std::vector<Ipp16s> src(static_cast<size_t>(channels) * len);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<Ipp16s>((i * 2654435761u) >> 16);
        src[0] = -32768;
        src[1] = 32767;
        src[2] = 16384;
        std::vector<std::vector<Ipp32f>> dst(channels, std::vector<Ipp32f>(len + 1, 99.0f));
        std::vector<Ipp32f*> ptrs;
        for (auto& d : dst)
            ptrs.push_back(d.data());
        ASSERT_EQ(ippsSplitScaled_16s32f_D2L(src.data(), ptrs.data(), channels, len), ippStsNoErr);
        for (int k = 0; k < channels; ++k) {
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(dst[k][i], src[i * channels + k] / 32768.0f) << channels << "/" << k;
            EXPECT_EQ(dst[k][len], 99.0f) << "nothing written past chanLen";
        }
        EXPECT_EQ(dst[0][0], -1.0f);
        EXPECT_EQ(dst[1][0], 32767.0f / 32768.0f);
        EXPECT_EQ(dst[2][0], 0.5f);
    }
    EXPECT_NE(ippsSplitScaled_16s32f_D2L(nullptr, nullptr, 8, 4), ippStsNoErr);
}

TEST(DspCopy, MoveHandlesOverlapBothWays) {
    // Every distance below and beyond a vector step, both ways, over lengths with and without a
    // tail.
    for (int len : {7, 8, 19, 64}) {
        for (int d = 1; d <= 12; ++d) {
            for (bool up : {false, true}) {
                std::vector<Ipp32f> b(static_cast<size_t>(len + d));
                std::iota(b.begin(), b.end(), 0.0f);
                Ipp32f* src = b.data() + (up ? 0 : d);
                Ipp32f* dst = b.data() + (up ? d : 0);
                ASSERT_EQ(ippsMove_32f(src, dst, len), ippStsNoErr);
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(dst[i], float(i + (up ? 0 : d))) << len << " " << d << " " << up;
            }
        }
    }
    std::vector<Ipp32f> v(20);
    std::iota(v.begin(), v.end(), 0.0f);
    ASSERT_EQ(ippsMove_32f(v.data(), v.data() + 5, 10), ippStsNoErr);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(v[5 + i], float(i));
    std::iota(v.begin(), v.end(), 0.0f);
    ASSERT_EQ(ippsMove_32f(v.data() + 5, v.data(), 10), ippStsNoErr);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(v[i], float(5 + i));
    std::vector<Ipp32f> w(20, 1.0f);
    ASSERT_EQ(ippsCopy_32f(v.data(), w.data() + 2, 4), ippStsNoErr);
    EXPECT_EQ(w[1], 1.0f);
    EXPECT_EQ(w[2], 5.0f);
    EXPECT_EQ(w[5], 8.0f);
    EXPECT_EQ(w[6], 1.0f);
    ASSERT_EQ(ippsZero_32f(w.data() + 1, 3), ippStsNoErr);
    EXPECT_EQ(w[0], 1.0f);
    EXPECT_EQ(w[1], 0.0f);
    EXPECT_EQ(w[3], 0.0f);
    EXPECT_EQ(w[4], 7.0f);
}

// Every length up to past a vector's worth (its tail), and the pipeline's longest run: pairs in
// order, scaled bit for bit, nothing written past the end.
TEST(DspCopy, InterleaveScaledPairsEveryLength) {
    std::vector<Ipp32f> re(1600), im(1600);
    for (size_t j = 0; j < re.size(); ++j) {
        re[j] = std::ldexp(static_cast<float>(j) - 700.5f, -12);
        im[j] = -re[j] / 3.0f;
    }
    for (int len : {0, 1, 2, 3, 4, 5, 7, 8, 9, 1573}) {
        std::vector<Ipp32f> dst(2 * static_cast<size_t>(len) + 1, 99.0f);
        dsp::interleave_scaled(re.data(), im.data(), dst.data(), len, 2147483648.0f);
        for (int j = 0; j < len; ++j) {
            const float want[2] = {re[j] * 2147483648.0f, im[j] * 2147483648.0f};
            ASSERT_EQ(std::memcmp(&dst[2 * j], want, sizeof want), 0) << len << " " << j;
        }
        EXPECT_EQ(dst.back(), 99.0f) << len;
    }
}

TEST(DspResampler, RefusesBadParameters) {
    long base = dsp::live_allocations();
    IppsResamplingPolyphaseFixed_32f* st = reinterpret_cast<IppsResamplingPolyphaseFixed_32f*>(1);
    EXPECT_NE(ippsResamplePolyphaseFixedInitAlloc_32f(&st, 0, 48000, 64, 0.9f, 9, ippAlgHintFast),
              0);
    EXPECT_EQ(st, nullptr);
    EXPECT_NE(
        ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, 48000, 0, 0.9f, 9, ippAlgHintFast), 0);
    EXPECT_NE(
        ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, 48000, 64, 1.5f, 9, ippAlgHintFast),
        0);
    EXPECT_NE(
        ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, 48000, 64, 0.9f, 0, ippAlgHintFast),
        0);
    EXPECT_NE(ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, 48000, 64, 0.9f, 9,
                                                      static_cast<IppHintAlgorithm>(7)),
              0);
    EXPECT_NE(ippsResamplePolyphaseFixedInitAlloc_32f(nullptr, 500000, 48000, 64, 0.9f, 9,
                                                      ippAlgHintFast),
              0);
    EXPECT_EQ(dsp::live_allocations(), base);
}

// An impulse at sample j0 reaches exactly the outputs within half the span of it, and the call
// produces the positions time, time + M/L, ... below floor(time) + len and no others.
TEST(DspResampler, FilteringCallContract) {
    struct Case {
        int out;
        uint32_t span;
        int up, down;
    } cases[] = {{48000, 840, 12, 125}, {96000, 420, 24, 125}, {192000, 212, 48, 125}};
    for (const Case& c : cases) {
        for (IppHintAlgorithm hint : {ippAlgHintFast, ippAlgHintAccurate}) {
            IppsResamplingPolyphaseFixed_32f* st = nullptr;
            ASSERT_EQ(
                ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, c.out, 64, 0.9f, 9.0f, hint),
                0);
            ASSERT_EQ(dsp::resample_state_span(st), c.span);
            const int half = static_cast<int>(c.span / 2);
            const int len = 3000, j0 = 1700;
            std::vector<Ipp32f> src(static_cast<size_t>(len + 2 * half + 10), 0.0f);
            src[j0] = 1.0f;
            std::vector<Ipp32f> dst(len, -7.0f);
            double time = half + 1 + 3.0 / c.up;  // on the grid, at phase 3
            const double start = time;
            int n = -1;
            ASSERT_EQ(
                ippsResamplePolyphaseFixed_32f(st, src.data(), len, dst.data(), 1.0f, &time, &n),
                0);
            // Positions start + m * down / up for m < n, all below floor(start) + len.
            int expect_n = 0;
            while (start + double(expect_n) * c.down / c.up < std::floor(start) + len)
                ++expect_n;
            EXPECT_EQ(n, expect_n);
            EXPECT_NEAR(time, start + double(n) * c.down / c.up, 1e-9);
            EXPECT_EQ(dst[n], -7.0f) << "nothing written beyond the count";
            int touched = 0;
            for (int m = 0; m < n; ++m) {
                double pos = start + double(m) * c.down / c.up;
                if (std::fabs(pos - j0) > half)
                    ASSERT_EQ(dst[m], 0.0f) << "output at " << pos << " sees the impulse";
                else if (dst[m] != 0.0f)
                    ++touched;
            }
            EXPECT_GT(touched, 0);
            int zero_n = -1;
            double t2 = time;
            EXPECT_NE(
                ippsResamplePolyphaseFixed_32f(st, src.data(), 0, dst.data(), 1.0f, &t2, &zero_n),
                0);
            EXPECT_EQ(zero_n, 0);
            EXPECT_EQ(t2, time) << "a count of 0 leaves the position alone";
            ippsResamplePolyphaseFixedFree_32f(st);
        }
    }
}

// A long run of calls, the caller dropping whole samples between them as CResample does: the
// position stays exactly on the 1/L grid, with no drift.
TEST(DspResampler, PositionDoesNotDrift) {
    IppsResamplingPolyphaseFixed_32f* st = nullptr;
    ASSERT_EQ(
        ippsResamplePolyphaseFixedInitAlloc_32f(&st, 500000, 48000, 64, 0.9f, 9.0f, ippAlgHintFast),
        0);
    const uint32_t back = dsp::resample_state_span(st) / 2 + 1;
    std::vector<Ipp32f> src(2000 + 2 * back, 0.25f), dst(200);
    double time = back;
    uint64_t outputs = 0, dropped = 0;
    for (int call = 0; call < 20000; ++call) {
        int n = 0;
        ippsResamplePolyphaseFixed_32f(st, src.data(), 1 + call % 997, dst.data(), 1.0f, &time, &n);
        outputs += n;
        uint32_t p = static_cast<uint32_t>(time);
        dropped += p - back;
        time -= p - back;
    }
    // Exact position of the next output: outputs * 125 / 12 past the start.
    uint64_t num = outputs * 125;
    double exact_frac = double(num % 12) / 12.0;
    EXPECT_NEAR(time - std::floor(time), exact_frac, 1e-12);
    EXPECT_EQ(dropped + static_cast<uint64_t>(std::floor(time)) - back, num / 12);
    ippsResamplePolyphaseFixedFree_32f(st);
}
