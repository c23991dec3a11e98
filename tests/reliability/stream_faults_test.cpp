// Faults while streaming: bulk transfers that time out, fail or stall at the start, in the middle
// and at the end of a run, a pause of the board's stream, the time StopRx takes, and the board
// unplugged while streaming and plugged in again.
//
// A faulted bulk transfer takes nothing from the board's stream, so the host must see the carrier
// continue without a break in its phase: no samples lost, none repeated. After StopRx nothing may
// be left open, claimed, enabled or running.
#include "rel_support.h"
#include "signal_measure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>

using namespace rel;

namespace {

const char* const NO_DEVICE = "Can't create instance of USRP Rx device";

class StreamFaults : public ModuleFixture {
  protected:
    // Starts a session for h on the current world; true once it streams (no failure text and
    // 20 blocks within 20 s).
    bool start_streaming(Host& h) {
        ReceiverSettings s = host_settings(h);
        module().start_rx(&s);
        return h.error_list().empty() && h.wait_blocks(20, 20000);
    }

    size_t bulk_count() { return usbsim::World::instance().bulk_log().size(); }

    bool wait_bulk(size_t n, int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (bulk_count() < n) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    void stop(const std::string& what) {
        dog.arm(what + ": StopRx", 20);
        module().stop_rx();
        dog.disarm();
    }

    // Pauses the board's stream for pause_ms in the middle of a run and returns how long after
    // the board delivered again the next block reached the host (ms, -1: none within 10 s).
    double pause_and_time_recovery(Host& h, usbsim::BoardId b, int pause_ms) {
        using clock = std::chrono::steady_clock;
        const auto resume = clock::now() + std::chrono::milliseconds(pause_ms);
        usbsim::World::instance().pause_stream(b, pause_ms);
        std::this_thread::sleep_until(resume);
        const int64_t at_resume = h.blocks.load();
        while (h.blocks.load() == at_resume) {
            if (clock::now() - resume > std::chrono::seconds(10))
                return -1;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return std::chrono::duration<double, std::milli>(clock::now() - resume).count();
    }

    // After StopRx: nothing left of the session.
    void expect_closed(usbsim::BoardId b) {
        auto& w = usbsim::World::instance();
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(w.claimed_interfaces(), 0);
        EXPECT_FALSE(w.rx_enabled(b));
        EXPECT_EQ(wait_thread_count_at_most(base_threads, 2000), base_threads);
        EXPECT_EQ(descriptor_count(), base_fds);
    }
};

struct BulkCase {
    const char* name;
    usbsim::FaultKind kind;
};

const BulkCase BULK_CASES[] = {
    {"timeout", usbsim::FaultKind::timeout},
    {"io_error", usbsim::FaultKind::io_error},
    {"stall", usbsim::FaultKind::stall},
};

}  // namespace

// The first transfer of the run and one in the middle of it fail; the stream goes on, the phase
// of the carrier runs on unbroken across the failed read, and StopRx closes everything.
TEST_F(StreamFaults, FailedTransferAtTheStartOrInTheMiddleLosesNoSamples) {
    auto& w = usbsim::World::instance();
    int scenarios = 0;
    for (const BulkCase& c : BULK_CASES) {
        for (int at : {0, 40}) {
            std::string what = std::string(c.name) + " at bulk transfer " + std::to_string(at);
            SCOPED_TRACE(what);
            usbsim::BoardId b = fresh_world(true);
            usbsim::Fault f;
            f.kind = c.kind;
            w.fail_bulk_at(at, f);
            Host h;
            ReceiverSettings s = host_settings(h);
            module().start_rx(&s);
            ASSERT_TRUE(h.error_list().empty());
            // Well past the faulted transfer, and then blocks that were read after it.
            ASSERT_TRUE(wait_bulk(size_t(at) + 40, 20000));
            int64_t seen = h.blocks.load();
            ASSERT_TRUE(h.wait_blocks(seen + 20, 20000));
            // Transfers completed while streaming; the one in flight when StopRx disables the
            // receive path may end without data, which is not a fault of the run.
            const size_t streamed = w.bulk_log().size();
            stop(what);

            auto log = w.bulk_log();
            ASSERT_GT(streamed, size_t(at));
            EXPECT_LE(log[size_t(at)].result, 0) << "the faulted transfer moved data";
            // A bulk call that timed out before the receive path was enabled only waited for the
            // stream to begin; the transfer goes on waiting.
            int failed = 0;
            bool flowing = false;
            for (size_t i = 0; i < streamed; ++i) {
                flowing = flowing || log[i].result > 0;
                if (i != size_t(at) && !flowing && log[i].result == -ETIMEDOUT)
                    continue;
                failed += log[i].result <= 0;
            }
            EXPECT_EQ(failed, 1);
            EXPECT_TRUE(h.error_list().empty()) << "nothing is reported while streaming";
            EXPECT_GT(h.phase.samples_checked(), 10000);
            EXPECT_EQ(h.phase.breaks(), 0) << h.phase.first_break();
            EXPECT_EQ(h.nonzero_spare_blocks.load(), 0);
            expect_closed(b);
            ++scenarios;
        }
    }
    figure("bulk_fault_scenarios_mid_run", std::to_string(scenarios));
}

// The last transfer of a run fails while StopRx ends it: StopRx still returns, with everything
// closed and no callback after it.
TEST_F(StreamFaults, FailedLastTransferWhileStopping) {
    auto& w = usbsim::World::instance();
    int scenarios = 0;
    for (const BulkCase& c : BULK_CASES) {
        SCOPED_TRACE(c.name);
        usbsim::BoardId b = fresh_world(true);
        Host h;
        ASSERT_TRUE(start_streaming(h)) << h.error_list().size() << " failure texts";
        usbsim::Fault f;
        f.kind = c.kind;
        w.fail_bulk_at(0, f);
        ASSERT_TRUE(wait_bulk(bulk_count() + 1, 5000) || c.kind == usbsim::FaultKind::timeout);
        stop(std::string("last transfer ") + c.name);
        int64_t after = h.blocks.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(h.blocks.load(), after) << "callback after StopRx returned";
        EXPECT_EQ(h.phase.breaks(), 0) << h.phase.first_break();
        EXPECT_TRUE(h.error_list().empty());
        expect_closed(b);
        ++scenarios;
    }
    figure("bulk_fault_scenarios_at_stop", std::to_string(scenarios));
}

// The board stops sending for 1.5 s in the middle of a run. That is one failure of the stream:
// one line on standard error, and the blocks reach the host again at once when the board sends
// again, as one unbroken stream (at most the failed transfer's share of it is lost; a block handed
// out twice, stale or out of order would break the carrier's phase at least twice).
TEST_F(StreamFaults, PauseOfTheBoardIsOneFailureAndTheStreamResumesAtOnce) {
    usbsim::BoardId b = fresh_world(true);
    Host h;
    ASSERT_TRUE(start_streaming(h)) << h.error_list().size() << " failure texts";
    testing::internal::CaptureStderr();
    const double recovery_ms = pause_and_time_recovery(h, b, 1500);
    const int64_t resumed_at = h.blocks.load();
    const bool more = h.wait_blocks(resumed_at + 40, 20000);
    const std::string err = testing::internal::GetCapturedStderr();
    stop("paused board");
    ASSERT_GE(recovery_ms, 0) << "no block after the pause";
    figure("pause_1500ms_recovery_ms_transfer_thread", std::to_string(int(recovery_ms + 0.5)));
    EXPECT_LT(recovery_ms, 500) << "blocks came back late after the pause";
    EXPECT_TRUE(more);
    EXPECT_EQ(reap_failure_lines(err), 1) << err;
    EXPECT_LE(h.phase.breaks(), 1) << h.phase.first_break();
    EXPECT_TRUE(h.error_list().empty());
    expect_closed(b);
}

// StopRx ends a streaming session quickly, one whose board has stopped sending (the worker waits
// for a block) as quickly and without a failure line, and one whose board has gone away too: no
// wait for a blocking read, for a read's time-out or for the worker's pause after failed reads.
TEST_F(StreamFaults, StopRxIsQuickWithTheBoardPresentSilentOrGone) {
    auto& w = usbsim::World::instance();
    for (const char* what : {"board_present", "board_silent", "board_gone"}) {
        const std::string mode = what;
        SCOPED_TRACE(what);
        usbsim::BoardId b = fresh_world(true);
        Host h;
        ASSERT_TRUE(start_streaming(h)) << h.error_list().size() << " failure texts";
        if (mode == "board_silent") {
            w.pause_stream(b, 10000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the read waits
        } else if (mode == "board_gone") {
            w.detach(b);
            std::this_thread::sleep_for(std::chrono::milliseconds(600));  // reads failing
        }
        dog.arm(mode + ": StopRx", 20);
        testing::internal::CaptureStderr();
        const int64_t ms = timed_ms([] { module().stop_rx(); });
        const std::string err = testing::internal::GetCapturedStderr();
        dog.disarm();
        figure("stoprx_ms_transfer_thread_" + mode, std::to_string(ms));
        EXPECT_LT(ms, 500);
        if (mode != "board_gone") {
            EXPECT_EQ(reap_failure_lines(err), 0) << err;
        }
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(wait_thread_count_at_most(base_threads, 2000), base_threads);
    }
}

// Unplugged while streaming: StopRx still ends the session and closes everything. With the board
// gone a start fails cleanly; plugged in again (cold, as after a power cycle) the next session
// loads the images and streams.
TEST_F(StreamFaults, UnplugWhileStreamingThenPlugInAgain) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = fresh_world(false);
    Host first;
    ReceiverSettings s1 = host_settings(first);
    module().start_rx(&s1);
    ASSERT_TRUE(first.error_list().empty());
    ASSERT_TRUE(first.wait_blocks(10, 20000));

    w.detach(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop("unplugged session");
    EXPECT_TRUE(first.error_list().empty()) << "nothing is reported while streaming";
    EXPECT_EQ(first.phase.breaks(), 0) << first.phase.first_break();
    EXPECT_EQ(w.open_handles(), 0);
    EXPECT_EQ(w.claimed_interfaces(), 0);
    EXPECT_EQ(wait_thread_count_at_most(base_threads, 2000), base_threads);

    Host absent;
    ReceiverSettings s2 = host_settings(absent);
    dog.arm("StartRx with the board unplugged", 20);
    module().start_rx(&s2);
    dog.disarm();
    ASSERT_EQ(absent.error_list().size(), 1u);
    EXPECT_EQ(absent.error_list()[0], NO_DEVICE);
    EXPECT_EQ(w.open_handles(), 0);
    stop("after the start without a board");

    w.attach(b, true);
    ASSERT_FALSE(w.firmware_running(b)) << "a board plugged in again comes back cold";
    Host second;
    ReceiverSettings s3 = host_settings(second);
    dog.arm("StartRx after plugging in again", 30);
    module().start_rx(&s3);
    dog.disarm();
    ASSERT_TRUE(second.error_list().empty()) << second.error_list()[0];
    EXPECT_TRUE(w.firmware_running(b));
    EXPECT_TRUE(w.fpga_configured(b));
    ASSERT_TRUE(second.wait_blocks(20, 20000));
    stop("session after plugging in again");
    EXPECT_GT(second.phase.samples_checked(), 5000);
    EXPECT_EQ(second.phase.breaks(), 0) << second.phase.first_break();
    expect_closed(b);
}

// ---- a board that leaves the bus while streaming and comes back ------------------------------

namespace {

const char* const LOST_GONE =
    "StreamWorker: board lost (gone from the bus); waiting for it to come back\n";
const char* const LOST_READS =
    "StreamWorker: board lost (reads failing); waiting for it to come back\n";
const char* const BACK = "StreamWorker: board back after ";

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One cold board paced in real time (it comes back cold when power-cycled) that re-joins the bus
// 1.5 s after its firmware starts; every control request takes `latency_us`.
usbsim::BoardId rejoining_world(int latency_us = 0) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    support::add_basic_rx(cfg);
    cfg.pacing = usbsim::Pacing::real_time;
    cfg.fifo_bytes = 2 * 1024 * 1024;
    cfg.rejoin_after_ms = 1500;
    cfg.control_latency_us = latency_us;
    cfg.scene = tone_scene();
    usbsim::BoardId b = support::attach_board(cfg);
    w.clear_log();
    return b;
}

bool wait_for(const std::function<bool()>& done, int timeout_ms) {
    return support::wait_until(done, timeout_ms);
}

// True once the captured standard error holds `line` (within timeout_ms).
bool wait_for_line(const support::StderrCapture& err, const char* line, int timeout_ms) {
    return wait_for([&] { return err.text().find(line) != std::string::npos; }, timeout_ms);
}

// Strongest tone (Hz) in the next blocks of receiver r.
double tone_in(Host& h, int r) {
    if (!h.keep_next_blocks(40, 10000))
        return -1e9;
    std::lock_guard<std::mutex> guard(h.lock);
    return support::strongest_tone(support::complex_samples(h.kept[r]),
                                   support::rate_of(h.rate_index), 20000, 25);
}

}  // namespace

// Unplugged while streaming and plugged in again 2 s later, back cold (its images loaded again,
// the 1.5 s re-join waited for) or back warm: the stream resumes by itself, every receiver where
// the host tuned it last (receiver 1 was retuned while the board was away), with no failure
// reported to the host and one diagnostic line for the loss and one for the return.
TEST_F(StreamFaults, BoardThatLeavesAndComesBackStreamsAgainByItself) {
    using clock = std::chrono::steady_clock;
    auto& w = usbsim::World::instance();
    for (const bool cold : {true, false}) {
        const std::string how = cold ? "cold" : "warm";
        SCOPED_TRACE(how);
        usbsim::BoardId b = rejoining_world();
        Host h;
        h.track_phase = false;
        ASSERT_TRUE(start_streaming(h));
        std::optional<support::StderrCapture> capture(std::in_place);
        auto& err = *capture;

        w.detach(b);
        ASSERT_TRUE(wait_for_line(err, LOST_GONE, 3000)) << err.text();
        module().set_rx_frequency(int32_t(INITIAL_TUNING_HZ) + 2000, 1);
        const std::clock_t cpu_before = std::clock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        // The process's processor time while the module waits for the board: its rescans.
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.2f",
                      100.0 * double(std::clock() - cpu_before) / CLOCKS_PER_SEC / 2.0);
        figure("cpu_percent_while_board_away_" + how, percent);
        const int before = h.blocks.load();
        w.attach(b, cold);
        const auto attached = clock::now();
        dog.arm(how + ": streaming again", 20);
        ASSERT_TRUE(h.wait_blocks(before + 1, 15000)) << err.text();
        dog.disarm();
        // From the board being back and ready: a cold one first loads its firmware and re-joins.
        const double ms =
            std::chrono::duration<double, std::milli>(clock::now() - attached).count() -
            (cold ? 1500 : 0);
        figure("return_to_first_block_ms_" + how, std::to_string(int(ms + 0.5)));
        EXPECT_LT(ms, 5000);
        EXPECT_EQ(w.firmware_running(b), true);

        EXPECT_NEAR(tone_in(h, 0), TONE_OFFSET_HZ, 50);
        EXPECT_NEAR(tone_in(h, 1), TONE_OFFSET_HZ - 2000, 50) << "the retune while away";
        const std::string text = err.text();
        EXPECT_EQ(count_of(text, LOST_GONE), 1) << text;
        EXPECT_EQ(count_of(text, BACK), 1) << text;
        EXPECT_TRUE(h.error_list().empty()) << "nothing is reported to the host while streaming";
        stop(how);
        capture.reset();
        expect_closed(b);
    }
}

// StopRx inside every step of bringing a board back ends the session quickly: while it waits for
// the board, in the middle of the firmware load, during the re-join wait, in the middle of the
// bitstream load (every request of the board here takes 2 ms, as a real board's bitstream takes
// seconds) and right after the return. Nothing stays open or running and no callback follows; a
// board left half loaded is repaired by the next start.
TEST_F(StreamFaults, StopRxInsideTheRecoveryIsQuick) {
    auto& w = usbsim::World::instance();
    auto seen = [&](int request, std::optional<int> index) {
        usbsim::ControlMatch m;
        m.request = request;
        m.index = index;
        return !usbsim::matching(w.control_log(), m).empty();
    };
    for (const char* step : {"waiting", "firmware_load", "rejoin_wait", "fpga_load", "just_back"}) {
        const std::string what = step;
        SCOPED_TRACE(what);
        usbsim::BoardId b = rejoining_world(2000);
        Host h;
        h.track_phase = false;
        ASSERT_TRUE(start_streaming(h));
        std::optional<support::StderrCapture> capture(std::in_place);
        auto& err = *capture;
        w.detach(b);
        ASSERT_TRUE(wait_for_line(err, LOST_GONE, 3000)) << err.text();
        w.clear_log();
        const int before = h.blocks.load();
        dog.arm(what + ": reaching the step", 20);
        if (what != "waiting")
            w.attach(b, true);
        bool reached = true;
        if (what == "firmware_load") {
            reached = wait_for([&] { return seen(0xA0, std::nullopt) && w.cpu_held(b); }, 5000);
        } else if (what == "rejoin_wait") {
            reached = wait_for([&] { return w.firmware_running(b) && !w.on_bus(b); }, 5000);
        } else if (what == "fpga_load") {
            reached = wait_for([&] { return seen(0x02, 1); }, 10000);
        } else if (what == "just_back") {
            reached = h.wait_blocks(before + 1, 15000);
        }
        ASSERT_TRUE(reached);
        dog.disarm();
        const int64_t ms = timed_ms([] { module().stop_rx(); });
        figure("stoprx_ms_during_recovery_" + what, std::to_string(ms));
        EXPECT_LT(ms, instrumented_build() ? 1000 : 300);
        const int after_stop = h.blocks.load();
        capture.reset();
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(w.claimed_interfaces(), 0);
        EXPECT_EQ(wait_thread_count_at_most(base_threads, 2000), base_threads);
        EXPECT_EQ(descriptor_count(), base_fds);
        EXPECT_EQ(h.blocks.load(), after_stop) << "a block after StopRx";
        EXPECT_TRUE(h.error_list().empty());
        if (what == "fpga_load") {
            EXPECT_FALSE(w.fpga_configured(b));
            w.rescan();
            Host again;
            dog.arm("the start after an abandoned load", 30);
            ASSERT_TRUE(start_streaming(again)) << "the next start repairs the board";
            dog.disarm();
            EXPECT_TRUE(w.fpga_configured(b));
            stop("after the repair");
        }
    }
}

// A board that stays on the bus but delivers nothing for longer than the ring's own recovery can
// bridge is closed, opened again and brought up again; its stream then resumes.
TEST_F(StreamFaults, PresentBoardWhoseReadsKeepFailingIsBroughtUpAgain) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = rejoining_world();
    Host h;
    h.track_phase = false;
    ASSERT_TRUE(start_streaming(h));
    std::optional<support::StderrCapture> capture(std::in_place);
    auto& err = *capture;
    const size_t opens_before = w.call_log().size();
    w.pause_stream(b, 5000);
    dog.arm("a board that delivers nothing", 30);
    ASSERT_TRUE(wait_for_line(err, LOST_READS, 10000)) << err.text();
    const int before = h.blocks.load();
    ASSERT_TRUE(h.wait_blocks(before + 20, 15000)) << err.text();
    dog.disarm();
    int opens = 0;
    const auto calls = w.call_log();
    for (size_t i = opens_before; i < calls.size(); ++i)
        opens += calls[i].call == usbsim::UsbCall::open ? 1 : 0;
    EXPECT_GE(opens, 1) << "the board was opened again";
    EXPECT_GE(count_of(err.text(), BACK), 1) << err.text();
    EXPECT_TRUE(h.error_list().empty());
    stop("after bringing a present board up again");
    capture.reset();
    expect_closed(b);
}
