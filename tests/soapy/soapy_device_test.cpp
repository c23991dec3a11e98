// The SoapySDR module loaded by SoapySDR's own factory, as any client loads it, on the simulated
// board this program links (the module's simulated bus is the same library): what a client sees
// when a board leaves the bus and returns, overruns or is closed while streaming, two boards at
// once, and what is left on the bus afterwards.
#include "signal_measure.h"
#include "sim_board.h"
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

std::string logged() {
    std::lock_guard<std::mutex> guard(log_lock);
    std::string all;
    for (const auto& line : log_lines)
        all += line + "\n";
    return all;
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

// Requests and opens that reached board `b` in the logs since they were cleared.
int traffic_to(usbsim::BoardId b) {
    auto& w = usbsim::World::instance();
    int n = 0;
    for (const auto& c : w.control_log())
        n += c.board == b;
    for (const auto& c : w.call_log())
        n += c.board == b;
    return n;
}

// closeStream and unmake with a stream active end within 0.2 s and leave nothing open or
// running; a second make of the open board (by another argument naming it) is the same device,
// and find keeps listing it while it streams without a request to it. A reader waiting on a paused
// stream returns as soon as the device goes, and the time stamps after a pause show it.
TEST_F(SoapyDevice, ClosingWhileStreamingLeavesNothing) {
    const auto found = SoapySDR::Device::enumerate(ARGS);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].at("serial"), "sim-0");
    EXPECT_EQ(found[0].at("sim"), "1");
    SoapySDR::Device* again = SoapySDR::Device::make("driver=zalvo,sim=1,index=0");
    EXPECT_EQ(again, device);
    SoapySDR::Device::unmake(again);

    open_stream(192000);
    ASSERT_TRUE(read_for(0.3, 192000));
    auto& w = usbsim::World::instance();
    const int opens = w.open_handles();
    w.clear_log();
    EXPECT_EQ(SoapySDR::Device::enumerate(ARGS), found);
    EXPECT_EQ(SoapySDR::Device::enumerate("driver=zalvo,sim=1,serial=sim-0"), found);
    EXPECT_EQ(traffic_to(0), 0) << "find sent a request to the streaming board";
    EXPECT_EQ(w.open_handles(), opens) << "find left a handle open";

    auto start = Clock::now();
    device->closeStream(stream);
    stream = nullptr;
    EXPECT_LT(seconds_since(start), 0.2);
    expect_nothing_left();

    open_stream(48000);
    ASSERT_TRUE(read_for(0.2, 48000));
    long long before = 0, after = 0;
    int n = read(&before);
    ASSERT_GT(n, 0);
    before += std::llround(n * 1e9 / 48000);
    ASSERT_EQ(device->deactivateStream(stream), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(device->activateStream(stream), 0);
    while ((n = read(&after)) == SOAPY_SDR_OVERFLOW && INSTRUMENTED) {
    }
    ASSERT_GT(n, 0);
    EXPECT_GE(after - before, 400000000LL) << "the time stamps hide the pause";
    EXPECT_LT(after - before, 5000000000LL);

    ASSERT_EQ(device->deactivateStream(stream), 0);
    std::atomic<int> code{0};
    std::thread reader([&] { code = read(nullptr, 20000000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    start = Clock::now();
    SoapySDR::Device::unmake(device);  // a reader waits on the paused stream
    reader.join();
    device = nullptr;
    stream = nullptr;
    EXPECT_LT(seconds_since(start), 0.5) << "the waiting reader held unmake up";
    EXPECT_EQ(code, SOAPY_SDR_STREAM_ERROR);
}

// A board that leaves the bus while streaming and comes back cold: reads time out while it is
// away (one warning on the log, no stream error), then one OVERFLOW, and the time stamps jump by
// the samples the absence cost (within one block); the ThreadSanitizer build runs the recovery.
// (The Python client checks the carrier after a retune while away.) With reconnect=0 the stream
// ends in a stream error instead.
TEST_F(SoapyDevice, BoardLeavesTheBusAndComesBack) {
    const double rate = 96000;
    const size_t block = 1024;
    open_stream(rate, {1});
    ASSERT_TRUE(read_for(0.5, rate));
    long long t = 0;
    int n = read(&t);
    ASSERT_GT(n, 0);
    long long end_ns = t + std::llround(n * 1e9 / rate);
    auto last_data = Clock::now();
    usbsim::World::instance().detach(0);
    const auto detached = Clock::now();
    int timeouts = 0;
    while (seconds_since(detached) < 2.0) {
        n = read(&t, 100000);
        if (n == SOAPY_SDR_OVERFLOW && INSTRUMENTED)
            continue;
        if (n > 0) {  // what was on its way
            ASSERT_LT(seconds_since(detached), INSTRUMENTED ? 1.5 : 0.5);
            end_ns = t + std::llround(n * 1e9 / rate);
            last_data = Clock::now();
            continue;
        }
        ASSERT_EQ(n, SOAPY_SDR_TIMEOUT) << "after " << seconds_since(detached) << " s";
        ++timeouts;
    }
    EXPECT_GE(timeouts, 10);
    usbsim::World::instance().attach(0);  // cold: images loaded again

    int overflows = 0;
    const auto back = Clock::now();
    while ((n = read(&t, 100000)) <= 0 && seconds_since(back) < 10) {
        ASSERT_TRUE(n == SOAPY_SDR_TIMEOUT || n == SOAPY_SDR_OVERFLOW) << n;
        overflows += n == SOAPY_SDR_OVERFLOW;
    }
    ASSERT_GT(n, 0) << "no samples after the board came back; the log:\n" << logged();
    // Blocks come as late after their samples before the absence as after it: the time between
    // the last read before and the first after, less the block that first read brought, is what
    // the absence cost.
    const double away = std::chrono::duration<double>(Clock::now() - last_data).count();
    if (INSTRUMENTED) {
        EXPECT_GE(overflows, 1);
    } else {
        EXPECT_EQ(overflows, 1);
    }
    {
        std::lock_guard<std::mutex> guard(log_lock);
        int warnings = 0;
        for (const auto& line : log_lines)
            warnings += line.find("left the USB bus") != std::string::npos;
        EXPECT_EQ(warnings, 1) << "one warning per absence";
    }
    const double jump = (t - end_ns) * rate / 1e9;  // samples
    if (!INSTRUMENTED) {
        EXPECT_NEAR(jump, away * rate - block, block) << "away " << away << " s";
    }

    // reconnect=0: the stream ends in a stream error within a few seconds, and stays one.
    device->closeStream(stream);
    stream = nullptr;
    SoapySDR::Device::unmake(device);
    device = SoapySDR::Device::make(std::string(ARGS) + ",reconnect=0");
    open_stream(rate, {1});
    ASSERT_TRUE(read_for(0.3, rate));
    usbsim::World::instance().detach(0);
    const auto start = Clock::now();
    while (seconds_since(start) < 8 && (n = read(nullptr, 100000)) != SOAPY_SDR_STREAM_ERROR)
        ASSERT_TRUE(n > 0 || n == SOAPY_SDR_TIMEOUT || n == SOAPY_SDR_OVERFLOW) << n;
    EXPECT_EQ(n, SOAPY_SDR_STREAM_ERROR);
    EXPECT_LT(seconds_since(start), 6.0);
    EXPECT_EQ(read(nullptr, 100000), SOAPY_SDR_STREAM_ERROR);
    usbsim::World::instance().attach(0);
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

// One board streaming four channels at 192 kHz on a thread of its own: what its reader saw.
struct Streamer {
    SoapySDR::Device* device = nullptr;
    SoapySDR::Stream* stream = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<long long> samples{0};
    std::atomic<int> errors{0}, overflows{0}, breaks{0};
    std::mutex last_lock;
    std::vector<std::complex<float>> last;  // channel 0's last reads

    void start(SoapySDR::Device* d) {
        device = d;
        device->setSampleRate(SOAPY_SDR_RX, 0, 192000);
        for (size_t c = 0; c < 4; ++c)
            device->setFrequency(SOAPY_SDR_RX, c, 3.55e6);
        stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, {0, 1, 2, 3});
        ASSERT_EQ(device->activateStream(stream), 0);
        thread = std::thread([this] { run(); });
    }
    void run() {
        std::vector<std::vector<std::complex<float>>> b(4, std::vector<std::complex<float>>(2048));
        std::vector<void*> p;
        for (auto& v : b)
            p.push_back(v.data());
        long long next = -1;
        while (!stop) {
            int flags = 0;
            long long t = 0;
            const int n = device->readStream(stream, p.data(), 2048, flags, t, 500000);
            if (n == SOAPY_SDR_OVERFLOW) {
                ++overflows;
                next = -1;
                continue;
            }
            if (n <= 0) {
                ++errors;
                continue;
            }
            breaks += next >= 0 && std::llabs(t - next) > 1;
            next = t + std::llround(n * 1e9 / 192000);
            samples += n;
            std::lock_guard<std::mutex> guard(last_lock);
            last.insert(last.end(), b[0].begin(), b[0].begin() + n);
            if (last.size() > 96000)
                last.erase(last.begin(), last.end() - 48000);
        }
    }
    void end() {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (stream)
            device->closeStream(stream);
        stream = nullptr;
    }
    // The carrier's amplitude at `offset` Hz in channel 0's last reads.
    double at(double offset) {
        std::lock_guard<std::mutex> guard(last_lock);
        return support::tone_amplitude(last, 0, std::min<size_t>(last.size(), 48000), offset,
                                       192000);
    }
};

// Two boards on one bus, each with a carrier of its own: found with two serials, both stream
// four channels at 192 kHz at once without a loss, each showing its own carrier; one of them
// leaving the bus, then being unmade, leaves the other streaming.
TEST_F(SoapyDevice, TwoBoardsStreamIndependently) {
    SoapySDR::Device::unmake(device);
    device = nullptr;
    auto& w = usbsim::World::instance();
    w.reset();
    const int bus = w.add_bus();
    const double carriers[2] = {3.52e6, 3.58e6};
    for (double f : carriers) {
        usbsim::BoardConfig c = usbsim::default_board();
        c.scene.carriers = {support::carrier(f, -30)};
        w.add_board(bus, c);
    }
    const auto found = SoapySDR::Device::enumerate(ARGS);
    ASSERT_EQ(found.size(), 2u);
    ASSERT_NE(found[0].at("serial"), found[1].at("serial"));
    Streamer boards[2];
    for (int i = 0; i < 2; ++i) {
        SoapySDR::Device* d = SoapySDR::Device::make(found[size_t(i)]);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->getHardwareInfo().at("serial"), found[size_t(i)].at("serial"));
        boards[i].start(d);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(SoapySDR::Device::enumerate(ARGS), found) << "find while both stream";

    const double step = 64e6 / 4294967296.0;
    const double tuned = std::round(3.55e6 / step) * step;
    for (int i = 0; i < 2; ++i) {
        // Under the sanitizers the boards overrun and the readers lag: that they stream is enough.
        EXPECT_GT(boards[i].samples, INSTRUMENTED ? 9600 : 192000) << "board " << i;
        EXPECT_GT(boards[i].at(carriers[i] - tuned), 10 * boards[i].at(carriers[1 - i] - tuned))
            << "board " << i << " shows the other's carrier";
        if (!INSTRUMENTED) {
            EXPECT_EQ(boards[i].overflows, 0) << "board " << i;
            EXPECT_EQ(boards[i].breaks, 0) << "board " << i;
        }
        EXPECT_EQ(boards[i].errors, 0) << "board " << i;
    }

    // Board 0 leaves the bus, then is closed and unmade: board 1 streams on.
    const long long before = boards[1].samples;
    const int overflows = boards[1].overflows;
    w.detach(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    boards[0].end();
    SoapySDR::Device::unmake(boards[0].device);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_GT(boards[1].samples - before, INSTRUMENTED ? 9600 : 192000)
        << "board 1 stopped with board 0";
    EXPECT_EQ(boards[1].errors, 0);
    if (!INSTRUMENTED) {
        EXPECT_EQ(boards[1].overflows, overflows);
    }
    boards[1].end();
    SoapySDR::Device::unmake(boards[1].device);
}

}  // namespace
