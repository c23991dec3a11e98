// A two-channel 32-bit float WAV file (I left, Q right) whose header is rewritten after every
// write, so that the file stays valid whenever the program stops. A file planned to stay below
// 4 GiB is a plain WAV file (format tag 3); one that may grow beyond is written as RF64 with
// automatic downgrade: a WAV file (WAVE_FORMAT_EXTENSIBLE) while it is below 4 GiB, RF64 (64-bit
// sizes) once it passes.
//
// Builds without libsndfile (ZALVO_CAPTURE_SNDFILE 0: Windows) write the same files with this
// program's own writer (wav_file.h).
#pragma once

#include "sample_file.h"
#include "wav_file.h"

#ifndef ZALVO_CAPTURE_SNDFILE
#define ZALVO_CAPTURE_SNDFILE 1
#endif

namespace capture {

#if !ZALVO_CAPTURE_SNDFILE
using WavWriter = WavFile;
#else
class WavWriter : public SampleFile {
  public:
    WavWriter() = default;
    ~WavWriter() override;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int rate_hz, bool replace, std::string* error) override;
    bool write(const float* iq, int64_t frames) override;
    bool truncate(int64_t frames) override;
    void close() override;

    bool is_open() const { return file_ != nullptr; }

  private:
    void* file_ = nullptr;  // SNDFILE*
};
#endif

}  // namespace capture
