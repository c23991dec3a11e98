#include "wav_writer.h"

#include "sys.h"

#include <sndfile.h>
#include <unistd.h>

namespace capture {

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string& path, int rate_hz, bool replace, std::string* error) {
    close();
    SF_INFO info{};
    info.samplerate = rate_hz;
    info.channels = 2;
    // The plain header is read everywhere; RF64 only where 32-bit sizes may not do (header and
    // chunks take well under 1 MiB).
    const bool large = planned_ <= 0 || planned_ * 8 > (int64_t(4) << 30) - (int64_t(1) << 20);
    info.format = (large ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_FLOAT;
    int fd = sys::open_output(path, replace, error);
    if (fd < 0)
        return false;
    SNDFILE* f = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!f) {
        *error = path + ": " + sf_strerror(nullptr);
        ::close(fd);
        return false;
    }
    // A RIFF/WAVE header while the file is below 4 GiB, RF64 beyond (must precede any write).
    if (large)
        sf_command(f, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // The header follows every write, and is complete before the first.
    sf_command(f, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    sf_command(f, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    file_ = f;
    frames_ = 0;
    path_ = path;
    error_.clear();
    return true;
}

bool WavWriter::write(const float* iq, int64_t frames) {
    if (!file_)
        return false;
    SNDFILE* f = static_cast<SNDFILE*>(file_);
    sf_count_t done = sf_writef_float(f, iq, frames);
    if (done > 0)
        frames_ += done;
    if (done != frames) {
        error_ = path_ + ": " + sf_strerror(f);
        return false;
    }
    return true;
}

bool WavWriter::truncate(int64_t frames) {
    if (!file_)
        return false;
    sf_count_t n = frames;
    if (sf_command(static_cast<SNDFILE*>(file_), SFC_FILE_TRUNCATE, &n, sizeof n) != 0) {
        if (error_.empty())
            error_ = path_ + ": cannot shorten the file";
        return false;
    }
    frames_ = frames;
    return true;
}

void WavWriter::close() {
    if (!file_)
        return;
    sf_close(static_cast<SNDFILE*>(file_));
    file_ = nullptr;
}

}  // namespace capture
