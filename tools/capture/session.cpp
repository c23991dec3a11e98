#include "session.h"

#include "advice.h"
#include "losses.h"
#include "outputs.h"
#include "sigmf.h"
#include "stderr_tap.h"
#include "sys.h"
#if ZALVO_CAPTURE_PICTURES
#include "picture.h"
#include "spectrum.h"
#endif

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <deque>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_signal = 0;
int g_message_fd = STDERR_FILENO;  // the real standard error, also while it is tapped

void say(const char* text) {
    ssize_t n = ::write(g_message_fd, text, std::strlen(text));
    (void)n;
}

// What the interrupt handler says depends on these.
volatile std::sig_atomic_t g_files_made = 0;      // the run's files exist
volatile std::sig_atomic_t g_files_sigmf = 0;     // ... with SigMF meta files
volatile std::sig_atomic_t g_progress_shown = 0;  // a progress line is on the terminal

void on_signal(int signo) {
    if (g_signal == 0) {
        g_signal = signo;
        if (g_progress_shown)
            say("\n");
        say(g_files_made ? "zalvo_capture: stopping; the files are being closed (press Ctrl-C "
                           "again to end at once)\n"
                         : "zalvo_capture: stopping (press Ctrl-C again to end at once)\n");
        return;
    }
    // The sample files are valid after every write, and so is each meta file since it was
    // made; the pictures and the final metadata are not written.
    if (!g_files_made)
        say("zalvo_capture: second interrupt: ending at once; no file was written\n");
    else if (g_files_sigmf)
        say("zalvo_capture: second interrupt: ending at once; the sample files stay valid, each "
            "meta file says what it said at the start, and pictures are not written\n");
    else
        say("zalvo_capture: second interrupt: ending at once; the sample files stay valid, "
            "pictures are not written\n");
    remove_meta_reserves_now();
    std::_Exit(128 + signo);
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
    int rate_hz = 48000;
    int64_t target = 0;                      // samples to record
    std::vector<std::string> errors;         // error callback texts (on the StartRx thread)
    std::atomic<int64_t> first_block_ns{0};  // steady clock, for the rate of the steady stream
    std::atomic<int64_t> last_block_ns{0};
    std::chrono::system_clock::time_point first_block_utc;  // under `lock`
    LossLog losses;

    // Where the next block lands in the recording, and the signal time reached.
    int64_t file_position() const {
        return std::min<int64_t>(target, (blocks.load() - dropped.load()) * block_length);
    }
    double signal_seconds() const { return double(blocks.load()) * block_length / rate_hz; }
};

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Exchange* x = reinterpret_cast<Exchange*>(context);
    const size_t per_rx = 2 * static_cast<size_t>(x->block_length);
    const int64_t now = steady_ns();
    x->last_block_ns.store(now);
    std::vector<float> block;
    {
        std::lock_guard<std::mutex> g(x->lock);
        if (x->first_block_ns.load() == 0) {
            x->first_block_ns.store(now);
            x->first_block_utc = std::chrono::system_clock::now();
        }
        if (x->full.size() >= QUEUE_LIMIT) {
            LossEvent e;
            e.source = LossSource::tool_behind;
            e.at_s = x->signal_seconds();
            e.sample_start = x->file_position();
            e.samples = x->block_length;
            x->losses.add(e);
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
        g_progress_shown = 1;
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
            g_progress_shown = 0;
        }
    }

    bool progress_;
    int err_fd_;
    std::mutex lock_;
    bool shown_ = false;
};

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

}  // namespace

int pending_signal() {
    return g_signal;
}

void note_files_made(bool sigmf) {
    g_files_sigmf = sigmf;
    g_files_made = 1;
}

std::string signal_length_text(int64_t samples, double rate_hz) {
    // Below a hundredth of a second, "0.00 s" would say there is nothing.
    if (samples > 0 && samples * 100 < rate_hz)
        return printf_string("%lld sample%s (%.2f ms)", static_cast<long long>(samples),
                             samples == 1 ? "" : "s", 1e3 * samples / rate_hz);
    return printf_string("%.2f s", samples / rate_hz);
}

void install_signal_handlers() {
    // A second Ctrl-C ends the program at once; the WAV headers are valid after every write.
    sys::on_interrupt(on_signal);
}

namespace {

// One receiver's measurements beside its files.
struct ReceiverState {
#if ZALVO_CAPTURE_PICTURES
    std::unique_ptr<SpectrumAnalyzer> spectrum;
    PictureLabels labels;
#endif
    std::vector<std::pair<double, int32_t>> retunes;  // signal time and new tuning
    std::vector<SigmfSegment> segments;
    int64_t clipped = 0;  // samples with I or Q at or above full scale
    float peak = 0;       // largest |I| or |Q|
    std::vector<float> scaled;
};

constexpr double BOARD_RATE_HZ = 500000.0;  // the board's stream, which the module resamples

}  // namespace

int run_capture(const Options& o, const Module& module, const RunContext& context) {
    const bool tty = sys::stdout_is_terminal() && !o.quiet;
    const int err_fd = dup(STDERR_FILENO);
    Console console(tty, err_fd >= 0 ? err_fd : STDERR_FILENO);
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd >= 0)
                close(fd);
        }
    } err_closer{err_fd};
    if (err_fd >= 0)
        g_message_fd = err_fd;

    // The files are checked before the board is touched, and made only when data arrives.
    Outputs outputs(o);
    std::string error;
    if (!outputs.check(&error)) {
        console.error("zalvo_capture: " + error + "\n");
        return EXIT_FILES;
    }
    std::vector<ReceiverFiles>& files = outputs.receivers();

    Exchange x;
    x.block_length = 512 << rate_index(o.rate_hz);
    x.rate_hz = o.rate_hz;
    x.target = static_cast<int64_t>(o.duration_s * o.rate_hz + 0.5);
    const int64_t target = x.target;
#if ZALVO_CAPTURE_PICTURES
    const int fft = fft_size_for_rate(o.rate_hz);
#endif
    std::vector<ReceiverState> rx(files.size());
    for (size_t k = 0; k < files.size(); ++k) {
        const int i = files[k].receiver;
#if ZALVO_CAPTURE_PICTURES
        rx[k].spectrum = std::make_unique<SpectrumAnalyzer>(fft, o.rate_hz, target, 400);
        rx[k].labels.receiver = i;
        rx[k].labels.start_hz = o.freq_hz[i];
        rx[k].labels.tuning_known = context.tuning_known;
#endif
        rx[k].segments.push_back(
            {0, context.tuning_known ? double(o.freq_hz[i]) : std::nan(""), ""});
        rx[k].scaled.resize(2 * static_cast<size_t>(x.block_length));
    }

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

    // Each receiver's SigMF metadata, as known when the files are made and at the end.
    std::string datetime;
    auto make_meta = [&](const std::vector<LossEvent>& losses,
                         const std::vector<ClippingEvent>& clipped) {
        std::vector<SigmfRecording> meta;
        for (size_t k = 0; k < files.size(); ++k) {
            SigmfRecording m;
            m.sample_rate = o.rate_hz;
            m.hw = "USRP board, receiver " + std::to_string(files[k].receiver) +
                   " of the module \"" + device + "\"" +
                   (context.simulated ? " (simulated board)" : "");
            m.recorder =
                std::string("zalvo_capture ") + ZALVO_VERSION +
                (context.module_version.empty() ? "" : ", module " + context.module_version);
            m.collection = "capture";
            m.segments = rx[k].segments;
            if (!m.segments.empty())
                m.segments[0].datetime = datetime;
            for (const LossEvent& e : losses)
                m.losses.push_back({e.sample_start, e.samples, loss_comment(e)});
            m.notes = clipping_notes(files[k].receiver, clipped, o.rate_hz,
                                     files[k].data ? files[k].data->frames_written() : 0);
            meta.push_back(m);
        }
        return meta;
    };

    StderrTap tap([&](const std::string& text) { console.error(text); });
    tap.on_mark([&x] {
        LossEvent e;
        e.source = LossSource::module_overrun;
        e.at_s = x.signal_seconds();
        e.sample_start = x.file_position();
        x.losses.add(e);
    });
    ClippingLog clipping;
    tap.on_clipping([&x, &clipping](const ClippingReport& r) {
        ClippingEvent e;
        e.sample_end = x.file_position();
        for (int i = 0; i < RECEIVERS; ++i)
            e.at_rails[i] = r.at_rails[i];
        e.values = r.values;
        clipping.add(e);
    });
    const bool tapped = tap.start();

    const auto wall0 = Clock::now();
    const double cpu0 = sys::cpu_seconds();
    const int64_t dropped0 = context.simulator_dropped ? context.simulator_dropped() : 0;
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
    auto last_block_time = Clock::now();
    int64_t last_blocks = 0;
    int64_t board_dropped = dropped0;
    auto next_progress = Clock::now();
    std::vector<const float*> rows(files.size());

    while (written < target && !g_signal && !(o.stop_on_loss && !x.losses.empty())) {
        std::deque<std::vector<float>> blocks;
        {
            std::unique_lock<std::mutex> g(x.lock);
            x.ready.wait_for(g, std::chrono::milliseconds(50), [&] { return !x.full.empty(); });
            blocks.swap(x.full);
        }
        if (!blocks.empty() && !outputs.created() && !write_failed) {
            {
                std::lock_guard<std::mutex> g(x.lock);
                // The first sample: a block's length before the first block was handed over.
                datetime =
                    utc_iso8601(x.first_block_utc - std::chrono::microseconds(
                                                        int64_t(1e6) * x.block_length / o.rate_hz));
            }
            if (outputs.create(make_meta({}, {}), &error))
                note_files_made(o.format == Format::sigmf);
            else
                write_failed = true;
        }
        for (std::vector<float>& b : blocks) {
            const int64_t take = std::min<int64_t>(x.block_length, target - written);
            if (take > 0 && !write_failed) {
                for (size_t k = 0; k < files.size(); ++k) {
                    const float* src =
                        b.data() + 2 * static_cast<size_t>(x.block_length) * files[k].receiver;
                    ReceiverState& r = rx[k];
                    for (int64_t n = 0; n < take; ++n) {
                        const float i_part = static_cast<float>(src[2 * n] / FULL_SCALE);
                        const float q_part = static_cast<float>(src[2 * n + 1] / FULL_SCALE);
                        r.scaled[2 * n] = i_part;
                        r.scaled[2 * n + 1] = q_part;
                        const float m = std::max(std::fabs(i_part), std::fabs(q_part));
                        r.peak = std::max(r.peak, m);
                        r.clipped += m >= 1.0f;
                    }
                    rows[k] = r.scaled.data();
                }
                if (!outputs.write(rows, take)) {
                    write_failed = true;
                    error = outputs.first_error();
                }
                // The spectra show what the files hold.
                const int64_t kept =
                    files.empty() ? take : files[0].data->frames_written() - written;
#if ZALVO_CAPTURE_PICTURES
                for (size_t k = 0; k < files.size() && kept > 0; ++k)
                    rx[k].spectrum->add(rx[k].scaled.data(), kept);
#endif
                written += std::max<int64_t>(kept, 0);
            }
            std::lock_guard<std::mutex> g(x.lock);
            x.spare.push_back(std::move(b));
        }
        if (write_failed)
            break;

        // Retunes fall due by the signal received so far.
        const int64_t blocks_in = x.blocks.load();
        const double received_s = x.signal_seconds();
        while (next_retune < o.retunes.size() && o.retunes[next_retune].at_seconds <= received_s) {
            const Retune& t = o.retunes[next_retune++];
            module.set_rx_frequency(t.hz, t.receiver);
            for (size_t k = 0; k < files.size(); ++k) {
                if (files[k].receiver != t.receiver)
                    continue;
                rx[k].retunes.emplace_back(received_s, t.hz);
                const int64_t at = x.file_position();
                if (at == rx[k].segments.back().sample_start)
                    rx[k].segments.back().frequency_hz = t.hz;
                else
                    rx[k].segments.push_back({at, double(t.hz), ""});
            }
        }

        // Instants the simulated board dropped since the last look.
        if (context.simulator_dropped) {
            const int64_t d = context.simulator_dropped();
            if (d > board_dropped) {
                LossEvent e;
                e.source = LossSource::board_dropped;
                e.at_s = received_s;
                e.sample_start = x.file_position();
                e.samples = static_cast<int64_t>(
                    std::ceil((d - board_dropped) * o.rate_hz / BOARD_RATE_HZ));
                x.losses.add(e);
                board_dropped = d;
            }
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
            double cpu = wall > 0 ? 100.0 * (sys::cpu_seconds() - cpu0) / wall : 0;
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
    const double cpu = wall > 0 ? 100.0 * (sys::cpu_seconds() - cpu0) / wall : 0;
    tap.stop();
    console.end_progress();

    // Losses noticed after the last block kept are outside the recording.
    std::vector<LossEvent> losses = x.losses.events();
    std::stable_sort(losses.begin(), losses.end(), [](const LossEvent& a, const LossEvent& b) {
        return a.sample_start < b.sample_start;
    });
    const std::vector<ClippingEvent> board_clipping = clipping.events();
    std::vector<std::string> file_errors;
    if (write_failed)
        file_errors.push_back(error);

    // Metadata and pictures, only for files that were made.
    if (outputs.created())
        outputs.finish(make_meta(losses, board_clipping), &file_errors);
#if ZALVO_CAPTURE_PICTURES
    // One level range for every receiver's picture, so that they compare directly.
    std::vector<const SpectrumAnalyzer*> spectra;
    for (const ReceiverState& r : rx)
        spectra.push_back(r.spectrum.get());
    PictureLevels levels = shared_levels(spectra);
    if (o.range_set) {
        levels.colour_low = levels.spectrum_low = static_cast<float>(o.range_low_db);
        levels.colour_high = levels.spectrum_high = static_cast<float>(o.range_high_db);
    }
    for (size_t k = 0; k < files.size() && outputs.created(); ++k) {
        rx[k].labels.seconds = double(written) / o.rate_hz;
        rx[k].labels.interrupted = signo != 0;
        for (const auto& c : rx[k].retunes)
            rx[k].labels.retunes.push_back({c.first, c.second});
        std::string e;
        if (write_picture(files[k].png_path, *rx[k].spectrum, rx[k].labels, levels, &e))
            files[k].png_written = true;
        else
            file_errors.push_back("the picture " + e);
    }
    release_picture_caches();
#endif

    // Summary.
    const std::string length = signal_length_text(written, o.rate_hz);
    std::printf("zalvo_capture: %s of signal at %d Hz from \"%s\"%s\n", length.c_str(), o.rate_hz,
                device.c_str(), context.simulated ? " (simulated board)" : "");
    if (!context.replay_note.empty())
        std::printf("%s\n", context.replay_note.c_str());
    std::string overruns =
        tapped ? std::to_string(tap.overruns()) + " reported by the module" : tap.why_not();
    const int64_t delivered = x.blocks.load();
    const double span =
        (x.last_block_ns.load() - x.first_block_ns.load()) / 1e9;  // first to last block
    if (delivered > 1 && span > 0)
        std::printf("  %lld blocks delivered (%.2f per second once streaming; 93.75 is real "
                    "time); overruns: %s\n",
                    static_cast<long long>(delivered), (delivered - 1) / span, overruns.c_str());
    else
        std::printf("  %lld blocks delivered; overruns: %s\n", static_cast<long long>(delivered),
                    overruns.c_str());
    if (context.simulator_dropped)
        std::printf("  the simulated board dropped %lld sample instants\n",
                    static_cast<long long>(board_dropped - dropped0));
    if (!context.images_note.empty())
        std::printf("%s\n", context.images_note.c_str());
    std::fputs(loss_summary(losses).c_str(), stdout);
    std::printf("  %.1f s streaming, CPU %.0f%% of one core%s; StopRx took %.1f s\n", wall, cpu,
                context.simulated ? " (the simulated board's work included)" : "",
                std::chrono::duration<double>(stop1 - stop0).count());
    for (size_t k = 0; k < files.size(); ++k) {
        const int i = files[k].receiver;
        if (outputs.created())
            std::printf("  rx%d %s  %s (%lld samples)%s%s\n", i,
                        context.tuning_known ? printf_string("%.6f MHz", o.freq_hz[i] / 1e6).c_str()
                                             : "(tuning not known)",
                        files[k].data_path.c_str(),
                        static_cast<long long>(files[k].data->frames_written()),
                        files[k].png_written ? "  " : "",
                        files[k].png_written ? files[k].png_path.c_str() : "");
        for (const auto& c : rx[k].retunes)
            std::printf("      retuned to %.6f MHz at %.2f s\n", c.second / 1e6, c.first);
        std::fputs(clipping_summary(i, board_clipping, tapped, rx[k].clipped, rx[k].peak).c_str(),
                   stdout);
    }
    if (outputs.collection_exists())
        std::printf("  collection %s\n", outputs.collection_path().c_str());
    if (!outputs.created())
        std::printf("  %sno file was written\n", x.blocks.load() > 0 ? "" : "no data arrived; ");
    std::fflush(stdout);

    if (!file_errors.empty()) {
        console.error("zalvo_capture: cannot write " + file_errors[0] + "\n");
        for (size_t k = 1; k < file_errors.size(); ++k)
            console.error("  then also: " + file_errors[k] + "\n");
        if (write_failed)
            console.error("  the sample files hold the first " + length +
                          " of signal, equally long for every receiver.\n");
        return EXIT_FILES;
    }
    if (signo) {
        const char* what = signo == SIGINT ? "interrupted" : "terminated";
        if (outputs.created())
            console.error(printf_string("zalvo_capture: %s after %s of signal; the files hold what "
                                        "was received.\n",
                                        what, length.c_str()));
        else
            console.error(printf_string("zalvo_capture: %s before any data arrived; no file was "
                                        "written.\n",
                                        what));
        return signo == SIGINT ? EXIT_INTERRUPTED : EXIT_TERMINATED;
    }
    if (stalled) {
        console.error(printf_string(
            "zalvo_capture: no data from the board for %d s (after %s of signal). %s%s\n",
            STALL_SECONDS, length.c_str(), advice_for_stall().c_str(),
            outputs.created() ? " The files hold what was received." : ""));
        return EXIT_DEVICE;
    }
    if (!losses.empty()) {
        console.error(printf_string("zalvo_capture: samples were lost%s; see the summary.\n",
                                    o.stop_on_loss ? " (stopped at the first loss)" : ""));
        return EXIT_LOST;
    }
    return EXIT_DONE;
}

}  // namespace capture
