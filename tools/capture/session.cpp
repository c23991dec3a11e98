#include "session.h"

#include "advice.h"
#include "console.h"
#include "exchange.h"
#include "losses.h"
#include "outputs.h"
#include "sigmf.h"
#include "stderr_tap.h"
#include "sys.h"
#if ZALVO_CAPTURE_PICTURES
#include "picture.h"
#include "spectrum.h"
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double FULL_SCALE = 2147483648.0;  // the module's full scale, 2^31
constexpr int STALL_SECONDS = 5;             // no block for this long: the device has failed
constexpr double BOARD_RATE_HZ = 500000.0;   // the board's stream, which the module resamples

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

// Scales `take` I/Q pairs of the module's block to full scale 1.0 into `r.scaled`, counting the
// samples at full scale and the peak.
void scale_block(ReceiverState& r, const float* src, int64_t take) {
    for (int64_t n = 0; n < take; ++n) {
        const float i_part = static_cast<float>(src[2 * n] / FULL_SCALE);
        const float q_part = static_cast<float>(src[2 * n + 1] / FULL_SCALE);
        r.scaled[2 * n] = i_part;
        r.scaled[2 * n + 1] = q_part;
        const float m = std::max(std::fabs(i_part), std::fabs(q_part));
        r.peak = std::max(r.peak, m);
        r.clipped += m >= 1.0f;
    }
}

// One capture run; run() takes its steps in order.
class CaptureRun {
  public:
    CaptureRun(const Options& o, const Module& module, const RunContext& context);
    int run();

  private:
    bool prepare_outputs();
    void prepare_receivers();
    void start_tap();
    bool start_module();
    void tune();
    void stream();
    std::deque<std::vector<float>> take_blocks();
    void create_files();
    void write_block(const std::vector<float>& block);
    void apply_due_retunes(double received_s);
    void note_board_drops(double received_s);
    bool stalled_at(Clock::time_point now, int64_t blocks_in);
    bool away_too_long(Clock::time_point now) const;
    void show_progress(Clock::time_point now, double received_s, int64_t blocks_in);
    void stop();
    void finish_files();
#if ZALVO_CAPTURE_PICTURES
    void write_pictures();
#endif
    void summarise();
    void summarise_receivers() const;
    int exit_code();
    // Each receiver's SigMF metadata, as known when the files are made and at the end.
    std::vector<SigmfRecording> meta(const std::vector<LossEvent>& losses,
                                     const std::vector<ClippingEvent>& clipped) const;

    const Options& o_;
    const Module& module_;
    const RunContext& context_;
    const bool tty_;
    MessageChannel channel_;
    Console console_;
    // The files are checked before the board is touched, and made only when data arrives.
    Outputs outputs_;
    std::vector<ReceiverFiles>& files_;
    Exchange x_;
    std::vector<ReceiverState> rx_;
    ReceiverSettings settings_;
    std::string device_;    // the module's name for the device
    std::string datetime_;  // the first sample's time
    ClippingLog clipping_;
    StderrTap tap_;
    bool tapped_ = false;

    // Streaming.
    Clock::time_point wall0_;
    double cpu0_ = 0;
    int64_t dropped0_ = 0, board_dropped_ = 0;  // the simulated board's dropped instants
    int64_t written_ = 0;
    size_t next_retune_ = 0;
    bool stalled_ = false, write_failed_ = false;
    bool not_back_ = false;  // the board left the bus and did not come back in time
    std::string error_;      // why the files could not be written
    Clock::time_point last_block_time_, next_progress_;
    int64_t last_blocks_ = 0;
    std::vector<const float*> rows_;

    // The end.
    int signo_ = 0;
    Clock::time_point stop0_, stop1_;
    double wall_ = 0, cpu_ = 0;
    std::vector<LossEvent> losses_;
    std::vector<Absence> absences_;
    std::vector<ClippingEvent> board_clipping_;
    std::vector<std::string> file_errors_;
    std::string length_;  // the signal written, in words
};

CaptureRun::CaptureRun(const Options& o, const Module& module, const RunContext& context)
    : o_(o), module_(module), context_(context), tty_(sys::stdout_is_terminal() && !o.quiet),
      console_(tty_, channel_.fd()), outputs_(o), files_(outputs_.receivers()),
      tap_([this](const std::string& text) { console_.error(text); }) {}

int CaptureRun::run() {
    if (!prepare_outputs())
        return EXIT_FILES;
    prepare_receivers();
    start_tap();
    if (!start_module())
        return EXIT_DEVICE;
    tune();
    stream();
    stop();
    finish_files();
#if ZALVO_CAPTURE_PICTURES
    write_pictures();
#endif
    summarise();
    return exit_code();
}

bool CaptureRun::prepare_outputs() {
    if (outputs_.check(&error_))
        return true;
    console_.error("zalvo_capture: " + error_ + "\n");
    return false;
}

void CaptureRun::prepare_receivers() {
    x_.block_length = 512 << rate_index(o_.rate_hz);
    x_.rate_hz = o_.rate_hz;
    x_.target = static_cast<int64_t>(o_.duration_s * o_.rate_hz + 0.5);
#if ZALVO_CAPTURE_PICTURES
    const int fft = fft_size_for_rate(o_.rate_hz);
#endif
    rx_.resize(files_.size());
    for (size_t k = 0; k < files_.size(); ++k) {
        const int i = files_[k].receiver;
#if ZALVO_CAPTURE_PICTURES
        rx_[k].spectrum = std::make_unique<SpectrumAnalyzer>(fft, o_.rate_hz, x_.target, 400);
        rx_[k].labels.receiver = i;
        rx_[k].labels.start_hz = o_.freq_hz[i];
        rx_[k].labels.tuning_known = context_.tuning_known;
#endif
        rx_[k].segments.push_back(
            {0, context_.tuning_known ? double(o_.freq_hz[i]) : std::nan(""), ""});
        rx_[k].scaled.resize(2 * static_cast<size_t>(x_.block_length));
    }

    std::memset(&settings_, 0, sizeof settings_);
    settings_.callback_context = reinterpret_cast<intptr_t>(&x_);
    settings_.sample_rate_index = rate_index(o_.rate_hz);
    settings_.data_callback = Exchange::on_data;
    settings_.error_callback = Exchange::on_error;

    SdrInfo info;
    std::memset(&info, 0, sizeof info);
    module_.get_sdr_info(&info);
    device_ = info.device_name ? info.device_name : "?";
}

// The module's standard error: overrun marks, clipping reports and the board's absences become
// the run's events, the rest goes to the terminal.
void CaptureRun::start_tap() {
    tap_.on_board([this](const BoardReport& r) {
        if (r.back)
            x_.losses.board_back(r.away_s, o_.rate_hz);
        else
            x_.losses.board_lost(
                absence_now(x_.signal_seconds(), x_.file_position(), r.gone_from_bus));
    });
    tap_.on_mark([this] {
        LossEvent e;
        e.source = LossSource::module_overrun;
        e.at_s = x_.signal_seconds();
        e.sample_start = x_.file_position();
        x_.losses.add(e);
    });
    tap_.on_clipping([this](const ClippingReport& r) {
        ClippingEvent e;
        e.sample_end = x_.file_position();
        for (int i = 0; i < RECEIVERS; ++i)
            e.at_rails[i] = r.at_rails[i];
        e.values = r.values;
        clipping_.add(e);
    });
    tapped_ = tap_.start();
}

bool CaptureRun::start_module() {
    wall0_ = Clock::now();
    cpu0_ = sys::cpu_seconds();
    dropped0_ = context_.simulator_dropped ? context_.simulator_dropped() : 0;
    board_dropped_ = dropped0_;
    module_.start_rx(&settings_);
    std::vector<std::string> errors;
    {
        std::lock_guard<std::mutex> g(x_.lock);
        errors = x_.errors;
    }
    if (errors.empty())
        return true;
    module_.stop_rx();  // a board left open by a late failure is closed here
    tap_.stop();
    for (const std::string& e : errors)
        console_.error("zalvo_capture: the module reports \"" + e + "\".\n  " + advice_for(e) +
                       "\n");
    return false;
}

void CaptureRun::tune() {
    for (int i = 0; i < RECEIVERS; ++i)
        module_.set_rx_frequency(o_.freq_hz[i], i);
}

// Until the signal asked for is written, or a signal, a loss (--stop-on-loss), a file that
// cannot be written or a stalled board ends the run.
void CaptureRun::stream() {
    last_block_time_ = Clock::now();
    next_progress_ = Clock::now();
    rows_.resize(files_.size());
    while (written_ < x_.target && !pending_signal() && !(o_.stop_on_loss && !x_.losses.empty())) {
        std::deque<std::vector<float>> blocks = take_blocks();
        if (!blocks.empty() && !outputs_.created() && !write_failed_)
            create_files();
        for (std::vector<float>& b : blocks) {
            write_block(b);
            std::lock_guard<std::mutex> g(x_.lock);
            x_.spare.push_back(std::move(b));
        }
        if (write_failed_)
            break;

        const int64_t blocks_in = x_.blocks.load();
        const double received_s = x_.signal_seconds();
        apply_due_retunes(received_s);
        note_board_drops(received_s);
        const auto now = Clock::now();
        if (stalled_at(now, blocks_in)) {
            stalled_ = true;
            break;
        }
        if (away_too_long(now)) {
            not_back_ = true;
            break;
        }
        if (tty_ && now >= next_progress_)
            show_progress(now, received_s, blocks_in);
    }
}

std::deque<std::vector<float>> CaptureRun::take_blocks() {
    std::deque<std::vector<float>> blocks;
    std::unique_lock<std::mutex> g(x_.lock);
    x_.ready.wait_for(g, std::chrono::milliseconds(50), [&] { return !x_.full.empty(); });
    blocks.swap(x_.full);
    return blocks;
}

void CaptureRun::create_files() {
    {
        std::lock_guard<std::mutex> g(x_.lock);
        // The first sample: a block's length before the first block was handed over.
        datetime_ =
            utc_iso8601(x_.first_block_utc -
                        std::chrono::microseconds(int64_t(1e6) * x_.block_length / o_.rate_hz));
    }
    if (outputs_.create(meta({}, {}), &error_))
        note_files_made(o_.format == Format::sigmf);
    else
        write_failed_ = true;
}

void CaptureRun::write_block(const std::vector<float>& block) {
    const int64_t take = std::min<int64_t>(x_.block_length, x_.target - written_);
    if (take <= 0 || write_failed_)
        return;
    for (size_t k = 0; k < files_.size(); ++k) {
        scale_block(rx_[k],
                    block.data() + 2 * static_cast<size_t>(x_.block_length) * files_[k].receiver,
                    take);
        rows_[k] = rx_[k].scaled.data();
    }
    if (!outputs_.write(rows_, take)) {
        write_failed_ = true;
        error_ = outputs_.first_error();
    }
    // The spectra show what the files hold.
    const int64_t kept = files_.empty() ? take : files_[0].data->frames_written() - written_;
#if ZALVO_CAPTURE_PICTURES
    for (size_t k = 0; k < files_.size() && kept > 0; ++k)
        rx_[k].spectrum->add(rx_[k].scaled.data(), kept);
#endif
    written_ += std::max<int64_t>(kept, 0);
}

// Retunes fall due by the signal received so far.
void CaptureRun::apply_due_retunes(double received_s) {
    while (next_retune_ < o_.retunes.size() && o_.retunes[next_retune_].at_seconds <= received_s) {
        const Retune& t = o_.retunes[next_retune_++];
        module_.set_rx_frequency(t.hz, t.receiver);
        for (size_t k = 0; k < files_.size(); ++k) {
            if (files_[k].receiver != t.receiver)
                continue;
            rx_[k].retunes.emplace_back(received_s, t.hz);
            const int64_t at = x_.file_position();
            if (at == rx_[k].segments.back().sample_start)
                rx_[k].segments.back().frequency_hz = t.hz;
            else
                rx_[k].segments.push_back({at, double(t.hz), ""});
        }
    }
}

// Instants the simulated board dropped since the last look.
void CaptureRun::note_board_drops(double received_s) {
    if (!context_.simulator_dropped)
        return;
    const int64_t d = context_.simulator_dropped();
    if (d <= board_dropped_)
        return;
    LossEvent e;
    e.source = LossSource::board_dropped;
    e.at_s = received_s;
    e.sample_start = x_.file_position();
    e.samples = static_cast<int64_t>(std::ceil((d - board_dropped_) * o_.rate_hz / BOARD_RATE_HZ));
    x_.losses.add(e);
    board_dropped_ = d;
}

// No block for STALL_SECONDS ends the run, except while the module waits for the board to come
// back.
bool CaptureRun::stalled_at(Clock::time_point now, int64_t blocks_in) {
    Clock::time_point since;
    if (blocks_in != last_blocks_ || x_.losses.away(&since)) {
        last_blocks_ = blocks_in;
        last_block_time_ = now;
        return false;
    }
    return now - last_block_time_ > std::chrono::seconds(STALL_SECONDS);
}

bool CaptureRun::away_too_long(Clock::time_point now) const {
    Clock::time_point since;
    return o_.board_wait_s >= 0 && x_.losses.away(&since) &&
           now - since > std::chrono::duration<double>(o_.board_wait_s);
}

void CaptureRun::show_progress(Clock::time_point now, double received_s, int64_t blocks_in) {
    next_progress_ = now + std::chrono::milliseconds(250);
    double wall = std::chrono::duration<double>(now - wall0_).count();
    double cpu = wall > 0 ? 100.0 * (sys::cpu_seconds() - cpu0_) / wall : 0;
    Clock::time_point since;
    console_.progress(printf_string(
        "%.1f s of %.1f s received | %lld blocks | %llu overruns | CPU %.0f%%%s",
        std::min(received_s, o_.duration_s), o_.duration_s, static_cast<long long>(blocks_in),
        static_cast<unsigned long long>(tap_.overruns()), cpu,
        x_.losses.away(&since) ? " | board away, waiting" : ""));
}

void CaptureRun::stop() {
    signo_ = pending_signal();
    stop0_ = Clock::now();
    module_.stop_rx();
    stop1_ = Clock::now();
    wall_ = std::chrono::duration<double>(stop0_ - wall0_).count();
    cpu_ = wall_ > 0 ? 100.0 * (sys::cpu_seconds() - cpu0_) / wall_ : 0;
    tap_.stop();
    console_.end_progress();
}

// Metadata, only for files that were made.
void CaptureRun::finish_files() {
    // Losses noticed after the last block kept are outside the recording.
    losses_ = x_.losses.events();
    absences_ = x_.losses.absences();
    std::stable_sort(losses_.begin(), losses_.end(), [](const LossEvent& a, const LossEvent& b) {
        return a.sample_start < b.sample_start;
    });
    board_clipping_ = clipping_.events();
    if (write_failed_)
        file_errors_.push_back(error_);
    if (outputs_.created())
        outputs_.finish(meta(losses_, board_clipping_), &file_errors_);
}

#if ZALVO_CAPTURE_PICTURES
// Pictures, only for files that were made.
void CaptureRun::write_pictures() {
    // One level range for every receiver's picture, so that they compare directly.
    std::vector<const SpectrumAnalyzer*> spectra;
    for (const ReceiverState& r : rx_)
        spectra.push_back(r.spectrum.get());
    PictureLevels levels = shared_levels(spectra);
    if (o_.range_set) {
        levels.colour_low = levels.spectrum_low = static_cast<float>(o_.range_low_db);
        levels.colour_high = levels.spectrum_high = static_cast<float>(o_.range_high_db);
    }
    for (size_t k = 0; k < files_.size() && outputs_.created(); ++k) {
        rx_[k].labels.seconds = double(written_) / o_.rate_hz;
        rx_[k].labels.interrupted = signo_ != 0;
        for (const auto& c : rx_[k].retunes)
            rx_[k].labels.retunes.push_back({c.first, c.second});
        std::string e;
        if (write_picture(files_[k].png_path, *rx_[k].spectrum, rx_[k].labels, levels, &e))
            files_[k].png_written = true;
        else
            file_errors_.push_back("the picture " + e);
    }
    release_picture_caches();
}
#endif

void CaptureRun::summarise() {
    length_ = signal_length_text(written_, o_.rate_hz);
    std::printf("zalvo_capture: %s of signal at %d Hz from \"%s\"%s\n", length_.c_str(), o_.rate_hz,
                device_.c_str(), context_.simulated ? " (simulated board)" : "");
    if (!context_.replay_note.empty())
        std::printf("%s\n", context_.replay_note.c_str());
    std::string overruns =
        tapped_ ? std::to_string(tap_.overruns()) + " reported by the module" : tap_.why_not();
    const int64_t delivered = x_.blocks.load();
    double span = (x_.last_block_ns.load() - x_.first_block_ns.load()) / 1e9;  // first to last
    for (const Absence& a : absences_)
        span -= a.back ? a.away_s : 0;  // streaming
    if (delivered > 1 && span > 0)
        std::printf("  %lld blocks delivered (%.2f per second once streaming; 93.75 is real "
                    "time); overruns: %s\n",
                    static_cast<long long>(delivered), (delivered - 1) / span, overruns.c_str());
    else
        std::printf("  %lld blocks delivered; overruns: %s\n", static_cast<long long>(delivered),
                    overruns.c_str());
    if (context_.simulator_dropped)
        std::printf("  the simulated board dropped %lld sample instants\n",
                    static_cast<long long>(board_dropped_ - dropped0_));
    if (!context_.images_note.empty())
        std::printf("%s\n", context_.images_note.c_str());
    std::fputs(loss_summary(losses_).c_str(), stdout);
    std::fputs(absence_summary(absences_, o_.rate_hz, o_.stop_on_loss).c_str(), stdout);
    std::printf("  %.1f s streaming, CPU %.0f%% of one core%s; StopRx took %.1f s\n", wall_, cpu_,
                context_.simulated ? " (the simulated board's work included)" : "",
                std::chrono::duration<double>(stop1_ - stop0_).count());
    summarise_receivers();
    if (outputs_.collection_exists())
        std::printf("  collection %s\n", outputs_.collection_path().c_str());
    if (!outputs_.created())
        std::printf("  %sno file was written\n", x_.blocks.load() > 0 ? "" : "no data arrived; ");
    const std::vector<std::string> kept = other_receivers_files(o_);
    for (size_t k = 0; k < kept.size(); ++k)
        std::printf("%s%s", k == 0 ? "  left as they were (not this run's receivers): " : ", ",
                    kept[k].c_str());
    if (!kept.empty())
        std::printf("\n");
    std::fflush(stdout);
}

void CaptureRun::summarise_receivers() const {
    for (size_t k = 0; k < files_.size(); ++k) {
        const int i = files_[k].receiver;
        if (outputs_.created())
            std::printf("  rx%d %s  %s (%lld samples)%s%s\n", i,
                        context_.tuning_known
                            ? printf_string("%.6f MHz", o_.freq_hz[i] / 1e6).c_str()
                            : "(tuning not known)",
                        files_[k].data_path.c_str(),
                        static_cast<long long>(files_[k].data->frames_written()),
                        files_[k].png_written ? "  " : "",
                        files_[k].png_written ? files_[k].png_path.c_str() : "");
        for (const auto& c : rx_[k].retunes)
            std::printf("      retuned to %.6f MHz at %.2f s\n", c.second / 1e6, c.first);
        std::fputs(
            clipping_summary(i, board_clipping_, tapped_, rx_[k].clipped, rx_[k].peak).c_str(),
            stdout);
    }
}

int CaptureRun::exit_code() {
    if (!file_errors_.empty()) {
        console_.error("zalvo_capture: cannot write " + file_errors_[0] + "\n");
        for (size_t k = 1; k < file_errors_.size(); ++k)
            console_.error("  then also: " + file_errors_[k] + "\n");
        if (write_failed_ && outputs_.created())
            console_.error("  the sample files hold the first " + length_ +
                           " of signal, equally long for every receiver.\n");
        return EXIT_FILES;
    }
    if (signo_) {
        const char* what = signo_ == SIGINT ? "interrupted" : "terminated";
        if (outputs_.created())
            console_.error(printf_string("zalvo_capture: %s after %s of signal; the files hold "
                                         "what was received.\n",
                                         what, length_.c_str()));
        else
            console_.error(printf_string("zalvo_capture: %s before any data arrived; no file was "
                                         "written.\n",
                                         what));
        return signo_ == SIGINT ? EXIT_INTERRUPTED : EXIT_TERMINATED;
    }
    if (stalled_) {
        console_.error(printf_string(
            "zalvo_capture: no data from the board for %d s (after %s of signal). %s%s\n",
            STALL_SECONDS, length_.c_str(), advice_for_stall().c_str(),
            outputs_.created() ? " The files hold what was received." : ""));
        return EXIT_DEVICE;
    }
    if (not_back_) {
        console_.error(printf_string(
            "zalvo_capture: the board left the bus and was not back within %g s (--wait-for-board; "
            "after %s of signal).%s\n",
            o_.board_wait_s, length_.c_str(),
            outputs_.created() ? " The files hold what was received." : ""));
        return EXIT_DEVICE;
    }
    if (!losses_.empty() || !absences_.empty()) {
        console_.error(printf_string("zalvo_capture: samples were lost%s; see the summary.\n",
                                     o_.stop_on_loss ? " (stopped at the first loss)" : ""));
        return EXIT_LOST;
    }
    return EXIT_DONE;
}

std::vector<SigmfRecording> CaptureRun::meta(const std::vector<LossEvent>& losses,
                                             const std::vector<ClippingEvent>& clipped) const {
    std::vector<SigmfRecording> meta;
    for (size_t k = 0; k < files_.size(); ++k) {
        SigmfRecording m;
        m.sample_rate = o_.rate_hz;
        m.hw = "USRP board, receiver " + std::to_string(files_[k].receiver) + " of the module \"" +
               device_ + "\"" + (context_.simulated ? " (simulated board)" : "");
        m.recorder = std::string("zalvo_capture ") + ZALVO_VERSION +
                     (context_.module_version.empty() ? "" : ", module " + context_.module_version);
        m.collection = "capture";
        m.segments = rx_[k].segments;
        if (!m.segments.empty())
            m.segments[0].datetime = datetime_;
        m.segments = with_resumptions(m.segments, absences_);
        for (const LossEvent& e : losses)
            m.losses.push_back({e.sample_start, e.samples, loss_comment(e)});
        for (const Absence& a : absences_)
            m.losses.push_back(absence_loss(a));
        m.notes = clipping_notes(files_[k].receiver, clipped, o_.rate_hz,
                                 files_[k].data ? files_[k].data->frames_written() : 0);
        meta.push_back(m);
    }
    return meta;
}

}  // namespace

std::string signal_length_text(int64_t samples, double rate_hz) {
    // Below a hundredth of a second, "0.00 s" would say there is nothing.
    if (samples > 0 && samples * 100 < rate_hz)
        return printf_string("%lld sample%s (%.2f ms)", static_cast<long long>(samples),
                             samples == 1 ? "" : "s", 1e3 * samples / rate_hz);
    return printf_string("%.2f s", samples / rate_hz);
}

int run_capture(const Options& o, const Module& module, const RunContext& context) {
    return CaptureRun(o, module, context).run();
}

}  // namespace capture
