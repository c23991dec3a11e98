// Samples lost on the way: overruns the module reports, instants the simulated board dropped,
// blocks this program could not keep up with. Each becomes a line of the summary and an
// annotation of the recording.
#pragma once

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

}  // namespace capture
