// StartRx's failures as a host sees them: the fixed text through the error callback on the
// calling thread, and the state left behind, seen on the bus: after the first four kinds no
// device, no worker and no open handle; after a worker that could not be started, the device
// still open and reachable until StopRx. Also an allocation failing at each point of a start.
#include "e2e_support.h"
#include "thread_seam.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

const char* const NO_DEVICE = "Can't create instance of USRP Rx device";

class StartFailure : public ::testing::Test {
  protected:
    void SetUp() override {
        usbsim::World::instance().reset();
        fail_thread_creation(0);
        threads_before = baseline_thread_count();
    }
    void TearDown() override {
        fail_thread_creation(0);
        module().stop_rx();
        usbsim::World::instance().reset();
    }

    // Idle: no handle, no interface held, and neither tuning nor StopRx reaches the bus; no
    // worker is left reading; no thread is left over.
    void expect_idle() {
        auto& w = usbsim::World::instance();
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(w.claimed_interfaces(), 0);
        w.clear_log();
        module().set_rx_frequency(7050000, 1);
        module().stop_rx();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_TRUE(w.control_log().empty()) << "a device is still open";
        EXPECT_TRUE(w.bulk_log().empty()) << "a worker is still reading";
        EXPECT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 3000))
            << thread_count() << " threads, " << threads_before << " before";
    }

    // The device was built and torn down again: after its last request of construction, the
    // receive path was switched off and both codecs' receive side shut down.
    void expect_torn_down(uint64_t after_seq) {
        auto log = usbsim::World::instance().control_log();
        bool disabled = false;
        int shutdowns = 0;
        for (const auto& c : log) {
            if (c.seq <= after_seq)
                continue;
            if (c.request == 0x06 && c.value == 0)
                disabled = true;
            if (disabled && c.request == 0x09 && c.value == 1 && c.data.size() == 1 &&
                c.data[0] == 0x01 && (c.index == 0x0220 || c.index == 0x0420))
                ++shutdowns;
        }
        EXPECT_TRUE(disabled);
        EXPECT_EQ(shutdowns, 2);
    }

    uint64_t seq_of_caps_read() {
        for (const auto& c : usbsim::World::instance().control_log())
            if (c.request == 0x82 && c.value == 0x83 && c.index == 0x0120)
                return c.seq;
        ADD_FAILURE() << "no capability read";
        return 0;
    }

    int threads_before = 0;
};

}  // namespace

TEST_F(StartFailure, NoBoard) {
    Host h(0);
    h.start();
    EXPECT_EQ(h.errors(), std::vector<std::string>{NO_DEVICE});
    ASSERT_EQ(h.error_threads().size(), 1u);
    EXPECT_EQ(h.error_threads()[0], std::this_thread::get_id());
    EXPECT_TRUE(usbsim::World::instance().control_log().empty());
    expect_idle();
    EXPECT_EQ(h.blocks.load(), 0);
}

// A cold board whose new firmware never brings it back on the bus: StartRx gives up after its
// bound of 5 s of waiting with the device text, and the bitstream step says why.
TEST_F(StartFailure, ColdBoardThatNeverRejoins) {
    auto& w = usbsim::World::instance();
    usbsim::BoardConfig c = board_config(false);
    c.rejoin_after_ms = usbsim::BoardConfig::REJOIN_NEVER;
    usbsim::BoardId b = attach_board(c);
    Host h(0);
    StderrCapture err;
    const auto t0 = std::chrono::steady_clock::now();
    h.start();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(h.errors(), std::vector<std::string>{NO_DEVICE});
    ASSERT_EQ(h.error_threads().size(), 1u);
    EXPECT_EQ(h.error_threads()[0], std::this_thread::get_id());
    EXPECT_GE(took, 5.0) << "gave up before the bound";
    EXPECT_LT(took, 6.0);
    EXPECT_TRUE(w.firmware_running(b));
    EXPECT_FALSE(w.on_bus(b));
    EXPECT_NE(err.text().find("usrp: failed to find usrp[0]\n"), std::string::npos) << err.text();
    expect_idle();
}

// The rate is checked once the device is open, so it is built and torn down again.
TEST_F(StartFailure, UnknownSampleRate) {
    auto& w = usbsim::World::instance();
    attach_board(board_config(true));
    for (int index : {3, -1, 1000}) {
        SCOPED_TRACE(index);
        w.clear_log();
        Host h(index);
        h.start();
        EXPECT_EQ(h.errors(), std::vector<std::string>{"Unknown sample rate"});
        ASSERT_EQ(h.error_threads().size(), 1u);
        EXPECT_EQ(h.error_threads()[0], std::this_thread::get_id());
        expect_torn_down(seq_of_caps_read());
        EXPECT_TRUE(matching(w.control_log(), {0x06, 1, {}, {}}).empty()) << "never enabled";
        expect_idle();
        EXPECT_EQ(h.blocks.load(), 0);
    }
}

TEST_F(StartFailure, BoardRefusesTheCapabilityRead) {
    auto& w = usbsim::World::instance();
    attach_board(board_config(true));
    w.fail_control_matching({0x82, 0x83, 0x0120, 0xC0}, usbsim::Fault{});
    Host h(0);
    StderrCapture err;
    h.start();
    EXPECT_EQ(h.errors(), std::vector<std::string>{NO_DEVICE});
    EXPECT_NE(err.text().find("usrp_standard_common: failed to read FPGA cap register.\n"),
              std::string::npos)
        << err.text();
    expect_torn_down(seq_of_caps_read());
    expect_idle();
}

// A board with two down-converters cannot give four receivers: the marker word that stands for
// two, and a plain two.
TEST_F(StartFailure, TwoDownConverters) {
    auto& w = usbsim::World::instance();
    for (uint32_t caps : {0xAA55FF77u, 2u}) {
        SCOPED_TRACE(caps);
        w.reset();
        usbsim::BoardConfig c = board_config(true);
        c.capabilities = caps;
        attach_board(c);
        Host h(0);
        StderrCapture err;
        h.start();
        EXPECT_EQ(h.errors(), std::vector<std::string>{NO_DEVICE});
        EXPECT_NE(err.text().find("usrp_standard_rx: set_nchannels failed\n"), std::string::npos)
            << err.text();
        uint64_t caps_seq = seq_of_caps_read();
        for (const auto& r : w.control_log())
            EXPECT_FALSE(r.seq > caps_seq && r.request == 0x09 && r.index == 0x0120 &&
                         r.value == 38)
                << "the channel count is refused before it is written";
        expect_torn_down(caps_seq);
        expect_idle();
    }
}

// Without an error callback every failure is silent and leaves the same state.
TEST_F(StartFailure, SilentWithoutAnErrorCallback) {
    Host h(0);
    ReceiverSettings s = h.settings();
    s.error_callback = nullptr;
    module().start_rx(&s);
    expect_idle();
    attach_board(board_config(true));
    s.sample_rate_index = 7;
    module().start_rx(&s);
    expect_idle();
    EXPECT_TRUE(h.errors().empty());
}

// The worker is the last thread StartRx creates. Counted on a session that starts, then made to
// fail on the next one.
TEST_F(StartFailure, WorkerThreadCannotBeStarted) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = attach_board(board_config(true));
    int created_by_start = 0;
    {
        Host h(0);
        int before = thread_creations();
        h.start();
        created_by_start = thread_creations() - before;
        ASSERT_TRUE(h.wait_blocks(1));
        h.stop();
    }
    ASSERT_GE(created_by_start, 1);
    ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 3000));

    w.clear_log();
    Host h(0);
    fail_thread_creation(created_by_start);
    h.start();
    fail_thread_creation(0);
    EXPECT_EQ(h.errors(), std::vector<std::string>{"Can't start worker thread"});
    ASSERT_EQ(h.error_threads().size(), 1u);
    EXPECT_EQ(h.error_threads()[0], std::this_thread::get_id());

    // Open without a worker: the device stays open and reachable, nothing streams.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(w.open_handles(), 1);
    EXPECT_FALSE(w.rx_enabled(b));
    EXPECT_TRUE(on_endpoint(w.bulk_log(), 0x86).empty());
    EXPECT_EQ(h.blocks.load(), 0);
    w.clear_log();
    module().set_rx_frequency(7050000, 1);
    EXPECT_EQ(w.fpga_register(b, 35),
              uint32_t(int32_t(std::nearbyint(-7050000.0 / ADC_HZ * 4294967296.0))));
    EXPECT_EQ(w.control_log().size(), 1u);

    // StopRx destroys it.
    const uint64_t before_stop = w.control_log().back().seq;
    h.stop();
    expect_torn_down(before_stop);
    expect_idle();
}

// Each allocation that the module's code makes during StartRx (counted on a clean start), made
// to fail in turn: the host hears at most one text and the session is in the state that text
// stands for, or the start survives and streams. After StopRx nothing is open, no thread is
// left, and every allocation the start made has been freed again.
TEST_F(StartFailure, AllocationFailureAtEachPointOfAStart) {
    auto& w = usbsim::World::instance();
    attach_board(board_config(true));
    const void* module_code = reinterpret_cast<const void*>(module().start_rx);
    int total = 0;
    for (int session = 0; session < 2; ++session) {  // the first one also makes lasting tables
        Host h(0);
        arm_module_allocations(module_code, 0);
        h.start();
        total = disarm_module_allocations();
        ASSERT_TRUE(h.errors().empty()) << h.errors()[0];
        ASSERT_TRUE(h.wait_blocks(1));
        h.stop();
        ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 3000));
        if (session == 1) {
            EXPECT_EQ(module_allocations_alive(), 0) << "a clean session frees what its start made";
        }
    }
    ASSERT_GT(total, 0) << "the seam sees the module's allocations";

    std::map<std::string, int> outcomes;
    for (int k = 1; k <= total; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total));
        w.clear_log();
        Host h(0);
        arm_module_allocations(module_code, k);
        h.start();
        disarm_module_allocations();
        const std::vector<std::string> errors = h.errors();
        ASSERT_LE(errors.size(), 1u);
        const std::string outcome = errors.empty() ? "streams" : errors[0];
        ++outcomes[outcome];
        if (outcome == "streams") {
            EXPECT_TRUE(h.wait_blocks(1));
        } else if (outcome == "Can't start worker thread") {
            EXPECT_EQ(w.open_handles(), 1) << "open without a worker";
        } else {
            EXPECT_TRUE(outcome == "Low memory" || outcome == NO_DEVICE ||
                        outcome == "Can't initialize resamplers")
                << outcome;
            EXPECT_EQ(w.open_handles(), 0);
            EXPECT_EQ(h.blocks.load(), 0);
        }
        h.stop();
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(w.claimed_interfaces(), 0);
        // The last of a thread's records goes with the thread itself.
        ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 3000))
            << thread_count() << " threads, " << threads_before << " before";
        EXPECT_EQ(module_allocations_alive(), 0) << "leaked by the failed start";
    }
    for (const auto& o : outcomes)
        std::printf("allocation failures at start: %d x %s\n", o.second, o.first.c_str());
    std::printf("(%d allocations of the module counted in a start)\n", total);
}

// ---- after StartRx has returned -------------------------------------------------------------

namespace {
const usbsim::ControlMatch RX_ENABLE_ON = {0x06, 1, {}, {}};
}

// The board refuses the worker's receive enable three times (stalled, failed, timed out): the
// worker tries again until it takes it, and the stream then flows. StartRx had nothing to report.
TEST_F(StartFailure, ReceiveEnableRefusedInTheWorker) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = attach_board(board_config(true));
    usbsim::Fault timeout{usbsim::FaultKind::timeout};
    timeout.wait_ms = 50;
    w.fail_control_matching(RX_ENABLE_ON, usbsim::Fault{});
    w.fail_control_matching(RX_ENABLE_ON, usbsim::Fault{usbsim::FaultKind::io_error});
    w.fail_control_matching(RX_ENABLE_ON, timeout);
    Host h(0);
    StderrCapture err;
    h.start();
    EXPECT_TRUE(h.errors().empty());
    ASSERT_TRUE(h.wait_blocks(3)) << err.text();
    EXPECT_TRUE(w.rx_enabled(b));
    std::vector<usbsim::ControlRecord> enables = matching(w.control_log(), RX_ENABLE_ON);
    ASSERT_EQ(enables.size(), 4u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_LT(enables[i].result, 0) << i;
    EXPECT_EQ(enables[3].result, 0);
    const std::string text = err.text();
    EXPECT_NE(text.find("StreamWorker: the receive path did not start; trying again\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("StreamWorker: the receive path started after 3 failed attempts\n"),
              std::string::npos)
        << text;
    h.stop();
    EXPECT_FALSE(w.rx_enabled(b));
    expect_idle();
}

// The enable never works: nothing reaches the host, the worker keeps trying at a bounded pace,
// and StopRx ends the session as promptly as with a streaming board.
TEST_F(StartFailure, StopRxWhileTheReceiveEnableKeepsFailing) {
    auto& w = usbsim::World::instance();
    attach_board(board_config(true));
    for (int i = 0; i < 200; ++i)
        w.fail_control_matching(RX_ENABLE_ON, usbsim::Fault{});
    Host h(0);
    StderrCapture err;
    h.start();
    EXPECT_TRUE(h.errors().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t attempts = matching(w.control_log(), RX_ENABLE_ON).size();
    const auto t0 = std::chrono::steady_clock::now();
    h.stop();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("enable refused: %zu attempts in 1.5 s; StopRx took %.0f ms\n", attempts, ms);
    EXPECT_GE(attempts, 4u);
    EXPECT_LE(attempts, 12u) << "the attempts back off";
    EXPECT_LT(ms, 2000.0);
    EXPECT_EQ(h.blocks.load(), 0);
    const std::string text = err.text();
    size_t lines = 0;
    for (size_t at = text.find("StreamWorker:"); at != std::string::npos;
         at = text.find("StreamWorker:", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << text;
    w.clear_faults();
    expect_idle();
}
