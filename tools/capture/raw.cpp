#include "raw.h"

#include "console.h"
#include "losses.h"
#include "outputs.h"
#include "sample_file.h"
#include "sigmf.h"
#include "sys.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace capture {

namespace {

struct RawRun {
    const Options* o = nullptr;
    const RunContext* context = nullptr;
    std::string folder, data_path, meta_path;
    MetaFile meta;
    bool made_folder = false;
    int fd = -1;
    int64_t instants = 0;
    std::string error;
    std::chrono::system_clock::time_point first_utc;
    LossLog losses;
    int64_t board_dropped = 0;

    bool open_files() {
        const int made = sys::make_folder(folder);
        made_folder = made == 0;
        if (!made_folder && made != EEXIST) {
            error = "cannot create the folder " + folder + ": " + std::strerror(made);
            return false;
        }
        fd = sys::open_output(data_path, o->overwrite, &error);
        if (fd < 0)
            return false;
        // The meta file is there from the first block on, as the data file is.
        if (!meta.begin(meta_path, sigmf_meta_text(recording({})), o->overwrite,
                        MetaFile::RESERVE_BYTES, &error)) {
            ::close(fd);
            fd = -1;
            ::unlink(data_path.c_str());
            if (made_folder)
                ::rmdir(folder.c_str());
            return false;
        }
        note_files_made(true);
        return true;
    }

    SigmfRecording recording(const std::vector<LossEvent>& events) const {
        SigmfRecording m;
        m.datatype = "ci16_le";
        m.channels = RECEIVERS;
        m.sample_rate = RAW_RATE_HZ;
        m.hw = std::string("USRP board, its four receivers' stream below the module") +
               (context->simulated ? " (simulated board)" : "");
        m.recorder = std::string("zalvo_capture ") + ZALVO_VERSION + " --raw";
        char text[256];
        if (context->tuning_known)
            std::snprintf(text, sizeof text,
                          "channel k is receiver k, tuned to %d, %d, %d and %d Hz; converter "
                          "input 0 as I and Q, 20 dB of gain; 16-bit I/Q as the board delivers "
                          "them",
                          o->freq_hz[0], o->freq_hz[1], o->freq_hz[2], o->freq_hz[3]);
        else
            std::snprintf(text, sizeof text,
                          "channel k is receiver k, tuning not known (a replay of a recording "
                          "that does not say); 16-bit I/Q as the board delivers them");
        m.description = text;
        m.segments.push_back({0, context->tuning_known ? double(o->freq_hz[0]) : std::nan(""),
                              utc_iso8601(first_utc)});
        for (const LossEvent& e : events)
            m.losses.push_back({e.sample_start, e.samples, loss_comment(e)});
        return m;
    }
};

int on_raw_data(void* ctx, const void* bytes, size_t size) {
    RawRun& r = *static_cast<RawRun*>(ctx);
    if (r.fd < 0) {
        r.first_utc = std::chrono::system_clock::now();
        if (!r.open_files())
            return 1;
    }
    const char* p = static_cast<const char*>(bytes);
    size_t left = size;
    while (left > 0) {
        ssize_t n = ::write(r.fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r.error = r.data_path + ": " + (n < 0 ? std::strerror(errno) : "nothing written");
            // Whole instants only.
            if (!sys::truncate_file(r.fd, r.instants * 16))
                r.error += " (and the file could not be cut back to whole instants)";
            return 1;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    r.instants += static_cast<int64_t>(size / 16);
    if (r.context->simulator_dropped) {
        const int64_t d = r.context->simulator_dropped();
        if (d > r.board_dropped) {
            LossEvent e;
            e.source = LossSource::board_dropped;
            e.at_s = double(r.instants) / RAW_RATE_HZ;
            e.sample_start = r.instants;
            e.samples = d - r.board_dropped;
            r.losses.add(e);
            r.board_dropped = d;
        }
    }
    if (r.o->stop_on_loss && !r.losses.empty())
        return 1;
    return pending_signal() != 0 ? 1 : 0;
}

void on_raw_overrun(void* ctx, int64_t instant) {
    RawRun& r = *static_cast<RawRun*>(ctx);
    LossEvent e;
    e.source = LossSource::module_overrun;
    e.at_s = double(instant) / RAW_RATE_HZ;
    e.sample_start = instant;
    r.losses.add(e);
}

}  // namespace

int run_raw(const Options& o, zalvo_capture_raw_fn record, const RunContext& context) {
    namespace fs = std::filesystem;
    RawRun run;
    run.o = &o;
    run.context = &context;
    run.folder = o.out_dir;
    run.data_path = (fs::path(o.out_dir) / "raw.sigmf-data").string();
    run.meta_path = (fs::path(o.out_dir) / "raw.sigmf-meta").string();
    const std::string& meta_path = run.meta_path;
    std::string error;
    if (!check_output_files(o, {run.data_path, meta_path}, &error)) {
        std::fprintf(stderr, "zalvo_capture: %s\n", error.c_str());
        return EXIT_FILES;
    }
    run.board_dropped = context.simulator_dropped ? context.simulator_dropped() : 0;
    const int64_t dropped0 = run.board_dropped;

    zalvo_capture_raw_request req{};
    for (int i = 0; i < RECEIVERS; ++i)
        req.freq_hz[i] = o.freq_hz[i];
    req.instants = static_cast<int64_t>(o.duration_s * RAW_RATE_HZ + 0.5);
    req.data = on_raw_data;
    req.overrun = on_raw_overrun;
    req.context = &run;
    if (record(&req) != 0) {
        std::fprintf(stderr, "zalvo_capture: %s\n", req.error);
        return EXIT_DEVICE;
    }
    const bool made = run.fd >= 0;
    if (made && ::close(run.fd) != 0 && run.error.empty())
        run.error = run.data_path + ": " + std::strerror(errno);

    std::vector<std::string> errors;
    if (!run.error.empty())
        errors.push_back(run.error);
    std::vector<LossEvent> losses = run.losses.events();
    if (made) {
        std::string e;
        if (!run.meta.finish(sigmf_meta_text(run.recording(losses)), &e))
            errors.push_back(e);
    }

    const std::string length = signal_length_text(run.instants, RAW_RATE_HZ);
    std::printf("zalvo_capture: %s of the board's stream at %d Hz (four receivers)%s\n",
                length.c_str(), RAW_RATE_HZ, context.simulated ? " (simulated board)" : "");
    if (!context.replay_note.empty())
        std::printf("%s\n", context.replay_note.c_str());
    if (context.simulator_dropped)
        std::printf("  the simulated board dropped %lld sample instants\n",
                    static_cast<long long>(run.board_dropped - dropped0));
    if (!context.images_note.empty())
        std::printf("%s\n", context.images_note.c_str());
    std::fputs(loss_summary(losses).c_str(), stdout);
    if (made)
        std::printf("  %s (%lld instants)%s%s\n", run.data_path.c_str(),
                    static_cast<long long>(run.instants), run.meta.exists() ? "  " : "",
                    run.meta.exists() ? meta_path.c_str() : "");
    else
        std::printf("  no file was written\n");
    std::fflush(stdout);

    if (!errors.empty()) {
        std::fprintf(stderr, "zalvo_capture: cannot write %s\n", errors[0].c_str());
        for (size_t k = 1; k < errors.size(); ++k)
            std::fprintf(stderr, "  then also: %s\n", errors[k].c_str());
        return EXIT_FILES;
    }
    if (const int signo = pending_signal()) {
        if (made)
            std::fprintf(stderr,
                         "zalvo_capture: interrupted after %s; the files hold what was "
                         "received.\n",
                         length.c_str());
        else
            std::fprintf(stderr, "zalvo_capture: interrupted before any data arrived; no file "
                                 "was written.\n");
        return signo == SIGINT ? EXIT_INTERRUPTED : EXIT_TERMINATED;
    }
    if (req.stalled) {
        std::fprintf(stderr, "zalvo_capture: no data from the board for 5 s (after %s).\n",
                     length.c_str());
        return EXIT_DEVICE;
    }
    if (!losses.empty()) {
        std::fprintf(stderr, "zalvo_capture: samples were lost%s; see the summary.\n",
                     o.stop_on_loss ? " (stopped at the first loss)" : "");
        return EXIT_LOST;
    }
    return EXIT_DONE;
}

}  // namespace capture
