// The capture tool's system calls on Linux and other POSIX systems.
#include "stderr_tap.h"
#include "sys.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sha512.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace capture {
namespace sys {

void* load_library(const std::string& path, bool global, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (!h) {
        const char* e = dlerror();
        *error = e ? e : ("cannot load " + path);
    }
    return h;
}

void* find_symbol(void* library, const char* name) {
    return dlsym(library, name);
}

void unload_library(void* library) {
    if (library)
        dlclose(library);
}

std::string program_folder() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    std::string dir(self);
    return dir.substr(0, dir.rfind('/') + 1);
}

std::string beside_program(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    return program_folder() + path;
}

std::string simulated_usb_library() {
    return "";  // the dynamic linker takes nothing from the current folder by itself
}

std::string folder_name_problem(const std::string&) {
    return "";  // any byte but '/' and NUL is allowed in a name
}

std::string native_path(const std::string& path) {
    return path;
}

bool is_bare_name(const std::string& name) {
    return name.find('/') == std::string::npos;
}

void set_env_default(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 0);
}

int open_output(const std::string& path, bool replace, std::string* error) {
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        *error = path + ": " +
                 (errno == EEXIST ? std::string("exists already (--overwrite replaces it)")
                                  : std::string(std::strerror(errno)));
    return fd;
}

bool truncate_file(int fd, int64_t bytes) {
    return ftruncate(fd, static_cast<off_t>(bytes)) == 0 &&
           lseek(fd, static_cast<off_t>(bytes), SEEK_SET) == static_cast<off_t>(bytes);
}

int make_folder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

int replace_file(const std::string& temp, const std::string& path) {
    return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
}

bool folder_writable(const std::string& path) {
    return access(path.c_str(), W_OK | X_OK) == 0;
}

void utc_time(std::time_t seconds, std::tm* out) {
    gmtime_r(&seconds, out);
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void on_interrupt(void (*handler)(int signo)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string sha512_hex(const std::string& data) {
    SHA2_CTX c;
    SHA512Init(&c);
    SHA512Update(&c, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    uint8_t digest[SHA512_DIGEST_LENGTH];
    SHA512Final(digest, &c);
    std::string hex;
    char b[3];
    for (uint8_t d : digest) {
        std::snprintf(b, sizeof b, "%02x", d);
        hex += b;
    }
    return hex;
}

}  // namespace sys

// The module writes its overrun marks to standard error here: a pipe in its place catches them.
bool StderrTap::start() {
    if (saved_ >= 0)
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why_not_ = "not counted (standard error could not be watched)";
        return false;
    }
    std::fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
        if (saved_ >= 0)
            close(saved_);
        saved_ = -1;
        close(fds[0]);
        close(fds[1]);
        why_not_ = "not counted (standard error could not be watched)";
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
        take_text(rest, true);
    }
    if (!line_.empty())
        forward_(line_);  // an unfinished line at the end
    line_.clear();
    passing_ = false;
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
