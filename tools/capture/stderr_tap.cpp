#include "stderr_tap.h"

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

}  // namespace capture
