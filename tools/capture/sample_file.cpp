#include "sample_file.h"

#include "sys.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace capture {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "cf32_le is written as in memory");

RawIqFile::~RawIqFile() {
    close();
}

bool RawIqFile::open(const std::string& path, int, bool replace, std::string* error) {
    close();
    fd_ = sys::open_output(path, replace, error);
    if (fd_ < 0)
        return false;
    path_ = path;
    frames_ = 0;
    error_.clear();
    return true;
}

bool RawIqFile::write(const float* iq, int64_t frames) {
    if (fd_ < 0)
        return false;
    const char* p = reinterpret_cast<const char*>(iq);
    size_t left = static_cast<size_t>(frames) * 2 * sizeof(float);
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = path_ + ": " + (n < 0 ? std::strerror(errno) : "nothing written");
            // A partial pair would shift every later sample: keep whole pairs only.
            truncate(frames_);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    frames_ += frames;
    return true;
}

bool RawIqFile::truncate(int64_t frames) {
    if (fd_ < 0)
        return false;
    if (!sys::truncate_file(fd_, frames * 2 * static_cast<int64_t>(sizeof(float)))) {
        if (error_.empty())
            error_ = path_ + ": " + std::strerror(errno);
        return false;
    }
    frames_ = frames;
    return true;
}

void RawIqFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace capture
