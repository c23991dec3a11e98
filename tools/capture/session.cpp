#include "session.h"

#include "advice.h"
#include "picture.h"
#include "spectrum.h"
#include "stderr_tap.h"
#include "wav_writer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_signal = 0;

void on_signal(int signo) {
    g_signal = signo;
}

constexpr double FULL_SCALE = 2147483648.0;  // the module's full scale, 2^31
constexpr int STALL_SECONDS = 5;             // no block for this long: the device has failed
constexpr size_t QUEUE_LIMIT = 4096;         // blocks held for the writer at most

// Blocks handed over from the module's worker thread to the main thread.
struct Exchange {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::vector<float>> full;
    std::vector<std::vector<float>> spare;
    std::atomic<int64_t> blocks{0};
    std::atomic<int64_t> dropped{0};  // blocks the tool itself could not keep up with
    int block_length = 512;
    std::vector<std::string> errors;  // error callback texts (on the StartRx thread)
};

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Exchange* x = reinterpret_cast<Exchange*>(context);
    const size_t per_rx = 2 * static_cast<size_t>(x->block_length);
    std::vector<float> block;
    {
        std::lock_guard<std::mutex> g(x->lock);
        if (x->full.size() >= QUEUE_LIMIT) {
            x->dropped.fetch_add(1);
            x->blocks.fetch_add(1);
            return;
        }
        if (!x->spare.empty()) {
            block.swap(x->spare.back());
            x->spare.pop_back();
        }
    }
    block.resize(RECEIVERS * per_rx);
    for (int i = 0; i < RECEIVERS; ++i)
        std::memcpy(block.data() + i * per_rx, buffers[i], per_rx * sizeof(float));
    {
        std::lock_guard<std::mutex> g(x->lock);
        x->full.push_back(std::move(block));
    }
    x->blocks.fetch_add(1);
    x->ready.notify_one();
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Exchange* x = reinterpret_cast<Exchange*>(context);
    std::lock_guard<std::mutex> g(x->lock);
    x->errors.push_back(text ? text : "");
}

// The terminal: a progress line on standard output when it is a terminal, and messages on the
// real standard error, never interleaved.
class Console {
  public:
    Console(bool progress, int err_fd) : progress_(progress), err_fd_(err_fd) {}

    void progress(const std::string& line) {
        if (!progress_)
            return;
        std::lock_guard<std::mutex> g(lock_);
        std::printf("\r%s\033[K", line.c_str());
        std::fflush(stdout);
        shown_ = true;
    }
    void end_progress() {
        std::lock_guard<std::mutex> g(lock_);
        clear_locked();
    }
    void error(const std::string& text) {
        std::lock_guard<std::mutex> g(lock_);
        clear_locked();
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(err_fd_, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    }

  private:
    void clear_locked() {
        if (shown_) {
            std::printf("\r\033[K");
            std::fflush(stdout);
            shown_ = false;
        }
    }

    bool progress_;
    int err_fd_;
    std::mutex lock_;
    bool shown_ = false;
};

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

struct Receiver {
    WavWriter wav;
    std::unique_ptr<SpectrumAnalyzer> spectrum;
    PictureLabels labels;
    std::string wav_path, png_path;
};

}  // namespace

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl-C ends the program at once; the WAV headers are valid after every write.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int run_capture(const Options& o, const Module& module, const RunContext& context) {
    const bool tty = isatty(STDOUT_FILENO) && !o.quiet;
    const int err_fd = dup(STDERR_FILENO);
    Console console(tty, err_fd >= 0 ? err_fd : STDERR_FILENO);
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd >= 0)
                close(fd);
        }
    } err_closer{err_fd};

    // Output files first, so that a bad folder is found before the board is touched.
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (ec) {
        console.error("zalvo_capture: cannot create the folder " + o.out_dir + ": " + ec.message() +
                      "\n");
        return EXIT_FILES;
    }
    const int64_t target = static_cast<int64_t>(o.duration_s * o.rate_hz + 0.5);
    const int fft = fft_size_for_rate(o.rate_hz);
    Receiver rx[RECEIVERS];
    for (int i = 0; i < RECEIVERS; ++i) {
        std::string base = (std::filesystem::path(o.out_dir) / ("rx" + std::to_string(i))).string();
        rx[i].wav_path = base + ".wav";
        rx[i].png_path = base + ".png";
        std::string error;
        if (!rx[i].wav.open(rx[i].wav_path, o.rate_hz, &error)) {
            console.error("zalvo_capture: cannot write " + error + "\n");
            return EXIT_FILES;
        }
        rx[i].spectrum = std::make_unique<SpectrumAnalyzer>(fft, o.rate_hz, target, 400);
        rx[i].labels.receiver = i;
        rx[i].labels.start_hz = o.freq_hz[i];
    }

    Exchange x;
    x.block_length = 512 << rate_index(o.rate_hz);
    ReceiverSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.callback_context = reinterpret_cast<intptr_t>(&x);
    settings.sample_rate_index = rate_index(o.rate_hz);
    settings.data_callback = on_data;
    settings.error_callback = on_error;

    SdrInfo info;
    std::memset(&info, 0, sizeof info);
    module.get_sdr_info(&info);
    const std::string device = info.device_name ? info.device_name : "?";

    StderrTap tap([&](const std::string& text) { console.error(text); });
    const bool tapped = tap.start();

    const auto wall0 = Clock::now();
    const double cpu0 = cpu_seconds();
    module.start_rx(&settings);
    std::vector<std::string> errors;
    {
        std::lock_guard<std::mutex> g(x.lock);
        errors = x.errors;
    }
    if (!errors.empty()) {
        module.stop_rx();  // a board left open by a late failure is closed here
        tap.stop();
        for (const std::string& e : errors)
            console.error("zalvo_capture: the module reports \"" + e + "\".\n  " + advice_for(e) +
                          "\n");
        return EXIT_DEVICE;
    }
    for (int i = 0; i < RECEIVERS; ++i)
        module.set_rx_frequency(o.freq_hz[i], i);

    int64_t written = 0;
    size_t next_retune = 0;
    bool stalled = false, write_failed = false;
    std::string write_error;
    auto last_block_time = Clock::now();
    int64_t last_blocks = 0;
    auto next_progress = Clock::now();
    std::vector<float> scaled(2 * static_cast<size_t>(x.block_length));

    while (written < target && !g_signal) {
        std::deque<std::vector<float>> blocks;
        {
            std::unique_lock<std::mutex> g(x.lock);
            x.ready.wait_for(g, std::chrono::milliseconds(50), [&] { return !x.full.empty(); });
            blocks.swap(x.full);
        }
        for (std::vector<float>& b : blocks) {
            const int64_t take = std::min<int64_t>(x.block_length, target - written);
            for (int i = 0; i < RECEIVERS && take > 0 && !write_failed; ++i) {
                const float* src = b.data() + 2 * static_cast<size_t>(x.block_length) * i;
                for (int64_t k = 0; k < 2 * take; ++k)
                    scaled[k] = static_cast<float>(src[k] / FULL_SCALE);
                if (!rx[i].wav.write(scaled.data(), take)) {
                    write_failed = true;
                    write_error = rx[i].wav.error();
                }
                rx[i].spectrum->add(scaled.data(), take);
            }
            written += std::max<int64_t>(take, 0);
            std::lock_guard<std::mutex> g(x.lock);
            x.spare.push_back(std::move(b));
        }
        if (write_failed)
            break;

        // Retunes fall due by the signal received so far.
        const int64_t blocks_in = x.blocks.load();
        const double received_s = double(blocks_in) * x.block_length / o.rate_hz;
        while (next_retune < o.retunes.size() && o.retunes[next_retune].at_seconds <= received_s) {
            const Retune& t = o.retunes[next_retune++];
            module.set_rx_frequency(t.hz, t.receiver);
            rx[t.receiver].labels.retunes.push_back({received_s, t.hz});
        }

        const auto now = Clock::now();
        if (blocks_in != last_blocks) {
            last_blocks = blocks_in;
            last_block_time = now;
        } else if (now - last_block_time > std::chrono::seconds(STALL_SECONDS)) {
            stalled = true;
            break;
        }
        if (tty && now >= next_progress) {
            next_progress = now + std::chrono::milliseconds(250);
            double wall = std::chrono::duration<double>(now - wall0).count();
            double cpu = wall > 0 ? 100.0 * (cpu_seconds() - cpu0) / wall : 0;
            console.progress(printf_string(
                "%.1f s of %.1f s received | %lld blocks | %llu overruns | CPU %.0f%%",
                std::min(received_s, o.duration_s), o.duration_s, static_cast<long long>(blocks_in),
                static_cast<unsigned long long>(tap.overruns()), cpu));
        }
    }
    const int signo = g_signal;
    const auto stop0 = Clock::now();
    module.stop_rx();
    const auto stop1 = Clock::now();
    const double wall = std::chrono::duration<double>(stop0 - wall0).count();
    const double cpu = wall > 0 ? 100.0 * (cpu_seconds() - cpu0) / wall : 0;
    tap.stop();
    console.end_progress();

    const double seconds = double(written) / o.rate_hz;
    bool pictures_ok = true;
    for (int i = 0; i < RECEIVERS; ++i) {
        rx[i].wav.close();
        rx[i].labels.seconds = seconds;
        rx[i].labels.interrupted = signo != 0;
        std::string error;
        if (!write_picture(rx[i].png_path, *rx[i].spectrum, rx[i].labels, &error)) {
            console.error("zalvo_capture: cannot write the picture " + error + "\n");
            pictures_ok = false;
        }
    }

    release_picture_caches();

    // Summary.
    std::printf("zalvo_capture: %.2f s of signal at %d Hz from \"%s\"%s\n", seconds, o.rate_hz,
                device.c_str(), context.simulated ? " (simulated board)" : "");
    std::string overruns = tapped ? std::to_string(tap.overruns()) + " reported by the module"
                                  : "not counted (standard error could not be watched)";
    std::printf("  %lld blocks delivered (%.2f per second of streaming; 93.75 is real time); "
                "overruns: %s\n",
                static_cast<long long>(x.blocks.load()), wall > 0 ? x.blocks.load() / wall : 0.0,
                overruns.c_str());
    if (context.simulator_dropped)
        std::printf("  the simulated board dropped %lld sample instants\n",
                    static_cast<long long>(context.simulator_dropped()));
    if (x.dropped.load() > 0)
        std::printf("  %lld blocks lost because this program fell behind\n",
                    static_cast<long long>(x.dropped.load()));
    std::printf("  %.1f s streaming, CPU %.0f%% of one core%s; StopRx took %.1f s\n", wall, cpu,
                context.simulated ? " (the simulated board's work included)" : "",
                std::chrono::duration<double>(stop1 - stop0).count());
    for (int i = 0; i < RECEIVERS; ++i) {
        std::printf("  rx%d %s  %s (%lld samples)  %s\n", i,
                    printf_string("%.6f MHz", o.freq_hz[i] / 1e6).c_str(), rx[i].wav_path.c_str(),
                    static_cast<long long>(rx[i].wav.frames_written()), rx[i].png_path.c_str());
        for (const TuningChange& c : rx[i].labels.retunes)
            std::printf("      retuned to %.6f MHz at %.2f s\n", c.hz / 1e6, c.at_s);
    }
    std::fflush(stdout);

    if (write_failed) {
        console.error("zalvo_capture: cannot write " + write_error + "\n");
        return EXIT_FILES;
    }
    if (signo) {
        console.error(printf_string("zalvo_capture: %s after %.2f s of signal; the files hold "
                                    "what was received.\n",
                                    signo == SIGINT ? "interrupted" : "terminated", seconds));
        return signo == SIGINT ? EXIT_INTERRUPTED : EXIT_TERMINATED;
    }
    if (stalled) {
        console.error(printf_string(
            "zalvo_capture: no data from the board for %d s (after %.2f s of signal). Check that "
            "it is still plugged in and powered; the device layer's messages above tell more. "
            "The files hold what was received.\n",
            STALL_SECONDS, seconds));
        return EXIT_DEVICE;
    }
    return pictures_ok ? EXIT_DONE : EXIT_FILES;
}

}  // namespace capture
