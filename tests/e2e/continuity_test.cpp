// Nothing lost between the board and the host: over a long run of free-running signal, one
// steady carrier keeps an unbroken phase in every receiver, sample after sample and across every
// block boundary. A sample dropped or repeated anywhere (bulk ring, read, de-interleave,
// resampler, interleave, block hand-over) shifts the carrier's phase against the straight line
// that its frequency draws, and a byte out of place scrambles I and Q.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#ifndef E2E_SIGNAL_SECONDS
#define E2E_SIGNAL_SECONDS 3
#endif

using namespace e2e;

namespace {

const double CARRIER_HZ = 3610000;
const double LEVEL_DBFS = -30;

// Per receiver: the running phase of the carrier against its ideal line.
struct Track {
    bool started = false;
    std::complex<double> previous;
    double phase = 0;        // unwrapped, since the first examined sample
    uint64_t steps = 0;      // samples since the first examined one
    double worst_step = 0;   // largest deviation of one sample-to-sample phase step, rad
    double worst_drift = 0;  // largest deviation of the unwrapped phase from the line, rad
    double worst_level = 0;  // largest relative deviation of the magnitude
    std::string first_fault;
};

}  // namespace

TEST(Continuity, CarrierPhaseUnbrokenOverTheWholeRun) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg = board_config(true);
    cfg.scene = scene_of({{CARRIER_HZ, LEVEL_DBFS}});
    usbsim::BoardId b = attach_board(cfg);

    const int rate_index = 0;
    const double rate = rate_of(rate_index);
    const int L = block_length_of(rate_index);
    const int settle_blocks = 8;
    const int blocks_wanted = settle_blocks + int(std::ceil(E2E_SIGNAL_SECONDS * 93.75));

    // The offset at which the carrier must appear, with the tuning word's own rounding: the
    // down-converter runs at -3 599 999.994 Hz, so the carrier sits at 10 000.006 Hz.
    const double offset = CARRIER_HZ + ddc_actual_hz(-3600000.0);
    const double step = 2 * M_PI * offset / rate;
    const double amplitude = expected_amplitude(LEVEL_DBFS);

    Track tracks[RECEIVERS];
    Host h(rate_index);
    h.on_block = [&](float** buffers, int index) {
        if (index < settle_blocks || index >= blocks_wanted)
            return;
        for (int r = 0; r < RECEIVERS; ++r) {
            Track& t = tracks[r];
            const float* f = buffers[r];
            for (int n = 0; n < L; ++n) {
                std::complex<double> z(f[2 * n], f[2 * n + 1]);
                double level = std::fabs(std::abs(z) / amplitude - 1.0);
                if (level > t.worst_level)
                    t.worst_level = level;
                if (t.started) {
                    double d = std::arg(z * std::conj(t.previous));
                    double dev = std::fabs(d - step);
                    t.phase += d;
                    ++t.steps;
                    double drift = std::fabs(t.phase - step * double(t.steps));
                    if (dev > t.worst_step)
                        t.worst_step = dev;
                    if (drift > t.worst_drift)
                        t.worst_drift = drift;
                    if ((dev > 0.02 || drift > 0.05 || level > 0.05) && t.first_fault.empty()) {
                        char text[160];
                        std::snprintf(text, sizeof text,
                                      "block %d sample %d: step off by %.4f rad, phase off by "
                                      "%.4f rad, level off by %.4f",
                                      index, n, dev, drift, level);
                        t.first_fault = text;
                    }
                }
                t.previous = z;
                t.started = true;
            }
        }
    };

    h.start();
    ASSERT_TRUE(h.errors().empty()) << h.errors()[0];
    // Free-running, the module goes as fast as the machine lets it; this only bounds a hang.
    const int timeout_ms = 60000 + E2E_SIGNAL_SECONDS * 20000;
    ASSERT_TRUE(h.wait_blocks(blocks_wanted, timeout_ms))
        << h.blocks.load() << " of " << blocks_wanted << " blocks";
    h.stop();

    EXPECT_EQ(w.samples_dropped(b), 0u);
    EXPECT_EQ(h.dirty_spare_blocks.load(), 0);
    const uint64_t examined = uint64_t(blocks_wanted - settle_blocks) * uint64_t(L) - 1;
    for (int r = 0; r < RECEIVERS; ++r) {
        const Track& t = tracks[r];
        SCOPED_TRACE("receiver " + std::to_string(r));
        EXPECT_EQ(t.steps, examined);
        EXPECT_EQ(t.first_fault, "");
        EXPECT_LT(t.worst_step, 0.02);
        EXPECT_LT(t.worst_drift, 0.05);
        EXPECT_LT(t.worst_level, 0.05);
        // The carrier's frequency over the whole run, to a few millihertz: the tuning word's
        // 6 mHz shows.
        const double measured = t.phase / (2 * M_PI * double(t.steps)) * rate;
        EXPECT_NEAR(measured, 10000.006, 0.002);
        // Signal time per block from that carrier: 93.75 blocks per second of signal.
        const double seconds = t.phase / (2 * M_PI * offset);
        EXPECT_NEAR(double(t.steps) / double(L) / seconds, 93.75, 1e-5);
    }
    std::printf("%d s of signal: %d blocks; worst step %.2e rad, worst drift %.2e rad\n",
                E2E_SIGNAL_SECONDS, blocks_wanted, tracks[0].worst_step, tracks[0].worst_drift);
}
