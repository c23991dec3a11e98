#include "losses.h"

#include <cstdio>

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

}  // namespace capture
