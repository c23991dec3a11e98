// Routes this process's standard error through a pipe while the module runs, so that the
// module's overrun trace can be counted: the module writes the single character "O" to
// standard error for each read that reported an overrun, and nothing else it writes there
// starts a line with "O". Every other text is passed on to the real standard error.
// On Windows the module writes these marks to the debugger output instead, and the tap reads
// that output (while no debugger and no other viewer takes it; else start() fails and why_not()
// says so); the module's other texts reach standard error on their own there.
//
// The module also reports, at most once a second, the samples of the board's stream at the
// 16-bit rails: "StreamWorker: clipping: rx0 N0 rx1 N1 rx2 N2 rx3 N3 of M samples". Such a line
// goes to the clipping hook instead of being passed on. And it says when the board has left the
// bus ("StreamWorker: board lost (gone from the bus); waiting for it to come back", or "(reads
// failing)") and when it streams again ("StreamWorker: board back after 2.345 s; streaming
// again"): such a line goes to the board hook and is passed on as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace capture {

// One clipping report of the module: per receiver the 16-bit values (I and Q each) at the rails,
// out of `values` per receiver since its previous report.
struct ClippingReport {
    int64_t at_rails[4] = {0, 0, 0, 0};
    int64_t values = 0;
};

// The module's word on the board's presence.
struct BoardReport {
    bool back = false;          // false: the board was lost
    bool gone_from_bus = true;  // lost: gone from the bus, else listed with its reads failing
    double away_s = 0;          // back: from the last data read before the loss to the restart
};

class StderrTap {
  public:
    // `forward` receives each piece of text that is not an overrun mark.
    explicit StderrTap(std::function<void(const std::string&)> forward);
    ~StderrTap();
    StderrTap(const StderrTap&) = delete;
    StderrTap& operator=(const StderrTap&) = delete;

    // Called on the reader thread for each overrun mark; set before start().
    void on_mark(std::function<void()> hook) { on_mark_ = std::move(hook); }
    // Called on the reader thread for each clipping report; set before start().
    void on_clipping(std::function<void(const ClippingReport&)> hook) {
        on_clipping_ = std::move(hook);
    }

    // Called on the reader thread for each line about the board's presence; set before start().
    void on_board(std::function<void(const BoardReport&)> hook) { on_board_ = std::move(hook); }

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
    // A clipping report's line (with or without its line end); false for any other text.
    static bool parse_clipping(const std::string& line, ClippingReport* report);
    // A line about the board's presence (with or without its line end); false for any other.
    static bool parse_board(const std::string& line, BoardReport* report);
    // The text scan() left: clipping reports go to the hook, the rest to `forward` when
    // `pass_on` (a line that cannot be a report is passed on at once, not held to its end).
    void take_text(const std::string& text, bool pass_on);

  private:
    void pump();

    std::function<void(const std::string&)> forward_;
    std::function<void()> on_mark_;
    std::function<void(const ClippingReport&)> on_clipping_;
    std::function<void(const BoardReport&)> on_board_;
    std::string line_;      // the start of a line that may be a report
    bool passing_ = false;  // the current line is not one: passed on as it comes
    int saved_ = -1;
    int read_end_ = -1;
    std::thread reader_;
    std::atomic<uint64_t> overruns_{0};
    std::string why_not_;
};

}  // namespace capture
