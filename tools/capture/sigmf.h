// SigMF metadata: the meta file of a recording (global information, a capture segment per
// tuning, an annotation per stretch where samples were lost) and the collection that ties the
// recordings of one run together.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace capture {

struct SigmfSegment {
    int64_t sample_start = 0;
    double frequency_hz = 0;  // NaN: not known
    std::string datetime;     // ISO 8601 UTC; empty: not known for this segment
};

struct SigmfLoss {
    int64_t sample_start = 0;
    int64_t samples = -1;  // samples missing at this point; -1: not known
    std::string comment;
};

// A stretch of the recording with something to say about it.
struct SigmfNote {
    int64_t sample_start = 0;
    int64_t sample_count = 0;
    std::string label, comment;
};

struct SigmfRecording {
    std::string datatype = "cf32_le";
    double sample_rate = 0;
    int channels = 1;
    std::string hw, recorder, description, collection;
    std::vector<SigmfSegment> segments;  // in sample order; the first starts at 0
    std::vector<SigmfLoss> losses;
    std::vector<SigmfNote> notes;  // annotated with the losses, all in sample order
};

std::string sigmf_meta_text(const SigmfRecording& r);

// `streams`: each recording's base name with the text of its meta file.
std::string sigmf_collection_text(const std::vector<std::pair<std::string, std::string>>& streams,
                                  const std::string& description);

// Writes `text` under a temporary name beside `path` and renames it over `path`. Unless
// `replace`, an existing `path` is refused.
bool write_text_file(const std::string& path, const std::string& text, bool replace,
                     std::string* error);

// A meta file that describes its recording from the first block on: written when the recording
// starts, and replaced in one step at the end by a text written into space taken beforehand (the
// temporary beside it), so that a disk that fills up meanwhile cannot leave the recording
// without a valid meta file.
class MetaFile {
  public:
    static constexpr size_t RESERVE_BYTES = 64 * 1024;

    MetaFile() = default;
    ~MetaFile();  // removes the reserve when finish() was not reached
    MetaFile(const MetaFile&) = delete;
    MetaFile& operator=(const MetaFile&) = delete;

    // Writes `text` to `path` (through a temporary; an existing `path` is refused unless
    // `replace`), then takes `reserve` bytes beside it for the final text. False with the
    // reason when the file could not be written; a reserve that cannot be had is no error.
    bool begin(const std::string& path, const std::string& text, bool replace, size_t reserve,
               std::string* error);
    // Replaces the file by `text`, written into the reserved space (and past it when longer).
    // False with the reason; the file written by begin() then stays.
    bool finish(const std::string& text, std::string* error);

    bool exists() const { return written_; }
    const std::string& path() const { return path_; }

  private:
    void drop_reserve();

    std::string path_, temp_;
    int fd_ = -1;
    int slot_ = -1;  // in the list remove_meta_reserves_now() works through
    bool written_ = false;
};

// Removes the reserve of every MetaFile not yet finished. Only system calls: safe in a signal
// handler, for a program that ends at once.
void remove_meta_reserves_now();

// "2026-12-08T00:50:55.123456Z"
std::string utc_iso8601(std::chrono::system_clock::time_point t);

// SHA-512 of `text` as 128 lower-case hex digits.
std::string sha512_hex(const std::string& text);

}  // namespace capture
