#include "wav_writer.h"

#include <sndfile.h>

namespace capture {

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string& path, int rate_hz, std::string* error) {
    close();
    SF_INFO info{};
    info.samplerate = rate_hz;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        *error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    // No PEAK chunk (it would have to be rewritten too); the header follows every write.
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_command(f, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
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

void WavWriter::close() {
    if (!file_)
        return;
    sf_close(static_cast<SNDFILE*>(file_));
    file_ = nullptr;
}

}  // namespace capture
