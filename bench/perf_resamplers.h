// The contenders of the side-by-side benchmark: our resampler and the general-purpose resampling
// libraries that were found at build time, behind one streaming interface.
#pragma once

#include "dsp.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace perf {

constexpr int IN_RATE = 500000;
constexpr size_t CHUNK = 4096;

// One real stream, fed chunk by chunk.
class Resampler {
  public:
    virtual ~Resampler() = default;
    // Consumes all `n` samples of `in`; writes at most `cap` outputs and returns their number.
    virtual size_t process(const float* in, size_t n, float* out, size_t cap) = 0;
};

struct Contender {
    std::string name;  // library and setting, as in the table
    bool ours;
    dsp::KernelPath path;  // for ours: the instruction-set path to run on
    std::function<std::unique_ptr<Resampler>(int out_rate)> make;
};

// Ours on every path the machine runs (fast hint), ours accurate on the best path, then every
// library setting this build has.
std::vector<Contender> contenders();

// The engine soxr chooses for its HQ recipe on this machine (soxr_engine), or "" without soxr.
std::string soxr_hq_engine();

}  // namespace perf
