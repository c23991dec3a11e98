// Routes this process's standard error through a pipe while the module runs, so that the
// module's overrun trace can be counted: the module writes the single character "O" to
// standard error for each read that reported an overrun, and nothing else it writes there
// starts a line with "O". Every other text is passed on to the real standard error.
// On Windows the module writes these marks to the debugger output instead, and the tap reads
// that output (while no debugger and no other viewer takes it; else start() fails and why_not()
// says so); the module's other texts reach standard error on their own there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace capture {

class StderrTap {
  public:
    // `forward` receives each piece of text that is not an overrun mark.
    explicit StderrTap(std::function<void(const std::string&)> forward);
    ~StderrTap();
    StderrTap(const StderrTap&) = delete;
    StderrTap& operator=(const StderrTap&) = delete;

    // Called on the reader thread for each overrun mark; set before start().
    void on_mark(std::function<void()> hook) { on_mark_ = std::move(hook); }

    // False (and nothing changed) when the marks cannot be watched; why_not() tells why.
    bool start();
    // Puts the real standard error back and waits until all text has been passed on.
    void stop();

    uint64_t overruns() const { return overruns_.load(); }
    // After start() failed: what the summary says instead of a count.
    const std::string& why_not() const { return why_not_; }
    // A descriptor of the real standard error, valid from start() to stop().
    int real_stderr() const { return saved_; }

    // The counting rule on its own: feeds text, returns marks found. `at_line_start` carries
    // the state between pieces; `rest` receives the text that is not marks.
    static uint64_t scan(const char* data, size_t size, bool* at_line_start, std::string* rest);

  private:
    void pump();

    std::function<void(const std::string&)> forward_;
    std::function<void()> on_mark_;
    int saved_ = -1;
    int read_end_ = -1;
    std::thread reader_;
    std::atomic<uint64_t> overruns_{0};
    std::string why_not_;
};

}  // namespace capture
