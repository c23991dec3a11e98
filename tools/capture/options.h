// Command line of the capture tool: the command, the capture settings, and their checks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// What this build writes besides SigMF: WAV files (libsndfile, or the program's own writer where
// libsndfile is not built) and pictures (FFTW, cairo), both present unless the build says
// otherwise (the Windows build has no pictures).
#ifndef ZALVO_CAPTURE_WAV
#define ZALVO_CAPTURE_WAV 1
#endif
#ifndef ZALVO_CAPTURE_PICTURES
#define ZALVO_CAPTURE_PICTURES 1
#endif

namespace capture {

enum class Command { capture, simulate, info, help, version };

enum class Format { wav, sigmf };

constexpr int RECEIVERS = 4;

// A retune while streaming: receiver `receiver` goes to `hz` once `at_seconds` of signal are in.
struct Retune {
    double at_seconds = 0;
    int receiver = 0;
    int32_t hz = 0;
};

struct Options {
    Command command = Command::capture;
    double duration_s = 5.0;
    bool duration_given = false;  // --duration on the command line
    int rate_hz = 48000;
    // Spread over the 80 m CW band, 40 kHz apart.
    std::array<int32_t, RECEIVERS> freq_hz{{3520000, 3560000, 3600000, 3640000}};
    std::vector<Retune> retunes;  // in time order
    std::string out_dir = "out";
    std::string module_path;  // empty: the module this tool was built with
    std::string scene_path;   // simulate: scene file; empty: the simulator's default
    std::string replay_path;  // simulate: a raw recording's meta file the board streams
    bool quiet = false;       // no progress line even on a terminal
    bool info_simulated = false;
    bool overwrite = false;     // existing output files may be replaced
    bool stop_on_loss = false;  // end the run at the first lost samples
    double board_wait_s = -1;   // a board that left the bus may stay away this long; < 0: no limit
    bool raw = false;           // the board's own stream below the module, as one recording
    Format format = ZALVO_CAPTURE_WAV ? Format::wav : Format::sigmf;
    std::array<bool, RECEIVERS> record{{true, true, true, true}};  // receivers written to files
    bool range_set = false;  // pictures: a fixed dBFS colour range instead of the automatic one
    double range_low_db = 0, range_high_db = 0;
};

struct ParseResult {
    bool ok = false;
    std::string error;  // one line, without the program name
    Options options;
};

// Parses argv (argv[0] is the program). The first word, when it is not an option, names the
// command ("capture", "simulate", "info"); capture is the default.
ParseResult parse_options(int argc, char** argv);

// The sample-rate index the module takes for an output rate (0, 1, 2), or -1.
int rate_index(int rate_hz);

// A frequency such as "7030000", "7030k", "7.03M", in Hz; false unless it is a whole number of
// Hz from 0 to 32 MHz.
bool parse_frequency(const std::string& text, int32_t* hz);

std::string usage_text(const std::string& program);
std::string short_usage(const std::string& program);

}  // namespace capture
