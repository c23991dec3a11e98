// Samples lost on the way: overruns the module reports, instants the simulated board dropped,
// blocks this program could not keep up with. Each becomes a line of the summary and an
// annotation of the recording. And samples clipped: the board's 16-bit values at the rails (as
// the module reports them) and output samples at or above full scale, one summary line per
// receiver and an annotation per report.
#pragma once

#include "sigmf.h"

#include <chrono>
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

// The board away from the bus, as the module reports it: from the loss to the stream again.
// Nothing stands in for the samples it cost: the recording goes on where the stream resumes.
struct Absence {
    double at_s = 0;            // signal time when the module reported it lost
    int64_t sample_start = 0;   // output sample of the recording where the gap lies
    bool gone_from_bus = true;  // else: still listed, but its reads kept failing
    std::chrono::steady_clock::time_point left;
    std::chrono::system_clock::time_point left_utc;
    bool back = false;
    double away_s = 0;     // the module's figure: the last data read before the loss to the restart
    int64_t samples = -1;  // output samples it cost each receiver, once back
    bool resumed = false;  // the first block after it has come
    std::chrono::system_clock::time_point resumed_utc;  // its first sample
};

// An absence that begins now, at signal time `at_s` and output sample `sample_start`.
Absence absence_now(double at_s, int64_t sample_start, bool gone_from_bus);

// Thread-safe: the standard-error reader adds overruns and absences while the main thread and the
// module's worker add the rest.
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
    // No loss and no absence so far.
    bool empty() const {
        std::lock_guard<std::mutex> g(lock_);
        return events_.empty() && absences_.empty();
    }

    // The module reported the board lost; a report while it is already away is the same absence.
    void board_lost(const Absence& a);
    // The module streams again after `away_s`: the absence cost that many seconds at `rate_hz`.
    void board_back(double away_s, int rate_hz);
    // The first block after an absence came; its first sample is from `first_sample_utc`.
    void stream_resumed(std::chrono::system_clock::time_point first_sample_utc);
    // The board is away now: since when.
    bool away(std::chrono::steady_clock::time_point* since) const;
    // Waiting for the first block after an absence (none comes between the loss and the return).
    bool awaiting_resume() const {
        std::lock_guard<std::mutex> g(lock_);
        return !absences_.empty() && !absences_.back().resumed;
    }
    std::vector<Absence> absences() const {
        std::lock_guard<std::mutex> g(lock_);
        return absences_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<LossEvent> events_;
    std::vector<Absence> absences_;
};

// The summary's lines about the board's absences, one each (two blanks, "BOARD AWAY: ...", a
// newline). `rate_hz`: the output rate; `stop_on_loss`: the run ended at the first.
std::string absence_summary(const std::vector<Absence>& absences, int rate_hz, bool stop_on_loss);

// The loss at an absence, for the recording's annotation.
SigmfLoss absence_loss(const Absence& a);

// The capture segments with one more where each absence ended: there the stream resumed, at the
// tuning of the segment it falls in, with the time of its first sample.
std::vector<SigmfSegment> with_resumptions(std::vector<SigmfSegment> segments,
                                           const std::vector<Absence>& absences);

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
