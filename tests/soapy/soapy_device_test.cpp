// The SoapySDR module loaded by SoapySDR's own factory, as any client loads it, on the simulated
// board this program links (the module's USB calls reach it): what a client sees when the board
// vanishes, overruns or is closed while streaming, and what is left on the bus afterwards.
#include "usbsim.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Under the sanitizers the module cannot keep up with the board's real-time stream: the board
// overruns now and then, so the checks of exact losses and unbroken time stamps are left to the
// plain build; the same threads and paths still run.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAPY_TEST_INSTRUMENTED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAPY_TEST_INSTRUMENTED 1
#endif
#endif
#ifdef SOAPY_TEST_INSTRUMENTED
constexpr bool INSTRUMENTED = true;
#else
constexpr bool INSTRUMENTED = false;
#endif

namespace {

using Clock = std::chrono::steady_clock;
const char* const ARGS = "driver=zalvo,sim=1";

int thread_count() {
    DIR* d = opendir("/proc/self/task");
    int n = 0;
    while (dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            ++n;
    if (d)
        closedir(d);
    return n;
}

// Threads now, once the runtime's helpers (a sanitizer's background thread appears at the first
// thread creation) are there.
int baseline_thread_count() {
    std::thread([] {}).join();
    int n = thread_count();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = std::max(n, thread_count());
    }
    return n;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// SoapySDR's log, kept instead of printed: overflow marks and error lines.
std::mutex log_lock;
std::vector<std::string> log_lines;
int overflow_marks = 0;
void keep_log(const SoapySDRLogLevel level, const char* message) {
    std::lock_guard<std::mutex> guard(log_lock);
    if (level == SOAPY_SDR_SSI && std::string(message) == "O")
        ++overflow_marks;
    else
        log_lines.push_back(message);
}

// The simulator's default world, anew: one cold revision-4 board pacing its stream in real
// time with a 2 MiB FIFO, "Basic Rx" in both receive slots, the default scene.
void fresh_board() {
    usbsim::World& w = usbsim::World::instance();
    w.reset();
    w.add_board(w.add_bus(), usbsim::default_board());
}

class SoapyDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        fresh_board();
        SoapySDR::registerLogHandler(&keep_log);
        {
            std::lock_guard<std::mutex> guard(log_lock);
            log_lines.clear();
            overflow_marks = 0;
        }
        threads_before = baseline_thread_count();
        device = SoapySDR::Device::make(ARGS);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        if (device) {
            if (stream)
                device->closeStream(stream);
            SoapySDR::Device::unmake(device);
        }
        expect_nothing_left();
        SoapySDR::registerLogHandler(nullptr);
    }

    void open_stream(double rate, const std::vector<size_t>& channels = {0, 1, 2, 3}) {
        device->setSampleRate(SOAPY_SDR_RX, 0, rate);
        stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, channels);
        buffers.assign(channels.size(), std::vector<std::complex<float>>(2048));
        for (auto& b : buffers)
            pointers.push_back(b.data());
        ASSERT_EQ(device->activateStream(stream), 0);
    }
    int read(long long* time_ns = nullptr, long timeout_us = 500000) {
        int flags = 0;
        long long t = 0;
        int got = device->readStream(stream, pointers.data(), 2048, flags, t, timeout_us);
        if (time_ns)
            *time_ns = t;
        return got;
    }
    // Reads `seconds` of signal; false at the first error.
    bool read_for(double seconds, double rate) {
        for (double got = 0; got < seconds * rate;) {
            int n = read();
            if (n == SOAPY_SDR_OVERFLOW && INSTRUMENTED)
                continue;
            if (n <= 0)
                return false;
            got += n;
        }
        return true;
    }

    // The board closed, no worker reading, no thread left over.
    void expect_nothing_left() {
        auto& w = usbsim::World::instance();
        EXPECT_EQ(w.open_handles(), 0);
        EXPECT_EQ(w.claimed_interfaces(), 0);
        w.clear_log();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_TRUE(w.bulk_log().empty()) << "a worker is still reading";
        EXPECT_LE(thread_count(), threads_before);
    }

    SoapySDR::Device* device = nullptr;
    SoapySDR::Stream* stream = nullptr;
    std::vector<std::vector<std::complex<float>>> buffers;
    std::vector<void*> pointers;
    int threads_before = 0;
};

// closeStream and unmake with a stream active end within 0.2 s and leave nothing open or
// running; a second make of the open board is the same device, and find keeps listing it
// while it streams, without touching the bus.
TEST_F(SoapyDevice, ClosingWhileStreamingLeavesNothing) {
    const auto found = SoapySDR::Device::enumerate(ARGS);
    ASSERT_EQ(found.size(), 1u);
    SoapySDR::Device* again = SoapySDR::Device::make(ARGS);
    EXPECT_EQ(again, device);
    SoapySDR::Device::unmake(again);

    open_stream(192000);
    ASSERT_TRUE(read_for(0.3, 192000));
    auto& w = usbsim::World::instance();
    const int rescans = w.find_busses_calls() + w.find_devices_calls();
    const int opens = w.open_handles();
    EXPECT_EQ(SoapySDR::Device::enumerate(ARGS), found);
    EXPECT_EQ(SoapySDR::Device::enumerate("driver=zalvo"), found);
    EXPECT_EQ(w.find_busses_calls() + w.find_devices_calls(), rescans) << "find rescanned the bus";
    EXPECT_EQ(w.open_handles(), opens) << "find opened the board";

    auto start = Clock::now();
    device->closeStream(stream);
    stream = nullptr;
    EXPECT_LT(seconds_since(start), 0.2);
    expect_nothing_left();

    open_stream(48000);
    ASSERT_TRUE(read_for(0.2, 48000));
    start = Clock::now();
    SoapySDR::Device::unmake(device);  // the stream still active
    device = nullptr;
    stream = nullptr;
    EXPECT_LT(seconds_since(start), 0.2);
}

// A board that leaves the bus while streaming: readStream reports a stream error within a few
// seconds (not a hang, not endless time-outs); once it is back, a new make streams again.
TEST_F(SoapyDevice, VanishedBoardIsAStreamErrorAndComesBack) {
    open_stream(96000);
    ASSERT_TRUE(read_for(0.3, 96000));
    usbsim::World::instance().detach(0);
    const auto start = Clock::now();
    int got = 0;
    while (seconds_since(start) < 8 && (got = read(nullptr, 100000)) != SOAPY_SDR_STREAM_ERROR)
        ASSERT_TRUE(got > 0 || got == SOAPY_SDR_TIMEOUT || got == SOAPY_SDR_OVERFLOW) << got;
    EXPECT_EQ(got, SOAPY_SDR_STREAM_ERROR);
    EXPECT_LT(seconds_since(start), 6.0);
    EXPECT_EQ(read(nullptr, 100000), SOAPY_SDR_STREAM_ERROR);  // and stays one

    const auto close_start = Clock::now();
    SoapySDR::Device::unmake(device);
    device = nullptr;
    stream = nullptr;
    EXPECT_LT(seconds_since(close_start), 0.2);

    usbsim::World::instance().attach(0);
    device = SoapySDR::Device::make(ARGS);
    open_stream(96000);
    EXPECT_TRUE(read_for(0.3, 96000));
}

// Samples the board drops (its FIFO overruns while the stream pauses) reach readStream through
// the module's overrun marks: OVERFLOW once, one "O" on the log and none on standard error, and
// the time jumps by what the board dropped.
TEST_F(SoapyDevice, BoardOverrunIsAnOverflowWithItsTimeJump) {
    const double rate = 48000;
    open_stream(rate, {1});
    long long t = 0;
    int n = 0;
    ASSERT_TRUE(read_for(0.3, rate));
    do
        n = read(&t);
    while (n == SOAPY_SDR_OVERFLOW && INSTRUMENTED);
    ASSERT_GT(n, 0);
    // Times go as start + samples read / rate (to the nanosecond); a jump moves the start.
    long long t0 = t, samples = n, jump = 0;
    testing::internal::CaptureStderr();
    usbsim::World::instance().pause_stream(0, 700);
    int overflows = 0;
    const auto start = Clock::now();
    while (seconds_since(start) < 3) {
        n = read(&t);
        if (n == SOAPY_SDR_OVERFLOW)
            ++overflows;
        if (n <= 0) {
            ASSERT_TRUE(n == SOAPY_SDR_OVERFLOW || n == SOAPY_SDR_TIMEOUT) << n;
            continue;
        }
        const long long expected = t0 + std::llround(samples * 1e9 / rate);
        if (std::llabs(t - expected) > 1) {
            jump += t - expected;
            t0 += t - expected;
        }
        samples += n;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const uint64_t dropped = usbsim::World::instance().samples_dropped(0);
    ASSERT_GT(dropped, 0u) << "the board did not overrun";
    EXPECT_EQ(err.find('O'), std::string::npos) << err;
    EXPECT_GE(overflows, 1);
    EXPECT_EQ(overflow_marks, overflows);
    if (INSTRUMENTED)
        return;
    EXPECT_EQ(overflows, 1);
    const double expected_ns = static_cast<double>(dropped) * 1e9 / 500000.0;
    EXPECT_NEAR(static_cast<double>(jump), expected_ns, 1e9 / rate + 1);
}

// find, getHardwareInfo and setters from other threads while a reader streams: nothing breaks
// (the ThreadSanitizer build runs this too) and the reader keeps its time stamps.
TEST_F(SoapyDevice, OtherThreadsWhileStreaming) {
    const SoapySDR::Kwargs info = device->getHardwareInfo();
    EXPECT_EQ(info.at("revision"), "4");
    EXPECT_EQ(info.at("rx_a_dboard"), "Basic Rx");
    open_stream(96000, {0, 2});
    std::atomic<bool> done{false};
    std::vector<std::thread> others;
    others.emplace_back([&] {
        while (!done)
            EXPECT_EQ(SoapySDR::Device::enumerate(ARGS).size(), 1u);
    });
    others.emplace_back([&] {
        while (!done)
            EXPECT_EQ(device->getHardwareInfo(), info);
    });
    others.emplace_back([&] {
        for (int i = 0; !done; ++i) {
            device->setFrequency(SOAPY_SDR_RX, i % 4, 3.5e6 + 1000.0 * (i % 100));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    long long t = 0, t0 = -1, samples = 0;
    int breaks = 0, errors = 0;
    const auto start = Clock::now();
    while (seconds_since(start) < 1.5) {
        int n = read(&t);
        if (n <= 0) {
            ++errors;
            continue;
        }
        if (t0 < 0)
            t0 = t;
        breaks += std::llabs(t - (t0 + std::llround(samples * 1e9 / 96000.0))) > 1;
        samples += n;
    }
    done = true;
    for (auto& th : others)
        th.join();
    if (!INSTRUMENTED) {
        EXPECT_EQ(errors, 0);
        EXPECT_EQ(breaks, 0);
    }
}

}  // namespace
