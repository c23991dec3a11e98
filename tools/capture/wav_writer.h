// A two-channel 32-bit float WAV file (I left, Q right) whose header is rewritten after every
// write, so that the file stays valid whenever the program stops.
#pragma once

#include <cstdint>
#include <string>

namespace capture {

class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates (or truncates) the file. False with a readable error.
    bool open(const std::string& path, int rate_hz, std::string* error);
    // Appends `frames` I/Q pairs, interleaved. False on a write error (see error()).
    bool write(const float* iq, int64_t frames);
    void close();

    bool is_open() const { return file_ != nullptr; }
    int64_t frames_written() const { return frames_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

  private:
    void* file_ = nullptr;  // SNDFILE*
    int64_t frames_ = 0;
    std::string path_;
    std::string error_;
};

}  // namespace capture
