#include "sigmf.h"

#include "sys.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace capture {

namespace {

const char* const SIGMF_VERSION = "1.2.5";

using nlohmann::ordered_json;

}  // namespace

std::string sigmf_meta_text(const SigmfRecording& r) {
    ordered_json global = {
        {"core:datatype", r.datatype},
        {"core:version", SIGMF_VERSION},
        {"core:sample_rate", r.sample_rate},
    };
    if (r.channels != 1)
        global["core:num_channels"] = r.channels;
    if (!r.hw.empty())
        global["core:hw"] = r.hw;
    if (!r.recorder.empty())
        global["core:recorder"] = r.recorder;
    if (!r.description.empty())
        global["core:description"] = r.description;
    if (!r.collection.empty())
        global["core:collection"] = r.collection;

    ordered_json captures = ordered_json::array();
    for (const SigmfSegment& s : r.segments) {
        ordered_json c = {{"core:sample_start", s.sample_start},
                          {"core:frequency", s.frequency_hz}};
        if (!s.datetime.empty())
            c["core:datetime"] = s.datetime;
        captures.push_back(c);
    }
    ordered_json annotations = ordered_json::array();
    for (const SigmfLoss& l : r.losses) {
        // The lost samples are not in the file: the annotation marks the point of the gap.
        annotations.push_back({{"core:sample_start", l.sample_start},
                               {"core:sample_count", 0},
                               {"core:label", "samples lost"},
                               {"core:comment", l.comment}});
    }
    ordered_json meta = {{"global", global}, {"captures", captures}, {"annotations", annotations}};
    return meta.dump(2) + "\n";
}

std::string sigmf_collection_text(const std::vector<std::pair<std::string, std::string>>& streams,
                                  const std::string& description) {
    ordered_json list = ordered_json::array();
    for (const auto& s : streams)
        list.push_back(ordered_json::array({s.first, sha512_hex(s.second)}));
    ordered_json c = {
        {"core:version", SIGMF_VERSION}, {"core:description", description}, {"core:streams", list}};
    return ordered_json{{"collection", c}}.dump(2) + "\n";
}

bool write_text_file(const std::string& path, const std::string& text, bool replace,
                     std::string* error) {
    std::error_code ec;
    if (!replace &&
        std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        *error = path + ": exists already (--overwrite replaces it)";
        return false;
    }
    const std::string temp = path + ".part";
    std::string open_error;
    int fd = sys::open_output(temp, true, &open_error);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    int failure = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (!failure)
        failure = sys::replace_file(temp, path);
    if (failure) {
        ::unlink(temp.c_str());
        *error = path + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

std::string utc_iso8601(std::chrono::system_clock::time_point t) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(us / 1000000);
    std::tm tm{};
    sys::utc_time(seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(us % 1000000));
    return text;
}

std::string sha512_hex(const std::string& text) {
    return sys::sha512_hex(text);
}

}  // namespace capture
