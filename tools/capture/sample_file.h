// A file of I/Q samples that grows block by block: the WAV writer and the plain SigMF dataset.
// Each can cut itself back to a given length, so that the files of one run stay equally long
// when one of them cannot take a block.
#pragma once

#include <cstdint>
#include <string>

namespace capture {

class SampleFile {
  public:
    virtual ~SampleFile() = default;
    // Creates the file: a file already there is refused unless `replace` is true. False with a
    // readable error.
    virtual bool open(const std::string& path, int rate_hz, bool replace, std::string* error) = 0;
    // Appends `frames` I/Q pairs, interleaved. False on a write error (see error()).
    virtual bool write(const float* iq, int64_t frames) = 0;
    // Shortens the file to its first `frames` pairs. False on failure (see error()).
    virtual bool truncate(int64_t frames) = 0;
    virtual void close() = 0;
    // The number of pairs the file is expected to reach (before open); 0: not known.
    void plan(int64_t frames) { planned_ = frames; }

    int64_t frames_written() const { return frames_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

  protected:
    int64_t planned_ = 0;
    int64_t frames_ = 0;
    std::string path_;
    std::string error_;
};

// Little-endian complex float32 pairs, nothing else (SigMF "cf32_le").
class RawIqFile : public SampleFile {
  public:
    ~RawIqFile() override;
    bool open(const std::string& path, int rate_hz, bool replace, std::string* error) override;
    bool write(const float* iq, int64_t frames) override;
    bool truncate(int64_t frames) override;
    void close() override;

  private:
    int fd_ = -1;
};

}  // namespace capture
