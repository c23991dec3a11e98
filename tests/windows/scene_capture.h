// The fixed scene whose float output the Windows and the Linux builds of the module must agree
// on: one board, three carriers (one keyed) over a seeded noise floor, free-running pacing, so
// that the stream and with it the output depend only on the scene and not on timing.
#pragma once

#include "ZalvoIntf.h"

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

// The module's calls, however the caller found them.
struct Module {
    void(ZALVO_CALL* start_rx)(const ReceiverSettings*) = nullptr;
    void(ZALVO_CALL* stop_rx)(void) = nullptr;
};

enum { RECEIVERS = 4 };

struct Output {
    int rate_index = 0;
    int block_length = 0;  // complex samples per block and receiver
    int blocks = 0;
    // Per block, per receiver: block_length I/Q pairs.
    std::vector<float> samples;
};

// Builds the scene in the simulated world (replacing whatever was there), runs one session at
// the rate and keeps the first `blocks` blocks. False with a reason on failure.
bool run_fixed_scene(const Module& m, int rate_index, int blocks, Output& out, std::string& why);

bool write_output(const std::string& path, const Output& out);
bool read_output(const std::string& path, Output& out);

// How two outputs differ.
struct Difference {
    size_t compared = 0;
    size_t differing = 0;   // values not bit-identical
    double max_abs = 0;     // largest absolute difference
    double rms_signal = 0;  // RMS of the first output, for scale
};
Difference compare(const Output& a, const Output& b);

}  // namespace capture
