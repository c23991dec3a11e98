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

}  // namespace

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
    const std::string prefix = CLIPPING_PREFIX;
    std::string out;
    for (char c : text) {
        if (passing_) {
            out.push_back(c);
            passing_ = c != '\n';
            continue;
        }
        line_.push_back(c);
        ClippingReport r;
        if (c == '\n') {
            if (parse_clipping(line_, &r)) {
                if (on_clipping_)
                    on_clipping_(r);
            } else {
                out += line_;
            }
            line_.clear();
        } else if (line_.size() <= prefix.size() ? prefix.compare(0, line_.size(), line_) != 0
                                                 : line_.compare(0, prefix.size(), prefix) != 0) {
            out += line_;
            line_.clear();
            passing_ = true;
        }
    }
    if (pass_on && !out.empty())
        forward_(out);
}

}  // namespace capture
