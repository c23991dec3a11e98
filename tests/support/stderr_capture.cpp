#include "stderr_capture.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace support {

namespace {

// A new empty file for writing; its name in `path`.
int create_temp_file(std::string& path) {
#ifdef _WIN32
    char dir[MAX_PATH], file[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "zst", 0, file))
        return -1;
    path = file;
    return _open(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
#else
    char name[] = "/tmp/zalvo_stderr_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    return fd;
#endif
}

// The descriptor calls under their Windows names there.
#ifdef _WIN32
int (*const fd_dup)(int) = _dup;
int (*const fd_dup2)(int, int) = _dup2;
int (*const fd_close)(int) = _close;
#else
int (*const fd_dup)(int) = dup;
int (*const fd_dup2)(int, int) = dup2;
int (*const fd_close)(int) = close;
#endif

}  // namespace

StderrCapture::StderrCapture() {
    int fd = create_temp_file(path_);
    if (fd < 0)
        throw std::runtime_error("no temporary file for standard error");
    std::fflush(stderr);
    saved_ = fd_dup(2);
    fd_dup2(fd, 2);
    fd_close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    fd_dup2(saved_, 2);
    fd_close(saved_);
    std::remove(path_.c_str());
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::ifstream f(path_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int reap_failure_lines(const std::string& text) {
    int n = 0;
    for (size_t at = text.find("usb_reap_async:"); at != std::string::npos;
         at = text.find("usb_reap_async:", at + 1))
        ++n;
    return n;
}

}  // namespace support
