#include "sigmf.h"

#include "sys.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

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
        ordered_json c = {{"core:sample_start", s.sample_start}};
        if (!std::isnan(s.frequency_hz))
            c["core:frequency"] = s.frequency_hz;
        if (!s.datetime.empty())
            c["core:datetime"] = s.datetime;
        captures.push_back(c);
    }
    std::vector<SigmfNote> notes;
    for (const SigmfLoss& l : r.losses) {
        // The lost samples are not in the file: the annotation marks the point of the gap.
        notes.push_back({l.sample_start, 0, "samples lost", l.comment});
    }
    notes.insert(notes.end(), r.notes.begin(), r.notes.end());
    std::stable_sort(notes.begin(), notes.end(), [](const SigmfNote& a, const SigmfNote& b) {
        return a.sample_start < b.sample_start;
    });
    ordered_json annotations = ordered_json::array();
    for (const SigmfNote& n : notes)
        annotations.push_back({{"core:sample_start", n.sample_start},
                               {"core:sample_count", n.sample_count},
                               {"core:label", n.label},
                               {"core:comment", n.comment}});
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

namespace {

// Reserves in use, by path, for remove_meta_reserves_now().
constexpr int RESERVE_SLOTS = 8;
constexpr size_t RESERVE_PATH = 1024;
char g_reserve_paths[RESERVE_SLOTS][RESERVE_PATH];
std::atomic<bool> g_reserve_used[RESERVE_SLOTS];
std::mutex g_reserve_lock;

int claim_reserve_slot(const std::string& path) {
    if (path.size() >= RESERVE_PATH)
        return -1;
    std::lock_guard<std::mutex> g(g_reserve_lock);
    for (int i = 0; i < RESERVE_SLOTS; ++i) {
        if (!g_reserve_used[i].load()) {
            std::memcpy(g_reserve_paths[i], path.c_str(), path.size() + 1);
            g_reserve_used[i].store(true);
            return i;
        }
    }
    return -1;
}

bool write_all(int fd, const std::string& text, int* failure) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *failure = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void remove_meta_reserves_now() {
    for (int i = 0; i < RESERVE_SLOTS; ++i)
        if (g_reserve_used[i].load())
            ::unlink(g_reserve_paths[i]);
}

MetaFile::~MetaFile() {
    drop_reserve();
}

void MetaFile::drop_reserve() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
        fd_ = -1;
    }
    if (slot_ >= 0)
        g_reserve_used[slot_].store(false);
    slot_ = -1;
}

bool MetaFile::begin(const std::string& path, const std::string& text, bool replace, size_t reserve,
                     std::string* error) {
    drop_reserve();
    path_ = path;
    temp_ = path + ".part";
    written_ = false;
    if (!write_text_file(path, text, replace, error))
        return false;
    written_ = true;
    std::string ignored;
    fd_ = sys::open_output(temp_, true, &ignored);
    if (fd_ < 0)
        return true;
    slot_ = claim_reserve_slot(temp_);
    // Blocks written, not a hole: the space is the file system's to give now, not at the end.
    int failure = 0;
    if (!write_all(fd_, std::string(reserve, ' '), &failure))
        drop_reserve();
    return true;
}

bool MetaFile::finish(const std::string& text, std::string* error) {
    if (fd_ < 0) {
        drop_reserve();
        if (write_text_file(path_, text, true, error)) {
            written_ = true;
            return true;
        }
        return false;
    }
    int failure = 0;
    if (::lseek(fd_, 0, SEEK_SET) != 0)
        failure = errno;
    if (!failure && write_all(fd_, text, &failure) &&
        !sys::truncate_file(fd_, static_cast<int64_t>(text.size())))
        failure = errno;
    if (::close(fd_) != 0 && !failure)
        failure = errno;
    fd_ = -1;
    if (!failure)
        failure = sys::replace_file(temp_, path_);
    if (failure)
        ::unlink(temp_.c_str());
    if (slot_ >= 0)
        g_reserve_used[slot_].store(false);
    slot_ = -1;
    if (failure) {
        *error = path_ + ": " + std::strerror(failure) + " (it keeps what it said at the start)";
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
