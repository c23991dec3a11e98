#include "stderr_tap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

bool StderrTap::start() {
    if (saved_ >= 0)
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
        if (saved_ >= 0)
            close(saved_);
        saved_ = -1;
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    close(fds[1]);
    read_end_ = fds[0];
    reader_ = std::thread([this] { pump(); });
    return true;
}

void StderrTap::pump() {
    bool at_line_start = true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(read_end_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string rest;
        const uint64_t marks = scan(buf, static_cast<size_t>(n), &at_line_start, &rest);
        overruns_ += marks;
        for (uint64_t k = 0; k < marks && on_mark_; ++k)
            on_mark_();
        if (!rest.empty())
            forward_(rest);
    }
}

void StderrTap::stop() {
    if (saved_ < 0)
        return;
    std::fflush(stderr);
    // Putting the real descriptor back closes the pipe's last write end: the reader sees the end.
    dup2(saved_, STDERR_FILENO);
    if (reader_.joinable())
        reader_.join();
    close(read_end_);
    close(saved_);
    read_end_ = -1;
    saved_ = -1;
}

}  // namespace capture
