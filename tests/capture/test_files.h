// Reading back what the capture tool writes: WAV files parsed by hand from their bytes, PNG
// pictures decoded with libpng, and the level of a tone in a stretch of I/Q samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace capture_test {

struct Wav {
    bool ok = false;
    std::string problem;  // why ok is false
    uint64_t file_bytes = 0;
    uint32_t riff_size = 0;
    uint16_t format_tag = 0, channels = 0, block_align = 0, bits = 0;
    uint16_t subformat = 0;  // WAVE_FORMAT_EXTENSIBLE: the first two bytes of its sub-format
    // IEEE float samples, plainly (tag 3) or through WAVE_FORMAT_EXTENSIBLE.
    bool is_float() const { return format_tag == 3 || (format_tag == 0xFFFE && subformat == 3); }
    uint32_t rate = 0, byte_rate = 0;
    uint64_t data_offset = 0;
    uint32_t data_bytes = 0;
    bool has_fact = false;
    uint32_t fact_frames = 0;
    std::vector<float> samples;  // interleaved I, Q as stored
    uint64_t frames() const { return samples.size() / 2; }
};

// Parses a RIFF/WAVE file chunk by chunk. ok only when the RIFF size matches the file, the
// 'fmt ' and 'data' chunks are present and the data chunk lies within the file.
Wav read_wav(const std::string& path);

struct Png {
    bool ok = false;
    std::string problem;
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3
    int luma(int x, int y) const;
};

Png read_png(const std::string& path);

// Amplitude in dB (full scale 1.0) of the complex tone at `hz` in frames [first, first+count)
// of interleaved I/Q, by direct correlation.
double tone_db(const std::vector<float>& iq, int rate, double hz, size_t first, size_t count);

std::string read_text(const std::string& path);
uint64_t file_size(const std::string& path);

}  // namespace capture_test
