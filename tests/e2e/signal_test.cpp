// The signal end to end: carriers of the simulated board's scene in the blocks that reach the
// host, at the offset that each receiver's tuning gives them and at the level that the board's
// scale, the codec gain and the module's output gain predict; the block rate; retuning while
// the stream runs.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// Levels are compared with the prediction within this many dB: the resampler's pass band is flat
// to a small fraction of a dB where the carriers sit, so half a dB allows for its ripple and for
// the window's scalloping, and still catches a lost factor of the chain (sqrt 2, the codec
// gain, the 2^31 output gain).
constexpr double LEVEL_TOLERANCE_DB = 0.5;
// A carrier that the tuning or the resampler puts out of band must be this far below its level.
constexpr double REJECTION_DB = 60.0;

const double INITIAL_TUNING = 3600000.0;

// Offset from a receiver's tuning, as the board's down-converter really runs.
double offset_of(double carrier_hz, double tuned_hz) {
    return carrier_hz + ddc_actual_hz(-tuned_hz);
}

// Where a frequency lands after sampling at rate.
double folded(double hz, double rate) {
    double f = std::fmod(hz + rate / 2, rate);
    if (f < 0)
        f += rate;
    return f - rate / 2;
}

class SignalTest : public ::testing::Test {
  protected:
    void SetUp() override { usbsim::World::instance().reset(); }
    void TearDown() override {
        module().stop_rx();
        usbsim::World::instance().reset();
    }
    usbsim::BoardId board(const std::vector<TestCarrier>& carriers) {
        usbsim::BoardConfig c = board_config(true);
        c.scene = scene_of(carriers);
        return attach_board(c);
    }
};

class SignalAtRate : public SignalTest, public ::testing::WithParamInterface<int> {};

}  // namespace

// Five carriers: two in band at every rate, one in band from 96 kHz and one only at 192 kHz,
// and one near 7 MHz that the 3.6 MHz tuning leaves out. All on the input every receiver reads.
TEST_P(SignalAtRate, CarriersAtTheirOffsetsAndLevelsOnEveryReceiver) {
    const int rate_index = GetParam();
    const double rate = rate_of(rate_index);
    const std::vector<TestCarrier> carriers = {
        {3610000, -30}, {3585000, -40}, {3640000, -35}, {3670000, -45}, {7055000, -35}};
    board(carriers);

    const size_t skip = 12, analyse = 16;
    Host h(rate_index, skip + analyse);
    h.start();
    ASSERT_TRUE(h.errors().empty()) << h.errors()[0];
    ASSERT_TRUE(h.wait_blocks(int(skip + analyse)));
    h.stop();
    ASSERT_EQ(h.kept_blocks(), skip + analyse);
    EXPECT_EQ(h.dirty_spare_blocks.load(), 0) << "buffers 4 to 7 hold only zeros";
    EXPECT_FALSE(h.data_on_host_thread.load());

    const size_t L = size_t(h.block_length);
    for (int r = 0; r < RECEIVERS; ++r) {
        std::vector<std::complex<float>> x = h.kept(r);
        ASSERT_EQ(x.size(), (skip + analyse) * L);
        for (const TestCarrier& c : carriers) {
            const double offset = offset_of(c.freq_hz, INITIAL_TUNING);
            const double want = expected_amplitude(c.level_dbfs);
            if (std::fabs(offset) < 0.45 * rate) {
                double got = tone_amplitude(x, skip * L, analyse * L, offset, rate);
                EXPECT_NEAR(db(got / want), 0.0, LEVEL_TOLERANCE_DB)
                    << "receiver " << r << ", carrier " << c.freq_hz << " at " << offset << " Hz";
            } else {
                double alias = folded(offset, rate);
                double got = tone_amplitude(x, skip * L, analyse * L, alias, rate);
                EXPECT_LT(db(got / want), -REJECTION_DB)
                    << "receiver " << r << ", carrier " << c.freq_hz << " out of band, seen at "
                    << alias << " Hz";
            }
        }
        // Nothing where no carrier is: not the mirror image of the strongest one either.
        const double strongest = offset_of(3610000, INITIAL_TUNING);
        double mirror = tone_amplitude(x, skip * L, analyse * L, -strongest, rate);
        EXPECT_LT(db(mirror / expected_amplitude(-30)), -REJECTION_DB) << "receiver " << r;
    }
}

// The strongest carrier's phase advances by its offset frequency per second of signal: its
// advance per block gives the signal time that one block holds.
TEST_P(SignalAtRate, BlocksCarryOneNinetyThreeAndThreeQuarterthOfASecondEach) {
    const int rate_index = GetParam();
    const double rate = rate_of(rate_index);
    board({{3610000, -30}});
    const size_t skip = 8, analyse = 48;
    Host h(rate_index, skip + analyse);
    h.start();
    ASSERT_TRUE(h.wait_blocks(int(skip + analyse)));
    h.stop();

    const size_t L = size_t(h.block_length);
    const double offset = offset_of(3610000, INITIAL_TUNING);  // 10 000.006 Hz of signal
    std::vector<std::complex<float>> x = h.kept(0);
    ASSERT_GE(x.size(), (skip + analyse) * L);
    // Cycles of the carrier per delivered sample, from its unwrapped phase.
    double phase = 0;
    for (size_t n = skip * L + 1; n < (skip + analyse) * L; ++n)
        phase += std::arg(std::complex<double>(x[n]) * std::conj(std::complex<double>(x[n - 1])));
    const double cycles_per_sample = phase / (2 * M_PI) / double(analyse * L - 1);
    const double samples_per_signal_second = offset / cycles_per_sample;
    const double blocks_per_signal_second = samples_per_signal_second / double(L);
    EXPECT_NEAR(blocks_per_signal_second, 93.75, 93.75 * 1e-5) << "at " << rate << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Rates, SignalAtRate, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::to_string(rate_of(i.param) / 1000) + "kHz";
                         });

namespace {

// Which signal instant (counted from the start of the stream) an output sample of the session
// shows, give or take the resampler's delay.
double instant_of_sample(double sample, double rate) {
    return sample * 500000.0 / rate;
}

}  // namespace

// SetRxFrequency(7050000, 1) while streaming: from the stream position that the board had
// reached when the call returned, receiver 1 shows the 7 MHz carrier and no longer the 3.6 MHz
// one; receivers 0, 2 and 3 never change. One pass of the worker is 4096 instants.
TEST_F(SignalTest, RetuningOneReceiverMovesOnlyItWithinOnePass) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = board({{3610000, -30}, {7055000, -35}});
    const int rate_index = 0;
    const double rate = rate_of(rate_index);
    const size_t max_blocks = 400;
    Host h(rate_index, max_blocks);
    const uint64_t bytes_at_start = w.stream_bytes_read(b);
    h.start();
    ASSERT_TRUE(h.errors().empty());
    ASSERT_TRUE(h.wait_blocks(40));

    const uint64_t before = w.stream_bytes_read(b);
    module().set_rx_frequency(7050000, 1);
    const uint64_t after = w.stream_bytes_read(b);
    EXPECT_EQ(w.fpga_register(b, 35),
              uint32_t(int32_t(std::nearbyint(-7050000.0 / ADC_HZ * 4294967296.0))));
    for (int ch : {0, 2, 3})
        EXPECT_EQ(w.fpga_register(b, 34 + ch), 0xF199999Au) << ch;

    const double L = h.block_length;
    const double change_first = double(before - bytes_at_start) / 16.0;  // instants
    const double change_last = double(after - bytes_at_start) / 16.0;
    const double pass = 4096, margin = 2048;  // margin: the resampler's delay and more
    const size_t last_old_block =
        size_t(std::floor((change_first - margin) / instant_of_sample(L, rate))) - 1;
    const size_t first_new_block =
        size_t(std::ceil((change_last + pass) / instant_of_sample(L, rate)));
    ASSERT_LT(first_new_block + 10, max_blocks) << "the ring holds more than expected";
    ASSERT_TRUE(h.wait_blocks(int(first_new_block + 10)));
    h.stop();

    const double old_offset = offset_of(3610000, 3600000);
    const double new_offset = offset_of(7055000, 7050000);
    const double old_level = expected_amplitude(-30), new_level = expected_amplitude(-35);
    const size_t skip = 8;
    int checked_old = 0, checked_new = 0;
    for (int r = 0; r < RECEIVERS; ++r) {
        std::vector<std::complex<float>> x = h.kept(r);
        for (size_t k = skip; k < first_new_block + 10; ++k) {
            double a_old = tone_amplitude(x, k * size_t(L), size_t(L), old_offset, rate);
            double a_new = tone_amplitude(x, k * size_t(L), size_t(L), new_offset, rate);
            bool expect_new = r == 1 && k >= first_new_block;
            bool expect_old = r != 1 || k <= last_old_block;
            if (expect_old) {
                ++checked_old;
                ASSERT_NEAR(db(a_old / old_level), 0.0, 1.0) << "receiver " << r << " block " << k;
                ASSERT_LT(db(a_new / new_level), -REJECTION_DB)
                    << "receiver " << r << " block " << k;
            } else if (expect_new) {
                ++checked_new;
                ASSERT_NEAR(db(a_new / new_level), 0.0, 1.0) << "receiver 1 block " << k;
                ASSERT_LT(db(a_old / old_level), -REJECTION_DB) << "receiver 1 block " << k;
            }
        }
    }
    EXPECT_GE(checked_new, 10);
    EXPECT_GT(checked_old, 3 * checked_new);
    EXPECT_EQ(h.dirty_spare_blocks.load(), 0);
}

// The host thread retunes all four receivers as fast as it can while the worker streams (and
// queries the board for overruns on the same handle). Every request goes through, the stream
// never stops, and the last tuning of each receiver is the one in force.
TEST_F(SignalTest, RetuningFromTheHostThreadWhileStreaming) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = board({{3610000, -30}, {7055000, -35}});
    const int rate_index = 0;
    const double rate = rate_of(rate_index);
    const int L = block_length_of(rate_index);

    // Blocks from capture_from on are kept, so that only the signal after the last retuning is
    // examined.
    std::mutex lock;
    std::atomic<int> capture_from{1 << 30};
    std::vector<std::complex<float>> late[RECEIVERS];
    const size_t late_blocks = 6;
    Host h(rate_index);
    h.on_block = [&](float** buffers, int index) {
        if (index < capture_from.load())
            return;
        std::lock_guard<std::mutex> g(lock);
        if (late[0].size() >= late_blocks * size_t(L))
            return;
        for (int r = 0; r < RECEIVERS; ++r) {
            auto* z = reinterpret_cast<const std::complex<float>*>(buffers[r]);
            late[r].insert(late[r].end(), z, z + L);
        }
    };
    StderrCapture err;
    const uint64_t bytes_at_start = w.stream_bytes_read(b);
    h.start();
    ASSERT_TRUE(h.errors().empty());
    ASSERT_TRUE(h.wait_blocks(5));

    const int blocks_before = h.blocks.load();
    const size_t requests_before = w.control_log().size();
    const int rounds = 500;
    for (int n = 0; n < rounds; ++n)
        for (int r = 0; r < RECEIVERS; ++r)
            module().set_rx_frequency(1000000 + 10000 * ((n + r) % 300), r);
    const int final_hz[RECEIVERS] = {3600000, 7050000, 7050000, 3600000};
    for (int r = 0; r < RECEIVERS; ++r)
        module().set_rx_frequency(final_hz[r], r);
    const uint64_t tuned_at = w.stream_bytes_read(b);

    for (int r = 0; r < RECEIVERS; ++r)
        EXPECT_EQ(w.fpga_register(b, 34 + r),
                  uint32_t(int32_t(std::nearbyint(-final_hz[r] / ADC_HZ * 4294967296.0))))
            << r;
    auto log = w.control_log();
    size_t retunes = 0, failed = 0;
    for (size_t i = requests_before; i < log.size(); ++i) {
        if (log[i].request == 0x09 && log[i].index == 0x0120 && log[i].value >= 34 &&
            log[i].value <= 37)
            ++retunes;
        if (log[i].result < 0)
            ++failed;
    }
    EXPECT_EQ(retunes, size_t(rounds + 1) * RECEIVERS);
    EXPECT_EQ(failed, 0u);

    const double instants_per_block = instant_of_sample(L, rate);
    const int first_after =
        int(std::ceil((double(tuned_at - bytes_at_start) / 16.0 + 4096) / instants_per_block)) + 1;
    capture_from = std::max(first_after, h.blocks.load());
    ASSERT_TRUE(wait_until(
        [&] {
            std::lock_guard<std::mutex> g(lock);
            return late[0].size() >= late_blocks * size_t(L);
        },
        20000));
    EXPECT_GT(h.blocks.load(), blocks_before) << "the stream went on";
    h.stop();

    std::lock_guard<std::mutex> g(lock);
    for (int r = 0; r < RECEIVERS; ++r) {
        const bool seven = final_hz[r] == 7050000;
        const double carrier = seven ? 7055000 : 3610000;
        const double level = expected_amplitude(seven ? -35 : -30);
        double got =
            tone_amplitude(late[r], 0, late[r].size(), offset_of(carrier, final_hz[r]), rate);
        EXPECT_NEAR(db(got / level), 0.0, LEVEL_TOLERANCE_DB) << "receiver " << r;
    }
    EXPECT_EQ(err.text().find("usb_control_msg failed"), std::string::npos) << err.text();
    EXPECT_EQ(h.dirty_spare_blocks.load(), 0);
}

// The first blocks of a session, and of a second session on the same board, with a strong
// carrier outside every output band beside the one in band: from the very first sample the
// in-band carrier runs at its level and frequency. Neither the filter's response to the stream
// switching on (through which the strong carrier would ring) nor stale, missing or misaligned
// data at the start of the stream reaches the host.
TEST_P(SignalAtRate, FirstBlocksOfEverySessionCarryOnlyTheSignal) {
    const int rate_index = GetParam();
    const double rate = rate_of(rate_index);
    board({{3610000, -30}, {3750000, -22}});
    const double offset = offset_of(3610000, INITIAL_TUNING);
    const double amplitude = expected_amplitude(-30);
    const size_t L = size_t(block_length_of(rate_index));
    for (int session = 0; session < 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        Host h(rate_index, 2);
        h.start();
        ASSERT_TRUE(h.wait_blocks(2));
        h.stop();
        for (int r = 0; r < RECEIVERS; ++r) {
            const std::vector<std::complex<float>> x = h.kept(r);
            ASSERT_EQ(x.size(), 2 * L);
            double first = std::abs(x[0]) / amplitude, worst_level = 0, worst_step = 0;
            for (size_t n = 0; n < x.size(); ++n) {
                worst_level = std::max(worst_level, std::fabs(std::abs(x[n]) / amplitude - 1));
                if (n == 0)
                    continue;
                const double step = std::arg(std::complex<double>(x[n]) *
                                             std::conj(std::complex<double>(x[n - 1])));
                worst_step = std::max(worst_step, std::fabs(step - 2 * M_PI * offset / rate));
            }
            std::printf("rate %d session %d receiver %d: first sample %.4f of the level; first "
                        "blocks within %.4f of it and %.4f rad of the step\n",
                        rate_index, session, r, first, worst_level, worst_step);
            EXPECT_LT(worst_level, 0.01) << "receiver " << r;
            EXPECT_LT(worst_step, 0.01) << "receiver " << r;
        }
    }
}
