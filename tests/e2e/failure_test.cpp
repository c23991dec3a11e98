// StartRx's failures as a host sees them: the fixed text through the error callback on the
// calling thread, and the state left behind, seen on the bus: after the first four kinds no
// device, no worker and no open handle; after a worker that could not be started, the device
// still open and reachable until StopRx.
#include "e2e_support.h"
#include "thread_seam.h"

#include <gtest/gtest.h>

#include <chrono>
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
