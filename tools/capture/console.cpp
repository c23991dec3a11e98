#include "console.h"

#include "sigmf.h"
#include "sys.h"

#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace capture {

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_message_fd = STDERR_FILENO;  // the real standard error, also while it is tapped

void say(const char* text) {
    ssize_t n = ::write(g_message_fd, text, std::strlen(text));
    (void)n;
}

// What the interrupt handler says depends on these.
volatile std::sig_atomic_t g_files_made = 0;      // the run's files exist
volatile std::sig_atomic_t g_files_sigmf = 0;     // ... with SigMF meta files
volatile std::sig_atomic_t g_progress_shown = 0;  // a progress line is on the terminal

void on_signal(int signo) {
    if (g_signal == 0) {
        g_signal = signo;
        if (g_progress_shown)
            say("\n");
        say(g_files_made ? "zalvo_capture: stopping; the files are being closed (press Ctrl-C "
                           "again to end at once)\n"
                         : "zalvo_capture: stopping (press Ctrl-C again to end at once)\n");
        return;
    }
    // The sample files are valid after every write, and so is each meta file since it was
    // made; the pictures and the final metadata are not written.
    if (!g_files_made)
        say("zalvo_capture: second interrupt: ending at once; no file was written\n");
    else if (g_files_sigmf)
        say("zalvo_capture: second interrupt: ending at once; the sample files stay valid, each "
            "meta file says what it said at the start, and pictures are not written\n");
    else
        say("zalvo_capture: second interrupt: ending at once; the sample files stay valid, "
            "pictures are not written\n");
    remove_meta_reserves_now();
    std::_Exit(128 + signo);
}

}  // namespace

void install_signal_handlers() {
    // A second Ctrl-C ends the program at once; the WAV headers are valid after every write.
    sys::on_interrupt(on_signal);
}

int pending_signal() {
    return g_signal;
}

void note_files_made(bool sigmf) {
    g_files_sigmf = sigmf;
    g_files_made = 1;
}

MessageChannel::MessageChannel() : fd_(dup(STDERR_FILENO)) {
    if (fd_ >= 0)
        g_message_fd = fd_;
}

MessageChannel::~MessageChannel() {
    // The handler speaks to standard error again before the copy goes, so that an interrupt
    // after the run never writes to a closed descriptor or to whatever file reuses its number.
    if (g_message_fd == fd_)
        g_message_fd = STDERR_FILENO;
    if (fd_ >= 0)
        close(fd_);
}

int MessageChannel::fd() const {
    return fd_ >= 0 ? fd_ : STDERR_FILENO;
}

void Console::progress(const std::string& line) {
    if (!progress_)
        return;
    std::lock_guard<std::mutex> g(lock_);
    std::printf("\r%s\033[K", line.c_str());
    std::fflush(stdout);
    shown_ = true;
    g_progress_shown = 1;
}

void Console::end_progress() {
    std::lock_guard<std::mutex> g(lock_);
    clear_locked();
}

void Console::error(const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    clear_locked();
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(err_fd_, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

void Console::clear_locked() {
    if (shown_) {
        std::printf("\r\033[K");
        std::fflush(stdout);
        shown_ = false;
        g_progress_shown = 0;
    }
}

std::string printf_string(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

}  // namespace capture
