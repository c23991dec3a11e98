// A two-channel 32-bit float WAV file (I left, Q right) written by this program itself, for
// builds without libsndfile (Windows). The same files as the libsndfile writer (wav_writer.h):
// the header is rewritten after every write, so the file stays valid whenever the program stops;
// a file planned to stay below 4 GiB has the plain header (format tag 3, a fact chunk, the data
// at byte 88, byte for byte as libsndfile writes it); one that may grow beyond has the extensible
// header with room for a ds64 chunk, and becomes RF64 (64-bit sizes) once it passes 4 GiB.
#pragma once

#include "sample_file.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace capture {

class WavFile : public SampleFile {
  public:
    // `riff_limit`: the largest size a RIFF header can state; beyond it the file is RF64.
    explicit WavFile(uint64_t riff_limit = 0xFFFFFFFFu) : riff_limit_(riff_limit) {}
    ~WavFile() override;
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    bool open(const std::string& path, int rate_hz, bool replace, std::string* error) override;
    bool write(const float* iq, int64_t frames) override;
    bool truncate(int64_t frames) override;
    void close() override;

  private:
    // The header for `frames_` pairs of data.
    std::vector<unsigned char> header() const;
    bool write_header();
    bool fail(const std::string& why);

    uint64_t riff_limit_;
    int fd_ = -1;
    int rate_ = 0;
    bool extensible_ = false;  // may pass 4 GiB: extensible header, RF64 beyond the limit
    size_t header_bytes_ = 0;
};

}  // namespace capture
