// One capture run through the module: start, tune, stream into WAV files and spectra for the
// requested signal time (or until Ctrl-C), stop, write the pictures, report.
#pragma once

#include "module.h"
#include "options.h"

#include <cstdint>
#include <functional>
#include <string>

namespace capture {

enum ExitCode {
    EXIT_DONE = 0,
    EXIT_FILES = 1,
    EXIT_USAGE = 2,
    EXIT_DEVICE = 3,
    EXIT_LOST = 4,           // recorded, but samples were lost
    EXIT_INTERRUPTED = 130,  // 128 + SIGINT
    EXIT_TERMINATED = 143,   // 128 + SIGTERM
};

struct RunContext {
    bool simulated = false;
    // Simulated runs: instants the simulated board dropped (its own count of overruns).
    std::function<int64_t()> simulator_dropped;
    std::string module_version;  // as found in the module file; empty: not known
    // simulate --replay: a line of the summary about the run's length; the receivers' tuning
    // is the recording's, or not known at all.
    std::string replay_note;
    // simulate: the scene and the images the board was given, lines of the summary
    std::string images_note;
    bool tuning_known = true;
};

// Runs the capture with a loaded module; returns the exit code.
int run_capture(const Options& options, const Module& module, const RunContext& context);

// A stretch of signal in words: "1.50 s", or "48 samples (1.00 ms)" when under 0.01 s.
std::string signal_length_text(int64_t samples, double rate_hz);

}  // namespace capture
