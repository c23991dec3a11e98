#include "outputs.h"

#include "sys.h"
#if ZALVO_CAPTURE_WAV
#include "wav_writer.h"
#endif

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace capture {

namespace fs = std::filesystem;

Outputs::Outputs(const Options& o) : o_(o) {
    for (int i = 0; i < RECEIVERS; ++i) {
        if (!o.record[i])
            continue;
        ReceiverFiles f;
        f.receiver = i;
        const std::string base = (fs::path(o.out_dir) / ("rx" + std::to_string(i))).string();
        if (o.format == Format::sigmf) {
            f.data_path = base + ".sigmf-data";
            f.meta_path = base + ".sigmf-meta";
            f.data = std::make_unique<RawIqFile>();
        } else {
            f.data_path = base + ".wav";
#if ZALVO_CAPTURE_WAV
            f.data = std::make_unique<WavWriter>();
#endif
        }
        f.png_path = base + ".png";
        rx_.push_back(std::move(f));
    }
    if (o.format == Format::sigmf)
        collection_path_ = (fs::path(o.out_dir) / "capture.sigmf-collection").string();
}

std::vector<std::string> Outputs::all_paths() const {
    std::vector<std::string> paths;
    for (const ReceiverFiles& f : rx_) {
        paths.push_back(f.data_path);
        if (!f.meta_path.empty())
            paths.push_back(f.meta_path);
        paths.push_back(f.png_path);
    }
    if (!collection_path_.empty())
        paths.push_back(collection_path_);
    return paths;
}

bool Outputs::check(std::string* error) const {
    return check_output_files(o_, all_paths(), error);
}

bool check_output_files(const Options& o_, const std::vector<std::string>& paths,
                        std::string* error) {
    fs::path dir(o_.out_dir);
    std::error_code ec;
    const fs::file_status st = fs::status(dir, ec);
    if (fs::exists(st)) {
        if (!fs::is_directory(st)) {
            *error = o_.out_dir + " is not a folder";
            return false;
        }
        if (!sys::folder_writable(dir.string())) {
            *error = o_.out_dir + ": " + std::strerror(errno);
            return false;
        }
    } else {
        // Normalised only for "." and "..": normalising drops one of the two leading backslashes of
        // a UNC path.
        const bool dots = dir.filename() == "." || dir.filename() == "..";
        fs::path parent = dots ? dir.lexically_normal().parent_path() : dir.parent_path();
        if (parent.empty())
            parent = ".";
        if (fs::exists(parent, ec) && !fs::is_directory(parent, ec)) {
            *error = "cannot create the folder " + o_.out_dir + ": its parent " + parent.string() +
                     " is a file, not a folder";
            return false;
        }
        if (!fs::is_directory(parent, ec)) {
            *error = "cannot create the folder " + o_.out_dir + ": its parent " + parent.string() +
                     " does not exist (only the last level is created)";
            return false;
        }
        if (!sys::folder_writable(parent.string())) {
            *error = "cannot create the folder " + o_.out_dir + ": " + std::strerror(errno);
            return false;
        }
        // A name the system refuses is found out now, not after streaming: the folder is made
        // and removed again (it is made for good when the first data arrives).
        const std::string refused = sys::folder_name_problem(o_.out_dir);
        if (!refused.empty()) {
            *error = "cannot create the folder " + o_.out_dir + ": " + refused;
            return false;
        }
        const int made = sys::make_folder(o_.out_dir);
        if (made != 0) {
            *error = "cannot create the folder " + o_.out_dir + ": " + std::strerror(made);
            return false;
        }
        rmdir(o_.out_dir.c_str());
        return true;  // a new folder holds nothing to replace
    }
    if (o_.overwrite)
        return true;
    for (const std::string& p : paths) {
        if (fs::symlink_status(p, ec).type() != fs::file_type::not_found) {
            *error = p + " exists already: give --overwrite to replace it, or choose another "
                         "folder with -o";
            return false;
        }
    }
    return true;
}

std::vector<std::string> other_receivers_files(const Options& o) {
    std::vector<std::string> kept;
    std::error_code ec;
    for (int i = 0; i < RECEIVERS; ++i) {
        if (o.record[i])
            continue;
        const std::string base = "rx" + std::to_string(i);
        for (const char* suffix : {".wav", ".sigmf-data", ".sigmf-meta", ".png"})
            if (fs::exists(fs::path(o.out_dir) / (base + suffix), ec))
                kept.push_back(base + suffix);
    }
    return kept;
}

namespace {

constexpr size_t COLLECTION_RESERVE_BYTES = 16 * 1024;

std::vector<std::pair<std::string, std::string>>
meta_texts(const std::vector<ReceiverFiles>& rx, const std::vector<SigmfRecording>& meta) {
    std::vector<std::pair<std::string, std::string>> streams;
    for (size_t i = 0; i < rx.size() && i < meta.size(); ++i)
        streams.emplace_back("rx" + std::to_string(rx[i].receiver), sigmf_meta_text(meta[i]));
    return streams;
}

const char* const COLLECTION_DESCRIPTION = "receivers of one zalvo_capture run";

}  // namespace

bool Outputs::create(const std::vector<SigmfRecording>& meta, std::string* error) {
    const int made = sys::make_folder(o_.out_dir);
    const bool made_folder = made == 0;
    if (!made_folder && made != EEXIST) {
        *error = "cannot create the folder " + o_.out_dir + ": " + std::strerror(made);
        return false;
    }
    // Leave the folder as it was: nothing of this run is kept.
    auto undo = [&](size_t opened) {
        for (size_t k = 0; k < opened; ++k) {
            rx_[k].data->close();
            unlink(rx_[k].data_path.c_str());
        }
        for (size_t k = 0; k < meta_.size(); ++k)
            if (meta_[k]->exists())
                unlink(rx_[k].meta_path.c_str());
        meta_.clear();
        meta_start_.clear();
        if (made_folder)
            rmdir(o_.out_dir.c_str());
    };
    for (size_t i = 0; i < rx_.size(); ++i) {
        rx_[i].data->plan(static_cast<int64_t>(o_.duration_s * o_.rate_hz + 0.5));
        if (!rx_[i].data->open(rx_[i].data_path, o_.rate_hz, o_.overwrite, error)) {
            undo(i);
            return false;
        }
    }
    if (o_.format == Format::sigmf) {
        const auto streams = meta_texts(rx_, meta);
        for (size_t i = 0; i < streams.size(); ++i) {
            meta_start_.push_back(streams[i].second);
            meta_.push_back(std::make_unique<MetaFile>());
            if (!meta_[i]->begin(rx_[i].meta_path, streams[i].second, o_.overwrite,
                                 MetaFile::RESERVE_BYTES, error)) {
                undo(rx_.size());
                return false;
            }
        }
        if (!collection_.begin(collection_path_,
                               sigmf_collection_text(streams, COLLECTION_DESCRIPTION), o_.overwrite,
                               COLLECTION_RESERVE_BYTES, error)) {
            undo(rx_.size());
            return false;
        }
    }
    created_ = true;
    return true;
}

bool Outputs::write(const std::vector<const float*>& iq, int64_t frames) {
    bool ok = true;
    for (size_t i = 0; i < rx_.size() && ok; ++i) {
        if (!rx_[i].data->write(iq[i], frames)) {
            ok = false;
            if (first_error_.empty())
                first_error_ = rx_[i].data->error();
        }
    }
    if (ok)
        return true;
    int64_t common = INT64_MAX;
    for (const ReceiverFiles& f : rx_)
        common = std::min(common, f.data->frames_written());
    for (ReceiverFiles& f : rx_)
        if (f.data->frames_written() != common)
            f.data->truncate(common);
    return false;
}

void Outputs::finish(const std::vector<SigmfRecording>& meta, std::vector<std::string>* errors) {
    for (ReceiverFiles& f : rx_)
        f.data->close();
    if (o_.format != Format::sigmf || !created_)
        return;
    auto streams = meta_texts(rx_, meta);
    std::string e;
    for (size_t i = 0; i < streams.size() && i < meta_.size(); ++i) {
        if (!meta_[i]->finish(streams[i].second, &e)) {
            errors->push_back(e);
            streams[i].second = meta_start_[i];  // the collection names the file as it is
        }
    }
    if (!collection_.finish(sigmf_collection_text(streams, COLLECTION_DESCRIPTION), &e))
        errors->push_back(e);
}

}  // namespace capture
