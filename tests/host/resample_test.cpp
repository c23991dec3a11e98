// CResample: bookkeeping of history, position and buffer, and the quality of its output on real
// signals at the module's three rates.
#include "resample.h"
#include "signal_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

using testsig::db;
using testsig::fit_tone;
using testsig::level_dbfs;
using testsig::tone;

namespace {

constexpr uint32_t IN_RATE = 500000;
const uint32_t OUT_RATES[] = {48000, 96000, 192000};

// Runs the whole signal through r in chunks of the given size; with caller_writes, each chunk
// that fits is written at InputSpace and filtered there (a chunk that does not fit must be
// refused, without a change to the object, and goes through Process).
std::vector<float> run(CResample& r, const std::vector<float>& in, size_t chunk,
                       bool caller_writes = false) {
    std::vector<float> out;
    std::vector<float> part;
    for (size_t pos = 0; pos < in.size(); pos += chunk) {
        uint32_t len = static_cast<uint32_t>(std::min(chunk, in.size() - pos));
        part.assign(uint64_t(len) * r.out_rate / r.in_rate + 4, -1e30f);
        int32_t produced = -1;
        float* space = caller_writes ? r.InputSpace(len) : nullptr;
        EXPECT_EQ(space != nullptr, caller_writes && len <= r.chunk_capacity - r.fill);
        if (space) {
            std::copy(in.begin() + pos, in.begin() + pos + len, space);
            EXPECT_TRUE(r.Filter(len, part.data(), &produced));
        } else {
            if (caller_writes) {
                const uint32_t fill = r.fill;
                EXPECT_FALSE(r.Filter(len, part.data(), &produced));
                EXPECT_EQ(r.fill, fill);
            }
            EXPECT_TRUE(r.Process(in.data() + pos, len, part.data(), &produced));
        }
        out.insert(out.end(), part.begin(), part.begin() + produced);
    }
    return out;
}

std::vector<float> resample(const std::vector<float>& in, uint32_t out_rate, int fast = 1,
                            size_t chunk = 4096, bool caller_writes = false) {
    CResample r;
    r.SetParams(fast, 64, 0.9f, 9.0f, 0.98f);
    EXPECT_TRUE(r.Init(IN_RATE, out_rate));
    return run(r, in, chunk, caller_writes);
}

// Outputs near the start see the zeros before the stream; they are left out of measurements.
size_t settle(uint32_t out_rate) {
    return static_cast<size_t>(dsp::resample_span(IN_RATE, out_rate, 64, 0.9f) / 2.0 * out_rate /
                               IN_RATE) +
           2;
}

}  // namespace

// ---- parameters and bookkeeping -----------------------------------------------------------

TEST(ResampleParams, DefaultsHoldNoMemory) {
    long before = dsp::live_allocations();
    CResample r;
    EXPECT_EQ(r.fast, 1);
    EXPECT_EQ(r.filter_length, 64u);
    EXPECT_EQ(r.history, 33u);
    EXPECT_EQ(r.rolloff, 0.9f);
    EXPECT_EQ(r.alpha, 9.0f);
    EXPECT_EQ(r.norm, 0.98f);
    EXPECT_EQ(r.in_rate, 8000u);
    EXPECT_EQ(r.out_rate, 8000u);
    EXPECT_EQ(r.chunk_capacity, 0u);
    EXPECT_EQ(r.buffer, nullptr);
    EXPECT_EQ(r.state, nullptr);
    EXPECT_EQ(r.time, 33.0);
    EXPECT_EQ(r.fill, 33u);
    EXPECT_EQ(dsp::live_allocations(), before);
    float in[4] = {}, out[16];
    int32_t produced = 77;
    EXPECT_FALSE(r.Process(in, 4, out, &produced)) << "Process before Init";
    EXPECT_EQ(r.InputSpace(4), nullptr) << "InputSpace before Init";
    EXPECT_FALSE(r.Filter(4, out, &produced)) << "Filter before Init";
    EXPECT_EQ(produced, 77);
}

TEST(ResampleParams, TapsRoundUpToMultipleOfFour) {
    CResample r;
    for (uint32_t taps : {61u, 62u, 63u, 64u}) {
        r.SetParams(0, taps, 0.8f, 7.0f, 1.0f);
        EXPECT_EQ(r.filter_length, 64u) << taps;
        EXPECT_EQ(r.history, 33u) << taps;
    }
    r.SetParams(1, 65, 0.9f, 9.0f, 0.98f);
    EXPECT_EQ(r.filter_length, 68u);
    EXPECT_EQ(r.history, 35u);
    EXPECT_EQ(r.buffer, nullptr) << "SetParams allocates nothing";
    EXPECT_EQ(r.time, 33.0) << "SetParams leaves the position alone";
}

TEST(ResampleInit, SpanScalesWithDecimationAndSizesTheBuffer) {
    struct Case {
        uint32_t out;
        uint32_t span;
    } cases[] = {{48000, 840}, {96000, 420}, {192000, 212}};
    for (const Case& c : cases) {
        CResample r;
        ASSERT_TRUE(r.Init(IN_RATE, c.out));
        EXPECT_EQ(dsp::resample_span(IN_RATE, c.out, 64, 0.9f), c.span);
        EXPECT_EQ(r.filter_length, 64u);
        EXPECT_EQ(r.history, c.span / 2 + 1);
        EXPECT_EQ(r.chunk_capacity, 50000u);
        EXPECT_EQ(dsp::allocated_bytes(r.buffer), (50000 + c.span / 2 + 1 + 2) * sizeof(float));
        EXPECT_EQ(r.time, double(r.history));
        EXPECT_EQ(r.fill, r.history);
    }
    CResample up;
    ASSERT_TRUE(up.Init(8000, 48000)) << "interpolating keeps the nominal length";
    EXPECT_EQ(up.history, 33u);
    EXPECT_EQ(dsp::allocated_bytes(up.buffer), (800 + 33 + 2) * sizeof(float));
}

TEST(ResampleInit, SecondInitAndFreeReleaseEverything) {
    long base = dsp::live_allocations();
    {
        CResample r;
        ASSERT_TRUE(r.Init(IN_RATE, 48000));
        long one = dsp::live_allocations();
        EXPECT_EQ(one - base, 2) << "buffer and filter state";
        ASSERT_TRUE(r.Init(IN_RATE, 96000));
        EXPECT_EQ(dsp::live_allocations(), one) << "the first Init's memory is released";
        r.Free();
        EXPECT_EQ(dsp::live_allocations(), base);
        EXPECT_EQ(r.buffer, nullptr);
        EXPECT_EQ(r.state, nullptr);
        EXPECT_EQ(r.chunk_capacity, 0u);
        r.Free();  // nothing left to free
        EXPECT_EQ(dsp::live_allocations(), base);
        ASSERT_TRUE(r.Init(IN_RATE, 192000)) << "usable again after Free";
    }
    EXPECT_EQ(dsp::live_allocations(), base) << "the destructor frees";
}

TEST(ResampleInit, FailuresLeaveNoMemory) {
    long base = dsp::live_allocations();
    CResample r;
    dsp::fail_allocation_at(0);  // the work buffer
    EXPECT_FALSE(r.Init(IN_RATE, 48000));
    EXPECT_EQ(r.buffer, nullptr);
    EXPECT_EQ(dsp::live_allocations(), base);
    for (int k = 1; k <= 2; ++k) {  // the filter state and its table
        dsp::fail_allocation_at(k);
        EXPECT_FALSE(r.Init(IN_RATE, 48000)) << k;
        EXPECT_EQ(r.buffer, nullptr) << k;
        EXPECT_EQ(r.state, nullptr) << k;
        EXPECT_EQ(dsp::live_allocations(), base) << k;
    }
    dsp::fail_allocation_at(-1);

    r.SetParams(1, 64, 0.0f, 9.0f, 0.98f);  // no passband: refused by the filter
    EXPECT_FALSE(r.Init(IN_RATE, 48000));
    EXPECT_EQ(dsp::live_allocations(), base);
    r.SetParams(1, 64, 0.9f, 9.0f, 0.98f);
    EXPECT_FALSE(r.Init(0, 48000));
    EXPECT_FALSE(r.Init(8000, 100)) << "history would not fit beside a chunk";
    EXPECT_EQ(dsp::live_allocations(), base);
}

TEST(ResampleProcess, EmptyAndNullCallsChangeNothing) {
    CResample r;
    ASSERT_TRUE(r.Init(IN_RATE, 96000));
    std::vector<float> in = tone(3000, IN_RATE, 1000, 0.5), out(200);
    int32_t produced = 0;
    ASSERT_TRUE(r.Process(in.data(), 1000, out.data(), &produced));
    std::vector<float> snapshot(r.buffer, r.buffer + r.fill);
    double time = r.time;
    uint32_t fill = r.fill;

    produced = 99;
    EXPECT_TRUE(r.Process(in.data(), 0, out.data(), &produced));
    EXPECT_EQ(produced, 0);
    EXPECT_EQ(r.time, time);
    EXPECT_EQ(r.fill, fill);
    EXPECT_EQ(std::vector<float>(r.buffer, r.buffer + r.fill), snapshot);

    produced = 99;
    EXPECT_FALSE(r.Process(in.data(), 10, nullptr, &produced));
    EXPECT_EQ(produced, 99);
    EXPECT_FALSE(r.Process(nullptr, 10, out.data(), &produced));
    EXPECT_EQ(produced, 99);
    EXPECT_EQ(r.time, time);
    EXPECT_EQ(r.fill, fill);

    r.SetParams(1, 128, 0.9f, 9.0f, 0.98f);  // new history without Init
    EXPECT_FALSE(r.Process(in.data(), 10, out.data(), &produced));
}

TEST(ResampleProcess, ResetRestartsTheStream) {
    CResample r;
    ASSERT_TRUE(r.Init(IN_RATE, 48000));
    std::vector<float> in = tone(5000, IN_RATE, 20000, 0.7);
    std::vector<float> first = run(r, in, 4096);
    EXPECT_NE(r.time, double(r.history));
    r.Reset();
    EXPECT_EQ(r.time, double(r.history));
    EXPECT_EQ(r.fill, r.history);
    for (uint32_t j = 0; j < r.history; ++j)
        ASSERT_EQ(r.buffer[j], 0.0f) << j;
    EXPECT_EQ(run(r, in, 4096), first) << "a reset stream repeats itself exactly";
}

// After every step, whatever the chunk sizes: history <= time < history + 1, fill >= history,
// and the buffer holds exactly the stream's samples before fill (zeros before the start).
TEST(ResampleProcess, InvariantsAndLookBackAfterEveryStep) {
    for (uint32_t out_rate : OUT_RATES) {
        CResample r;
        ASSERT_TRUE(r.Init(IN_RATE, out_rate));
        std::mt19937 rng(out_rate);
        std::uniform_real_distribution<float> value(-1, 1);
        std::vector<float> padded(r.history, 0.0f);  // the stream as the buffer sees it
        std::vector<float> out(60000);
        uint64_t fed = 0, total_out = 0;
        const size_t sizes[] = {1, 7, 4096, 60000, 3, 333, 50000, 12345, 2};
        for (int round = 0; round < 30; ++round) {
            size_t len = sizes[(round * 7 + round / 3) % 9];
            std::vector<float> in(len);
            for (float& v : in)
                v = value(rng);
            padded.insert(padded.end(), in.begin(), in.end());
            int32_t produced = -1;
            ASSERT_TRUE(r.Process(in.data(), static_cast<uint32_t>(len), out.data(), &produced));
            fed += len;
            total_out += produced;
            ASSERT_LE(double(r.history), r.time);
            ASSERT_LT(r.time, double(r.history) + 1.0);
            ASSERT_GE(r.fill, r.history);
            ASSERT_LT(r.fill, r.chunk_capacity);
            size_t base = r.history + fed - r.fill;
            for (uint32_t j = 0; j < r.fill; ++j)
                ASSERT_EQ(r.buffer[j], padded[base + j]) << out_rate << " round " << round;
            // Outputs so far: every position m * in/out below the last one the samples allow.
            double next = double(total_out) * IN_RATE / out_rate;
            ASSERT_NEAR(r.time - r.history, next - double(base), 1e-6);
        }
    }
}

// ---- quality on real signals --------------------------------------------------------------

TEST(ResampleQuality, FiveKilohertzToneKeepsFrequencyAmplitudeAndPhase) {
    for (int fast : {1, 0}) {
        for (uint32_t out_rate : OUT_RATES) {
            const double amp = 0.5;
            std::vector<float> out = resample(tone(5000, IN_RATE, 100000, amp), out_rate, fast);
            ASSERT_GT(out.size(), 9000u * out_rate / 48000);
            size_t first = settle(out_rate);
            testsig::Fit f = fit_tone(out, first, 5000, out_rate);
            double error_db = db(f.amplitude / (amp * 0.98));
            // Tone power against the power of everything else.
            double snr_db = db(f.amplitude / (std::sqrt(2.0) * f.residual));
            std::printf("5 kHz tone, %u Hz, %s: amplitude error %.4f dB, phase %.2e rad, "
                        "SNR %.1f dB\n",
                        out_rate, fast ? "fast" : "accurate", error_db, f.phase, snr_db);
            EXPECT_LT(std::fabs(error_db), 0.01) << out_rate;
            EXPECT_LT(std::fabs(f.phase), 1e-6) << "output m lies at input time m/out_rate";
            EXPECT_GE(snr_db, 120.0) << "nothing but the tone comes out";
        }
    }
}

TEST(ResampleQuality, PassbandFlatToEightTenthsOfNyquist) {
    for (uint32_t out_rate : OUT_RATES) {
        double edge = 0.8 * out_rate / 2;
        double worst = 0;
        for (int step = 0; step <= 40; ++step) {
            double f = 100 + (edge - 100) * step / 40.0;
            std::vector<float> out = resample(tone(f, IN_RATE, 40000, 0.9), out_rate);
            double gain_db =
                db(fit_tone(out, settle(out_rate), f, out_rate).amplitude / 0.9 / 0.98);
            worst = std::max(worst, std::fabs(gain_db));
            EXPECT_LT(std::fabs(gain_db), 0.01) << out_rate << " Hz output, tone " << f;
        }
        std::printf("passband to %.0f Hz at %u Hz: worst deviation %.4f dB\n", edge, out_rate,
                    worst);
    }
}

// Every tone from 1.1 x the output Nyquist frequency up to the input's: densely near the edge of
// the stop band, where the filters' ripples peak, then across the rest.
TEST(ResampleQuality, TonesBeyondTheBandAliasBelowMinus120dBFS) {
    for (int fast : {1, 0}) {
        for (uint32_t out_rate : OUT_RATES) {
            double start = 1.1 * out_rate / 2;
            double worst = -300, worst_f = 0;
            const int edge = fast ? 24 : 6, steps = fast ? 90 : 20;
            for (int step = -edge; step <= steps; ++step) {
                // Uneven spacing so the tones do not share one alias pattern.
                double f = start + (250000 - start) * (step + 0.37 * (step % 3)) / (steps + 1);
                if (step < 0)
                    f = start + 0.002 * out_rate * (step + edge);
                if (step == steps)
                    f = 249999;
                std::vector<float> out = resample(tone(f, IN_RATE, 30000, 1.0), out_rate, fast);
                double level = level_dbfs(out, settle(out_rate));
                if (level > worst) {
                    worst = level;
                    worst_f = f;
                }
                EXPECT_LT(level, -120.0) << out_rate << " Hz output, tone " << f;
            }
            std::printf("aliases at %u Hz (%s): worst %.1f dBFS (tone at %.0f Hz)\n", out_rate,
                        fast ? "fast" : "accurate", worst, worst_f);
        }
    }
}

// The design is not tuned to the module's rates: decimations with few and with many phases
// (500 kHz to 16, 40 and 200 kHz: 8, 4 and 4 phases, 125, 25 and 5 input samples per period)
// meet the same targets, a tone in the band and tones beyond it.
TEST(ResampleQuality, OtherDecimatingRatesMeetTheSameTargets) {
    for (uint32_t out_rate : {16000u, 40000u, 200000u}) {
        const double nyquist = out_rate / 2.0, f = 0.3 * nyquist;
        std::vector<float> out = resample(tone(f, IN_RATE, 60000, 0.5), out_rate, 0);
        testsig::Fit fit = fit_tone(out, settle(out_rate), f, out_rate);
        EXPECT_LT(std::fabs(db(fit.amplitude / (0.5 * 0.98))), 0.01) << out_rate;
        const double snr_db = db(fit.amplitude / (std::sqrt(2.0) * fit.residual));
        EXPECT_GE(snr_db, 120.0) << out_rate;
        double worst = -300;
        for (double k : {1.1, 1.13, 1.5, 2.9, 3.7, 7.3}) {
            if (k * nyquist >= IN_RATE / 2.0)
                continue;
            double level = level_dbfs(resample(tone(k * nyquist, IN_RATE, 30000, 1.0), out_rate, 0),
                                      settle(out_rate));
            worst = std::max(worst, level);
            EXPECT_LT(level, -120.0) << out_rate << " Hz output, tone " << k * nyquist;
        }
        std::printf("%u Hz: SNR %.1f dB, worst alias %.1f dBFS\n", out_rate, snr_db, worst);
    }
}

TEST(ResampleQuality, ChunkingDoesNotChangeTheOutput) {
    for (uint32_t out_rate : OUT_RATES) {
        std::vector<float> in = tone(7300, IN_RATE, 130000, 0.8, 0.3);
        std::vector<float> whole = resample(in, out_rate, 1, in.size());
        // Written by the caller at InputSpace or copied in by Process: the same output.
        for (bool caller_writes : {false, true}) {
            for (size_t chunk : {size_t(1), size_t(7), size_t(4096), size_t(60000)}) {
                std::vector<float> out = resample(in, out_rate, 1, chunk, caller_writes);
                ASSERT_EQ(out.size(), whole.size()) << out_rate << " chunk " << chunk;
                EXPECT_EQ(out, whole) << out_rate << " chunk " << chunk << " " << caller_writes;
            }
        }
        // And the output is the tone itself, without a seam anywhere.
        size_t first = settle(out_rate);
        double worst = 0;
        for (size_t m = first; m < whole.size(); ++m) {
            double ideal = 0.8 * 0.98 * std::sin(2 * testsig::PI * 7300 * m / out_rate + 0.3);
            worst = std::max(worst, std::fabs(whole[m] - ideal));
        }
        EXPECT_LT(worst, 1e-3) << out_rate;
    }
}
