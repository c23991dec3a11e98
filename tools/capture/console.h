// The terminal during a run: the progress line, the messages on the real standard error (also
// while the module's standard error is tapped), and what Ctrl-C and termination do.
#pragma once

#include <mutex>
#include <string>

namespace capture {

// Installs the Ctrl-C and termination handlers that end a run cleanly.
void install_signal_handlers();
// The signal that asked the run to end, or 0.
int pending_signal();
// The run's files exist now (`sigmf`: with meta files), for what an interrupt says.
void note_files_made(bool sigmf);

// The real standard error, duplicated for the run, so that messages reach it while the module's
// standard error is tapped; the interrupt handler writes there too. Closed at the end.
class MessageChannel {
  public:
    MessageChannel();
    ~MessageChannel();
    MessageChannel(const MessageChannel&) = delete;
    MessageChannel& operator=(const MessageChannel&) = delete;

    int fd() const;

  private:
    int fd_;
};

// A progress line on standard output when it is a terminal, and messages on the real standard
// error, never interleaved.
class Console {
  public:
    Console(bool progress, int err_fd) : progress_(progress), err_fd_(err_fd) {}

    void progress(const std::string& line);
    void end_progress();
    void error(const std::string& text);

  private:
    void clear_locked();

    bool progress_;
    int err_fd_;
    std::mutex lock_;
    bool shown_ = false;
};

// printf into a string (at most 511 characters).
std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace capture
