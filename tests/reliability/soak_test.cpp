// Soak: the module streams from the free-running simulated board for a given length of signal,
// retuning receivers 1 to 3 every few seconds of signal and stopping and starting the whole
// session every few minutes of it. Receiver 0 stays on its carrier, whose phase must run on
// unbroken across every block of every session; every retune must reach the board's DDC
// register; resident memory, descriptors and threads must stay flat from one session to the next.
//
// Lengths, in seconds of signal (the board runs as fast as it is read, so this is not wall time):
//   ZALVO_SOAK_SECONDS          total             (default 120; scripts/soak.sh runs 7200)
//   ZALVO_SOAK_RETUNE_SECONDS   between retunes   (default 3)
//   ZALVO_SOAK_RESTART_SECONDS  between restarts  (default 30)
#include "rel_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace rel;

namespace {

constexpr double BLOCKS_PER_SECOND = 93.75;
enum { REG_DDC_FREQ_0 = 34 };

uint32_t ddc_word(double hz) {
    return static_cast<uint32_t>(static_cast<int32_t>(std::llround(hz / 64e6 * 4294967296.0)));
}

}  // namespace

TEST(Soak, StreamsRetunesAndRestartsWithoutBreaksOrGrowth) {
    ASSERT_TRUE(module().loaded());
    setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
    auto& w = usbsim::World::instance();

    const int64_t total_s = env_int("ZALVO_SOAK_SECONDS", 120);
    const int64_t retune_s = std::max<int64_t>(1, env_int("ZALVO_SOAK_RETUNE_SECONDS", 3));
    const int64_t restart_s =
        std::max<int64_t>(retune_s, env_int("ZALVO_SOAK_RESTART_SECONDS", 30));
    const int64_t total_blocks = int64_t(total_s * BLOCKS_PER_SECOND);
    const int64_t retune_blocks = int64_t(retune_s * BLOCKS_PER_SECOND);
    const int64_t restart_blocks = int64_t(restart_s * BLOCKS_PER_SECOND);

    Watchdog dog;
    const int base_threads = thread_count();
    const int base_fds = descriptor_count();
    usbsim::BoardId b = fresh_world(true);

    Host h(0);
    int sessions = 0;
    int retunes = 0;
    int missed_retunes = 0;
    std::vector<int64_t> rss_after_session;
    const auto t0 = std::chrono::steady_clock::now();

    while (h.blocks.load() < total_blocks) {
        h.phase.restart();
        ReceiverSettings s = host_settings(h);
        dog.arm("StartRx of session " + std::to_string(sessions + 1), 30);
        module().start_rx(&s);
        dog.disarm();
        ASSERT_TRUE(h.error_list().empty()) << h.error_list()[0];
        ASSERT_EQ(w.open_handles(), 1);
        ++sessions;

        const int64_t session_end = std::min(total_blocks, h.blocks.load() + restart_blocks);
        int64_t next_retune = h.blocks.load() + retune_blocks;
        while (h.blocks.load() < session_end) {
            // A stalled stream fails here rather than hanging: a few seconds of signal must
            // arrive within a generous wall-clock bound.
            ASSERT_TRUE(h.wait_blocks(std::min(next_retune, session_end), 120000))
                << "the stream stopped at block " << h.blocks.load();
            if (h.blocks.load() >= next_retune && h.blocks.load() < session_end) {
                ++retunes;
                for (int r = 1; r < 4; ++r) {
                    int32_t hz = 3600000 + 1000 * r + ((retunes & 1) ? 5000 : -5000);
                    module().set_rx_frequency(hz, r);
                    if (w.fpga_register(b, REG_DDC_FREQ_0 + r) != ddc_word(-double(hz)))
                        ++missed_retunes;
                }
                if (w.fpga_register(b, REG_DDC_FREQ_0) != ddc_word(-INITIAL_TUNING_HZ))
                    ++missed_retunes;
                w.clear_log();  // the simulator's records would otherwise grow to their cap
                next_retune += retune_blocks;
            }
        }

        dog.arm("StopRx of session " + std::to_string(sessions), 30);
        module().stop_rx();
        dog.disarm();
        w.clear_log();
        ASSERT_EQ(w.open_handles(), 0);
        ASSERT_EQ(w.claimed_interfaces(), 0);
        ASSERT_FALSE(w.rx_enabled(b));
        ASSERT_EQ(wait_thread_count_at_most(base_threads, 2000), base_threads);
        ASSERT_EQ(descriptor_count(), base_fds);
        ASSERT_EQ(h.phase.breaks(), 0) << "session " << sessions << ": " << h.phase.first_break();
        rss_after_session.push_back(resident_kib());
    }

    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double signal_s = double(h.blocks.load()) / BLOCKS_PER_SECOND;
    // Growth from the end of the first session (pools, caches and the simulator's tables are
    // warm by then) to the end of the last.
    const int64_t growth_kib =
        rss_after_session.size() > 1 ? rss_after_session.back() - rss_after_session.front() : 0;
    std::printf("soak: %.0f s of signal in %.0f s, %d sessions, %d retunes, %lld phase samples, "
                "RSS %lld -> %lld KiB\n",
                signal_s, wall_s, sessions, retunes, (long long)h.phase.samples_checked(),
                (long long)rss_after_session.front(), (long long)rss_after_session.back());
    figure("soak_signal_seconds", std::to_string(int64_t(signal_s)));
    figure("soak_wall_seconds", std::to_string(int64_t(wall_s)));
    figure("soak_sessions", std::to_string(sessions));
    figure("soak_retunes", std::to_string(retunes));
    figure("soak_phase_samples", std::to_string(h.phase.samples_checked()));
    figure("soak_phase_breaks", std::to_string(h.phase.breaks()));
    figure("soak_rss_growth_kib", std::to_string(growth_kib));

    EXPECT_GE(h.blocks.load(), total_blocks);
    EXPECT_EQ(missed_retunes, 0);
    EXPECT_EQ(h.phase.breaks(), 0);
    EXPECT_EQ(h.nonzero_spare_blocks.load(), 0);
    EXPECT_TRUE(h.error_list().empty());
    // Every block but the first two of each session is judged.
    EXPECT_GE(h.phase.samples_checked(), (h.blocks.load() - 3 * sessions) * h.block_length);
    // Flat: a few MiB of allocator noise at most, and no growth that scales with the run.
    if (!instrumented_build()) {
        EXPECT_LT(growth_kib, 8 * 1024) << "resident memory grew over the soak";
    }
    w.reset();
}
