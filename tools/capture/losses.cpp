#include "losses.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace capture {

namespace {

std::string times_of(const std::vector<const LossEvent*>& list) {
    constexpr size_t SHOWN = 8;
    std::string text;
    for (size_t i = 0; i < list.size() && i < SHOWN; ++i) {
        char t[32];
        std::snprintf(t, sizeof t, "%s%.2f", i ? ", " : "", list[i]->at_s);
        text += t;
    }
    if (list.size() > SHOWN)
        text += ", ...";
    return text + " s";
}

}  // namespace

std::string loss_summary(const std::vector<LossEvent>& events) {
    if (events.empty())
        return "";
    std::vector<const LossEvent*> by[3];
    int64_t samples[3] = {0, 0, 0};
    for (const LossEvent& e : events) {
        const int k = static_cast<int>(e.source);
        by[k].push_back(&e);
        if (e.samples > 0)
            samples[k] += e.samples;
    }
    std::string text = "  SAMPLES LOST:";
    const char* sep = " ";
    char line[256];
    if (!by[0].empty()) {
        std::snprintf(line, sizeof line,
                      "%s%zu overrun%s reported by the module (samples lost: not known) at %s", sep,
                      by[0].size(), by[0].size() == 1 ? "" : "s", times_of(by[0]).c_str());
        text += line;
        sep = "; ";
    }
    if (!by[1].empty()) {
        std::snprintf(line, sizeof line,
                      "%sthe board dropped about %lld output samples in %zu event%s at %s", sep,
                      static_cast<long long>(samples[1]), by[1].size(),
                      by[1].size() == 1 ? "" : "s", times_of(by[1]).c_str());
        text += line;
        sep = "; ";
    }
    if (!by[2].empty()) {
        std::snprintf(line, sizeof line,
                      "%sthis program fell behind and lost %lld samples in %zu event%s at %s", sep,
                      static_cast<long long>(samples[2]), by[2].size(),
                      by[2].size() == 1 ? "" : "s", times_of(by[2]).c_str());
        text += line;
    }
    return text + "\n";
}

std::string loss_comment(const LossEvent& e) {
    char text[160];
    switch (e.source) {
        case LossSource::module_overrun:
            std::snprintf(text, sizeof text,
                          "overrun reported by the receiver module at %.3f s: the board dropped "
                          "samples before this point (how many is not known)",
                          e.at_s);
            break;
        case LossSource::board_dropped:
            std::snprintf(text, sizeof text,
                          "the board dropped about %lld output samples before this point "
                          "(noticed at %.3f s)",
                          static_cast<long long>(e.samples), e.at_s);
            break;
        case LossSource::tool_behind:
            std::snprintf(text, sizeof text,
                          "%lld samples lost here: the recorder fell behind at %.3f s",
                          static_cast<long long>(e.samples), e.at_s);
            break;
    }
    return text;
}

namespace {

constexpr double BOARD_RATE_HZ = 500000.0;  // the board's stream, which the module resamples

}  // namespace

std::string clipping_summary(int receiver, const std::vector<ClippingEvent>& board,
                             bool board_counted, int64_t output_clipped, float output_peak) {
    int64_t rails = 0, values = 0;
    for (const ClippingEvent& e : board) {
        rails += e.at_rails[receiver];
        values += e.values;
    }
    if (rails == 0 && output_clipped == 0)
        return "";
    char line[320];
    std::string at_board;
    if (rails > 0) {
        std::snprintf(line, sizeof line,
                      "at the board %lld 16-bit values at the rails (%.1f %% of those in the "
                      "seconds the module reported)",
                      static_cast<long long>(rails), 100.0 * double(rails) / double(values));
        at_board = line;
    } else {
        at_board = board_counted ? "at the board none reported" : "at the board not counted";
    }
    std::snprintf(line, sizeof line,
                  "  CLIPPING: rx%d: %s; in the output %lld samples at or above full scale (peak "
                  "%+.1f dBFS)\n",
                  receiver, at_board.c_str(), static_cast<long long>(output_clipped),
                  output_peak > 0 ? 20 * std::log10(output_peak) : -999.0);
    return line;
}

std::vector<SigmfNote> clipping_notes(int receiver, const std::vector<ClippingEvent>& board,
                                      double rate_hz, int64_t recorded) {
    std::vector<SigmfNote> notes;
    for (const ClippingEvent& e : board) {
        const int64_t n = e.at_rails[receiver];
        if (n <= 0 || recorded <= 0)
            continue;
        // The report covers values / 2 instants of the board's stream, which end about where
        // the recording stood when it came (the module reads a little ahead of what it
        // delivers).
        const int64_t span =
            std::max<int64_t>(1, std::llround(e.values / 2.0 * rate_hz / BOARD_RATE_HZ));
        const int64_t end = std::clamp<int64_t>(e.sample_end, 1, recorded);
        const int64_t start = std::max<int64_t>(0, end - span);
        char text[320];
        std::snprintf(text, sizeof text,
                      "%lld of %lld 16-bit values (%.1f %%) of this receiver at the board's rails "
                      "(+-32767) in the module's report; placed as well as its timing allows "
                      "(it reports at most once a second)",
                      static_cast<long long>(n), static_cast<long long>(e.values),
                      100.0 * double(n) / double(e.values));
        notes.push_back({start, end - start, "clipping at the board", text});
    }
    return notes;
}

}  // namespace capture

namespace capture {

Absence absence_now(double at_s, int64_t sample_start, bool gone_from_bus) {
    Absence a;
    a.at_s = at_s;
    a.sample_start = sample_start;
    a.gone_from_bus = gone_from_bus;
    a.left = std::chrono::steady_clock::now();
    a.left_utc = std::chrono::system_clock::now();
    return a;
}

void LossLog::board_lost(const Absence& a) {
    std::lock_guard<std::mutex> g(lock_);
    if (absences_.empty() || absences_.back().back)
        absences_.push_back(a);
}

void LossLog::board_back(double away_s, int rate_hz) {
    std::lock_guard<std::mutex> g(lock_);
    if (absences_.empty() || absences_.back().back)
        return;
    Absence& a = absences_.back();
    a.back = true;
    a.away_s = away_s;
    a.samples = std::llround(away_s * rate_hz);
}

void LossLog::stream_resumed(std::chrono::system_clock::time_point first_sample_utc) {
    std::lock_guard<std::mutex> g(lock_);
    if (absences_.empty() || absences_.back().resumed)
        return;
    absences_.back().resumed = true;
    absences_.back().resumed_utc = first_sample_utc;
}

bool LossLog::away(std::chrono::steady_clock::time_point* since) const {
    std::lock_guard<std::mutex> g(lock_);
    if (absences_.empty() || absences_.back().back)
        return false;
    *since = absences_.back().left;
    return true;
}

namespace {

// "20:44:47" of an ISO 8601 time.
std::string clock_time(std::chrono::system_clock::time_point t) {
    const std::string iso = utc_iso8601(t);
    return iso.size() >= 19 ? iso.substr(11, 8) : iso;
}

const char* why(const Absence& a) {
    return a.gone_from_bus ? "gone from the bus" : "its reads kept failing";
}

}  // namespace

std::string absence_summary(const std::vector<Absence>& absences, int rate_hz, bool stop_on_loss) {
    std::string text;
    char line[320];
    for (const Absence& a : absences) {
        if (a.back)
            std::snprintf(line, sizeof line,
                          "  BOARD AWAY: lost at %.2f s (%s UTC, %s), back after %.3f s: %lld "
                          "samples missing in each receiver at %d Hz\n",
                          a.at_s, clock_time(a.left_utc).c_str(), why(a), a.away_s,
                          static_cast<long long>(a.samples), rate_hz);
        else
            std::snprintf(line, sizeof line, "  BOARD AWAY: lost at %.2f s (%s UTC, %s), %s\n",
                          a.at_s, clock_time(a.left_utc).c_str(), why(a),
                          stop_on_loss ? "the run stopped there (--stop-on-loss)"
                                       : "not back when the run ended");
        text += line;
    }
    return text;
}

SigmfLoss absence_loss(const Absence& a) {
    char text[256];
    if (a.back)
        std::snprintf(text, sizeof text,
                      "the board was away from %.3f s (%s) for %.3f s: %lld samples are missing "
                      "here; the stream resumes at this point",
                      a.at_s, why(a), a.away_s, static_cast<long long>(a.samples));
    else
        std::snprintf(text, sizeof text,
                      "the board was lost at %.3f s (%s); the recording ends before it came back",
                      a.at_s, why(a));
    return {a.sample_start, a.back ? a.samples : -1, text};
}

std::vector<SigmfSegment> with_resumptions(std::vector<SigmfSegment> segments,
                                           const std::vector<Absence>& absences) {
    for (const Absence& a : absences) {
        if (!a.resumed)
            continue;
        auto at = std::find_if(segments.begin(), segments.end(), [&](const SigmfSegment& s) {
            return s.sample_start >= a.sample_start;
        });
        if (at != segments.end() && at->sample_start == a.sample_start) {
            at->datetime = utc_iso8601(a.resumed_utc);
            continue;
        }
        SigmfSegment s;
        s.sample_start = a.sample_start;
        s.frequency_hz = at == segments.begin() ? std::nan("") : std::prev(at)->frequency_hz;
        s.datetime = utc_iso8601(a.resumed_utc);
        segments.insert(at, s);
    }
    return segments;
}

}  // namespace capture
