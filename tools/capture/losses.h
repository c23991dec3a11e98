// Samples lost on the way: overruns the module reports, instants the simulated board dropped,
// blocks this program could not keep up with. Each becomes a line of the summary and an
// annotation of the recording. And samples clipped: the board's 16-bit values at the rails (as
// the module reports them) and output samples at or above full scale, one summary line per
// receiver and an annotation per report.
#pragma once

#include "sigmf.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace capture {

enum class LossSource { module_overrun, board_dropped, tool_behind };

struct LossEvent {
    LossSource source = LossSource::module_overrun;
    double at_s = 0;           // signal time at which it was noticed
    int64_t sample_start = 0;  // output sample of the recording where the gap lies
    int64_t samples = -1;      // output samples lost; -1: not known
};

// Thread-safe: the standard-error reader adds overruns while the main thread adds the rest.
class LossLog {
  public:
    void add(const LossEvent& e) {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(e);
    }
    std::vector<LossEvent> events() const {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }
    bool empty() const {
        std::lock_guard<std::mutex> g(lock_);
        return events_.empty();
    }

  private:
    mutable std::mutex lock_;
    std::vector<LossEvent> events_;
};

// The summary's lines about lost samples (each starting with two blanks and ending in a
// newline); empty when nothing was lost.
std::string loss_summary(const std::vector<LossEvent>& events);

// One event in words, for the recording's annotation.
std::string loss_comment(const LossEvent& e);

// A clipping report of the module (it covers the board's stream since its previous report),
// with how far the recording had come when it arrived.
struct ClippingEvent {
    int64_t sample_end = 0;  // output samples recorded by then
    int64_t at_rails[4] = {0, 0, 0, 0};
    int64_t values = 0;  // 16-bit values (I and Q each) per receiver in the report
};

class ClippingLog {
  public:
    void add(const ClippingEvent& e) {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(e);
    }
    std::vector<ClippingEvent> events() const {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<ClippingEvent> events_;
};

// The summary's line about clipping in one receiver (two blanks, "CLIPPING: rxN: ...", a
// newline), or "" when neither the board nor the output clipped. `board_counted`: the module's
// reports could be read at all.
std::string clipping_summary(int receiver, const std::vector<ClippingEvent>& board,
                             bool board_counted, int64_t output_clipped, float output_peak);

// One annotation per report with values of this receiver at the rails, over the stretch of the
// recording (`recorded` samples at `rate_hz`) the report covers, as well as it can be placed.
std::vector<SigmfNote> clipping_notes(int receiver, const std::vector<ClippingEvent>& board,
                                      double rate_hz, int64_t recorded);

}  // namespace capture
