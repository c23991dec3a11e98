// Reading back what the capture tool writes: WAV files parsed by hand from their bytes, PNG
// pictures decoded with libpng, and the level of a tone in a stretch of I/Q samples.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <utility>
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

// ---- the program as a process ----

struct Result {
    int exit_code = -1;  // -1: killed or timed out
    bool timed_out = false;
    std::string out, err;
};

std::string make_temp_dir();

// Runs `program` with `args`; `env` entries with an empty value are removed from the
// environment. `while_running` is called about every 20 ms with the child's pid; `in_child` runs
// in the child before the program starts; the child is killed after `timeout_s`.
Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& env, int timeout_s,
                   const std::function<void(pid_t)>& while_running,
                   const std::function<void()>& in_child);

std::string write_file(const std::string& dir, const std::string& name, const std::string& text);
bool contains(const std::string& text, const std::string& part);

// Validates every SigMF meta file and the collection of `dir` against the schemas in
// `schema_dir` with Debian's python3-jsonschema, and checks that every data file has its meta
// file, that no temporary (*.part) is left, and that the collection names each meta file with
// its SHA-512. "" when all is well, else what is wrong.
std::string sigmf_problems(const std::string& dir, const std::string& schema_dir);

nlohmann::json read_json(const std::string& path);
std::vector<float> read_floats(const std::string& path);
// Every file of `dir` with a hash of its content, to see that a run changed nothing.
std::string folder_state(const std::string& dir);

}  // namespace capture_test
