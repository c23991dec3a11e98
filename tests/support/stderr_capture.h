// Standard error of the whole process (the module's writes too) captured in a file, and what the
// module's receive ring prints there. Builds on Linux and in the MinGW cross build.
#pragma once

#include <string>

namespace support {

// Redirects file descriptor 2 into a temporary file while it lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string text() const;  // everything written so far

  private:
    int saved_ = -1;
    std::string path_;
};

// Lines the ring printed for failed reaps in a stretch of captured standard error.
int reap_failure_lines(const std::string& text);

}  // namespace support
