// The unchanged module, loaded with dlopen and linked to Debian's libusb 0.1, on the emulated
// usbfs bus: cold start with re-enumeration, streaming at the three rates, retuning, the failure
// texts, and the board pulled out while streaming.
#include "ZalvoIntf.h"
#include "module_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbfs_test_util.h"

using namespace usbfs_test;

namespace {

struct Module : module_host::Module {
    // The real library the module is linked to, for rescans between tests (the module itself
    // scans only once).
    void (*usb_init)() = nullptr;
    int (*usb_find_busses)() = nullptr;
    int (*usb_find_devices)() = nullptr;
};

Module& module() {
    static Module m = [] {
        Module x;
        usbfs::Bed::instance();  // before the library looks for /dev/bus/usb
        static_cast<module_host::Module&>(x) = module_host::load(ZALVO_MODULE_PATH);
        if (!x.handle)
            return x;
        void* usb = dlopen("libusb-0.1.so.4", RTLD_NOW | RTLD_NOLOAD);
        if (usb) {
            x.usb_init = reinterpret_cast<void (*)()>(dlsym(usb, "usb_init"));
            x.usb_find_busses = reinterpret_cast<int (*)()>(dlsym(usb, "usb_find_busses"));
            x.usb_find_devices = reinterpret_cast<int (*)()>(dlsym(usb, "usb_find_devices"));
        }
        return x;
    }();
    return m;
}

// What the host's callbacks saw: the receivers' samples, as complex values per receiver.
struct Host {
    std::mutex lock;
    std::vector<std::string> errors;
    std::vector<std::complex<double>> rx[4];
    std::atomic<int> blocks{0};
    std::atomic<bool> capture{false};
    size_t capture_limit = 0;
    int block_length = 512;

    void on_error(const char* text) {
        std::lock_guard<std::mutex> g(lock);
        errors.push_back(text);
    }

    void on_data(float** buffers) {
        if (capture) {
            std::lock_guard<std::mutex> g(lock);
            for (int r = 0; r < 4; ++r)
                for (int i = 0; i < block_length && rx[r].size() < capture_limit; ++i)
                    rx[r].emplace_back(buffers[r][2 * i], buffers[r][2 * i + 1]);
        }
        blocks.fetch_add(1);
    }

    // Keeps the next `count` blocks of every receiver (earlier captures dropped); true once
    // receiver 3 has them all within 10 s.
    bool capture_blocks(int count);
};

bool Host::capture_blocks(int count) {
    {
        std::lock_guard<std::mutex> g(lock);
        for (auto& v : rx)
            v.clear();
        capture_limit = size_t(count * block_length);
    }
    capture = true;
    const bool got = wait_for(
        [&] {
            std::lock_guard<std::mutex> g(lock);
            return rx[3].size() >= capture_limit;
        },
        10000);
    capture = false;
    return got;
}

ReceiverSettings settings_for(Host& h, int rate_index) {
    h.block_length = module_host::block_length_of(rate_index);
    return module_host::settings_for(h, rate_index, 0);
}

// The frequency (Hz, signed) of the strongest tone in x, searched in 250 Hz steps within +-band.
double peak_hz(const std::vector<std::complex<double>>& x, double rate, double band) {
    double best = 0, best_power = -1;
    for (double f = -band; f <= band; f += 250) {
        std::complex<double> acc = 0;
        const std::complex<double> step = std::polar(1.0, -2 * M_PI * f / rate);
        std::complex<double> rot = 1;
        for (const auto& v : x) {
            acc += v * rot;
            rot *= step;
        }
        if (std::norm(acc) > best_power) {
            best_power = std::norm(acc);
            best = f;
        }
    }
    return best;
}

// Breaks in a steady carrier: samples whose rotation from the sample before, or whose amplitude,
// differs from the steady one; a run of such samples counts once.
int phase_breaks(const std::vector<std::complex<double>>& x) {
    if (x.size() < 64)
        return -1;
    std::complex<double> step = 0;
    double amplitude = 0;
    for (size_t i = 1; i < 64; ++i) {
        step += x[i] * std::conj(x[i - 1]) / std::norm(x[i - 1]);
        amplitude += std::abs(x[i]);
    }
    step /= 63.0;
    amplitude /= 63.0;
    int breaks = 0;
    bool in_break = false;
    for (size_t i = 1; i < x.size(); ++i) {
        const bool bad = std::abs(x[i] - x[i - 1] * step) > 0.02 * amplitude ||
                         std::fabs(std::abs(x[i]) - amplitude) > 0.02 * amplitude;
        breaks += bad && !in_break;
        in_break = bad;
    }
    return breaks;
}

int reap_failure_lines(const std::string& text) {
    int n = 0;
    for (size_t at = text.find("usb_reap_async:"); at != std::string::npos;
         at = text.find("usb_reap_async:", at + 1))
        ++n;
    return n;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

class UsbfsModule : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_NE(module().handle, nullptr) << dlerror();
        ASSERT_NE(module().usb_find_devices, nullptr);
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
    }
    void TearDown() override {
        module().stop_rx();
        EXPECT_TRUE(wait_for([&] { return w.open_handles() == 0; }, 2000)) << "a handle left open";
    }
    // A new world on the bus, seen by the library the module uses.
    std::vector<usbsim::BoardId> world(const std::vector<usbsim::BoardConfig>& boards) {
        auto ids = build_world(boards);
        static bool initialised = false;
        if (!initialised)
            module().usb_init();
        initialised = true;
        module().usb_find_busses();
        module().usb_find_devices();
        return ids;
    }
    // Hosts outlive the session: TearDown stops it before they go.
    Host& new_host() {
        hosts.push_back(std::make_unique<Host>());
        return *hosts.back();
    }
    usbsim::World& w = usbsim::World::instance();
    usbfs::Bed& bed = usbfs::Bed::instance();
    std::vector<std::unique_ptr<Host>> hosts;
};

usbsim::BoardConfig with_carrier(usbsim::BoardConfig c, double hz) {
    usbsim::Carrier k;
    k.freq_hz = hz;
    k.level_dbfs = -30;
    k.input = 0;
    c.scene.carriers = {k};
    c.scene.noise_dbfs = -100.0;
    return c;
}

}  // namespace

// A board fresh from the box: the firmware goes into its RAM and the bitstream into its FPGA
// through the real library's control requests; the board re-enumerates as a new node between the
// two, and the module streams from the new node in 16 KiB URBs.
TEST_F(UsbfsModule, ColdBoardLoadsThroughTheLibraryReEnumeratesAndStreams) {
    auto ids = world({cold_board()});
    const auto nodes_before = bed.node_history().size();
    Host& h = new_host();
    ReceiverSettings s = settings_for(h, 0);
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty()) << h.errors[0];
    EXPECT_TRUE(w.firmware_running(ids[0]));
    EXPECT_TRUE(w.fpga_configured(ids[0]));
    EXPECT_EQ(bed.node_history().size(), nodes_before + 1)
        << "one new node: the re-enumerated board";
    EXPECT_EQ(bed.nodes().size(), 2u);

    // The bitstream that reached the FPGA is the image file, byte for byte.
    const std::vector<uint8_t> rbf =
        file_bytes(std::string(ZALVO_IMAGES_DIR) + "/rev4/std_4rx_0tx.rbf");
    ASSERT_FALSE(rbf.empty());
    std::vector<uint8_t> sent;
    for (const auto& r : with_request(w.control_log(), 0x02))
        if (r.index == 1)
            sent.insert(sent.end(), r.data.begin(), r.data.end());
    EXPECT_TRUE(sent == rbf) << "bitstream bytes differ: " << sent.size() << " vs " << rbf.size();

    ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= 20; }, 10000));
    // The stream arrives in 16 KiB URBs, many of them pending at once on the endpoint, so the
    // board always has somewhere to put its data.
    int completed = 0;
    for (const auto& u : urbs_on(bed.urb_log(), 0x86)) {
        EXPECT_EQ(u.length, 16384);
        if (u.completed_ms < 0)
            continue;
        ++completed;
        EXPECT_EQ(u.status, 0);
        EXPECT_EQ(u.actual, 16384);
    }
    EXPECT_GE(completed, 40);
    EXPECT_GE(bed.queue_stats().max_in_flight, 32u) << "transfers kept in flight on the file";
    module().stop_rx();
    EXPECT_FALSE(w.rx_enabled(ids[0]));
    EXPECT_TRUE(h.errors.empty());
}

// A board that takes its time to come back after the firmware starts (1.5 s, as real ones do): the
// first StartRx waits for the new node through the real library's rescans, loads the bitstream
// into it and streams.
TEST_F(UsbfsModule, SlowReEnumerationStartsOnTheFirstTry) {
    usbsim::BoardConfig c = cold_board();
    c.rejoin_after_ms = 1500;
    auto ids = world({c});
    const auto nodes_before = bed.node_history().size();
    Host& h = new_host();
    ReceiverSettings s = settings_for(h, 1);
    const auto t0 = std::chrono::steady_clock::now();
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty()) << h.errors[0];
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500))
        << "the board was back before its delay";
    EXPECT_TRUE(w.firmware_running(ids[0]));
    EXPECT_TRUE(w.fpga_configured(ids[0]));
    EXPECT_EQ(bed.node_history().size(), nodes_before + 1)
        << "one new node: the re-enumerated board";
    ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= 10; }, 10000));
}

// At each rate, every receiver hears the carrier at its own offset, and a receiver retuned while
// streaming hears it at the new one.
TEST_F(UsbfsModule, ReceiversHearTheCarrierAtTheirOffsetsAtEachRateAndAfterRetuning) {
    const double carrier = 3.61e6;
    for (int rate = 0; rate < 3; ++rate) {
        SCOPED_TRACE("rate index " + std::to_string(rate));
        auto ids = world({with_carrier(warm_board(), carrier)});
        const double fs = 48000.0 * (1 << rate);
        Host& h = new_host();
        ReceiverSettings s = settings_for(h, rate);
        module().start_rx(&s);
        ASSERT_TRUE(h.errors.empty()) << h.errors[0];
        const double tuned[4] = {3.600e6, 3.605e6, 3.615e6, 3.620e6};
        for (int r = 0; r < 4; ++r)
            module().set_rx_frequency(int32_t(tuned[r]), r);
        for (int r = 0; r < 4; ++r)
            EXPECT_EQ(w.fpga_register(ids[0], 34 + r), ddc_word(-tuned[r])) << r;

        auto capture = [&](double settle_ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(int(settle_ms)));
            EXPECT_TRUE(h.capture_blocks(4));
        };
        capture(400);
        for (int r = 0; r < 4; ++r) {
            std::lock_guard<std::mutex> g(h.lock);
            EXPECT_NEAR(peak_hz(h.rx[r], fs, 20000), carrier - tuned[r], 300) << "receiver " << r;
        }
        // Retune receiver 2 while streaming.
        module().set_rx_frequency(3612000, 2);
        EXPECT_EQ(w.fpga_register(ids[0], 36), ddc_word(-3612000.0));
        capture(400);
        {
            std::lock_guard<std::mutex> g(h.lock);
            EXPECT_NEAR(peak_hz(h.rx[2], fs, 20000), carrier - 3612000.0, 300);
            EXPECT_NEAR(peak_hz(h.rx[1], fs, 20000), carrier - tuned[1], 300) << "others unchanged";
        }
        module().stop_rx();
        EXPECT_FALSE(w.rx_enabled(ids[0]));
        EXPECT_TRUE(h.errors.empty());
    }
}

TEST_F(UsbfsModule, NoBoardOnTheBusGivesTheDeviceTextAndOpensNothing) {
    world({});
    Host& h = new_host();
    ReceiverSettings s = settings_for(h, 0);
    module().start_rx(&s);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0], "Can't create instance of USRP Rx device");
    EXPECT_EQ(bed.ioctl_counts().control, 0u) << "the other device is left alone";
    s.sample_rate_index = 5;
    world({warm_board()});
    module().start_rx(&s);
    ASSERT_EQ(h.errors.size(), 2u);
    EXPECT_EQ(h.errors[1], "Unknown sample rate");
    // The bed learns of a closed file a moment after close() returns.
    EXPECT_TRUE(wait_for([&] { return w.open_handles() == 0; }, 1000));
}

// The board pulled out while streaming: the stream stops, StopRx still returns, and every file
// on the bus is closed.
TEST_F(UsbfsModule, BoardRemovedWhileStreamingStopsCleanly) {
    auto ids = world({warm_board()});
    Host& h = new_host();
    ReceiverSettings s = settings_for(h, 2);
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty()) << h.errors[0];
    ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= 10; }, 10000));
    w.detach(ids[0]);
    ASSERT_TRUE(wait_for([&] { return bed.nodes().size() == 1; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int after = h.blocks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(h.blocks.load(), after) << "no blocks from a removed board";
    const auto t0 = std::chrono::steady_clock::now();
    module().stop_rx();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "StopRx hung";
    EXPECT_TRUE(wait_for([&] { return w.open_handles() == 0; }, 2000));
    EXPECT_TRUE(h.errors.empty()) << "errors reach the host only from StartRx";
}

// The board stops sending for 1.5 s while the URBs stay pending on the file. The transfer at the
// head of the queue times out: one failure, one line, and the stream reaches the host again as
// soon as the board sends again. The board's FIFO overflowed meanwhile; after that the receivers'
// samples are one unbroken stream again.
TEST_F(UsbfsModule, PauseOfTheBoardIsOneFailureAndTheStreamResumesAtOnce) {
    auto ids = world({with_carrier(warm_board(), 3.606e6)});
    Host& h = new_host();
    ReceiverSettings s = settings_for(h, 0);
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty()) << h.errors[0];
    ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= 20; }, 10000));

    testing::internal::CaptureStderr();
    using clock = std::chrono::steady_clock;
    const auto resume = clock::now() + std::chrono::milliseconds(1500);
    w.pause_stream(ids[0], 1500);
    std::this_thread::sleep_until(resume);
    const int at_resume = h.blocks.load();
    while (h.blocks.load() == at_resume && clock::now() - resume < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double recovery_ms =
        std::chrono::duration<double, std::milli>(clock::now() - resume).count();
    const int resumed = h.blocks.load();
    ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= resumed + 20; }, 10000));
    EXPECT_TRUE(h.capture_blocks(20));
    const std::string err = testing::internal::GetCapturedStderr();
    module().stop_rx();
    std::printf("FIGURE pause_1500ms_recovery_ms_usbfs_urbs %.0f\n", recovery_ms);
    ASSERT_GT(h.blocks.load(), at_resume) << "no block after the pause";
    EXPECT_LT(recovery_ms, 500) << "blocks came back late after the pause";
    EXPECT_EQ(reap_failure_lines(err), 1) << err;
    std::lock_guard<std::mutex> g(h.lock);
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(phase_breaks(h.rx[r]), 0) << "receiver " << r;
    EXPECT_TRUE(h.errors.empty());
}

// StopRx is quick on a streaming board, on one that has stopped sending (the worker waits for a
// block) and on one that has been pulled out.
TEST_F(UsbfsModule, StopRxIsQuickWithTheBoardPresentSilentOrGone) {
    for (const char* what : {"board_present", "board_silent", "board_gone"}) {
        const std::string mode = what;
        SCOPED_TRACE(mode);
        auto ids = world({warm_board()});
        Host& h = new_host();
        ReceiverSettings s = settings_for(h, 0);
        module().start_rx(&s);
        ASSERT_TRUE(h.errors.empty()) << h.errors[0];
        ASSERT_TRUE(wait_for([&] { return h.blocks.load() >= 10; }, 10000));
        if (mode == "board_silent") {
            w.pause_stream(ids[0], 10000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the read waits
        } else if (mode == "board_gone") {
            w.detach(ids[0]);
            ASSERT_TRUE(wait_for([&] { return bed.nodes().size() == 1; }, 2000));
            std::this_thread::sleep_for(std::chrono::milliseconds(600));  // reads failing
        }
        const auto t0 = std::chrono::steady_clock::now();
        module().stop_rx();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        std::printf("FIGURE stoprx_ms_usbfs_urbs_%s %.0f\n", what, ms);
        EXPECT_LT(ms, 500);
        EXPECT_TRUE(wait_for([&] { return w.open_handles() == 0; }, 2000));
    }
}
