// SigMF metadata: the meta file of a recording (global information, a capture segment per
// tuning, an annotation per stretch where samples were lost) and the collection that ties the
// recordings of one run together.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace capture {

struct SigmfSegment {
    int64_t sample_start = 0;
    double frequency_hz = 0;
    std::string datetime;  // ISO 8601 UTC; empty: not known for this segment
};

struct SigmfLoss {
    int64_t sample_start = 0;
    int64_t samples = -1;  // samples missing at this point; -1: not known
    std::string comment;
};

struct SigmfRecording {
    std::string datatype = "cf32_le";
    double sample_rate = 0;
    int channels = 1;
    std::string hw, recorder, description, collection;
    std::vector<SigmfSegment> segments;  // in sample order; the first starts at 0
    std::vector<SigmfLoss> losses;
};

std::string sigmf_meta_text(const SigmfRecording& r);

// `streams`: each recording's base name with the text of its meta file.
std::string sigmf_collection_text(const std::vector<std::pair<std::string, std::string>>& streams,
                                  const std::string& description);

// Writes `text` under a temporary name beside `path` and renames it over `path`. Unless
// `replace`, an existing `path` is refused.
bool write_text_file(const std::string& path, const std::string& text, bool replace,
                     std::string* error);

// "2026-12-08T00:50:55.123456Z"
std::string utc_iso8601(std::chrono::system_clock::time_point t);

// SHA-512 of `text` as 128 lower-case hex digits.
std::string sha512_hex(const std::string& text);

}  // namespace capture
