#include "stderr_tap.h"

#include <cstdio>

namespace capture {

StderrTap::StderrTap(std::function<void(const std::string&)> forward)
    : forward_(std::move(forward)) {}

StderrTap::~StderrTap() {
    stop();
}

uint64_t StderrTap::scan(const char* data, size_t size, bool* at_line_start, std::string* rest) {
    uint64_t marks = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (*at_line_start && c == 'O') {
            ++marks;  // the line start stays: marks come one after another
            continue;
        }
        rest->push_back(c);
        *at_line_start = c == '\n';
    }
    return marks;
}

namespace {

const char CLIPPING_PREFIX[] = "StreamWorker: clipping: ";
const char LOST_PREFIX[] = "StreamWorker: board lost (";
const char BACK_PREFIX[] = "StreamWorker: board back after ";
const char* const REPORT_PREFIXES[] = {CLIPPING_PREFIX, LOST_PREFIX, BACK_PREFIX};

// The text without its line end.
std::string chomp(const std::string& line) {
    size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n')
        --n;
    if (n > 0 && line[n - 1] == '\r')
        --n;
    return line.substr(0, n);
}

// `line` (a line started so far) may still become a report.
bool may_be_report(const std::string& line) {
    for (const char* prefix : REPORT_PREFIXES) {
        const std::string p = prefix;
        if (line.size() <= p.size() ? p.compare(0, line.size(), line) == 0
                                    : line.compare(0, p.size(), p) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool StderrTap::parse_board(const std::string& line, BoardReport* report) {
    const std::string text = chomp(line);
    if (text == std::string(LOST_PREFIX) + "gone from the bus); waiting for it to come back" ||
        text == std::string(LOST_PREFIX) + "reads failing); waiting for it to come back") {
        report->back = false;
        report->gone_from_bus = text.find("gone from the bus") != std::string::npos;
        report->away_s = 0;
        return true;
    }
    if (text.compare(0, sizeof BACK_PREFIX - 1, BACK_PREFIX) != 0)
        return false;
    double away = 0;
    int used = -1;
    if (std::sscanf(text.c_str() + sizeof BACK_PREFIX - 1, "%lf s; streaming again%n", &away,
                    &used) != 1 ||
        used < 0 || text.size() != sizeof BACK_PREFIX - 1 + static_cast<size_t>(used) ||
        !(away >= 0))
        return false;
    report->back = true;
    report->gone_from_bus = true;
    report->away_s = away;
    return true;
}

bool StderrTap::parse_clipping(const std::string& line, ClippingReport* report) {
    if (line.compare(0, sizeof CLIPPING_PREFIX - 1, CLIPPING_PREFIX) != 0)
        return false;
    ClippingReport r;
    long long n[4] = {0, 0, 0, 0}, m = 0;
    int used = -1;
    const int got = std::sscanf(line.c_str() + sizeof CLIPPING_PREFIX - 1,
                                "rx0 %lld rx1 %lld rx2 %lld rx3 %lld of %lld samples%n", &n[0],
                                &n[1], &n[2], &n[3], &m, &used);
    if (got != 5 || used < 0)
        return false;
    const std::string rest = line.substr(sizeof CLIPPING_PREFIX - 1 + static_cast<size_t>(used));
    if (!(rest.empty() || rest == "\n" || rest == "\r\n") || m <= 0)
        return false;
    for (int k = 0; k < 4; ++k) {
        if (n[k] < 0 || n[k] > m)
            return false;
        r.at_rails[k] = n[k];
    }
    r.values = m;
    *report = r;
    return true;
}

void StderrTap::take_text(const std::string& text, bool pass_on) {
    std::string out;
    for (char c : text) {
        if (passing_) {
            out.push_back(c);
            passing_ = c != '\n';
            continue;
        }
        line_.push_back(c);
        ClippingReport r;
        BoardReport b;
        if (c == '\n') {
            if (parse_clipping(line_, &r)) {
                if (on_clipping_)
                    on_clipping_(r);
            } else {
                if (parse_board(line_, &b) && on_board_)
                    on_board_(b);
                out += line_;
            }
            line_.clear();
        } else if (!may_be_report(line_)) {
            out += line_;
            line_.clear();
            passing_ = true;
        }
    }
    if (pass_on && !out.empty())
        forward_(out);
}

}  // namespace capture
