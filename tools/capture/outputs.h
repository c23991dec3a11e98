// The files of one run: which ones there will be, the refusal to replace files left by an
// earlier run, creating them only when the first data is about to be written, and keeping them
// valid and equally long when one of them cannot be written.
#pragma once

#include "options.h"
#include "sample_file.h"
#include "sigmf.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace capture {

struct ReceiverFiles {
    int receiver = 0;
    std::string data_path, meta_path, png_path;  // meta_path only for SigMF
    std::unique_ptr<SampleFile> data;
    bool png_written = false;
};

// The folder's parent exists, the folder (if there) is a writable folder, and unless
// --overwrite none of `paths` exists. False with the reason.
bool check_output_files(const Options& o, const std::vector<std::string>& paths,
                        std::string* error);

// Files of the receivers this run does not record, left in the output folder by an earlier run
// (a run with --receivers keeps them).
std::vector<std::string> other_receivers_files(const Options& o);

class Outputs {
  public:
    explicit Outputs(const Options& o);

    // Before the module starts: the folder's parent exists, the folder (if there) is a folder,
    // and unless --overwrite no file of this run exists yet. False with the reason.
    bool check(std::string* error) const;
    // Creates the folder's last level if missing and the sample files; SigMF: also each meta
    // file, as `meta` says at the start, and the collection, each with the space for its final
    // text reserved. False with the reason, and nothing of this run left behind.
    bool create(const std::vector<SigmfRecording>& meta, std::string* error);
    bool created() const { return created_; }

    // Appends one block to every receiver's file (`iq[i]` for the i-th entry of receivers()).
    // When a file fails, all are cut back to their common length and the first error is kept.
    bool write(const std::vector<const float*>& iq, int64_t frames);
    const std::string& first_error() const { return first_error_; }

    // Closes the sample files; SigMF: replaces each meta file and the collection by their final
    // texts. Adds a line naming each file that could not be completed to `errors`.
    void finish(const std::vector<SigmfRecording>& meta, std::vector<std::string>* errors);

    std::vector<ReceiverFiles>& receivers() { return rx_; }
    const std::string& collection_path() const { return collection_path_; }
    // The collection file is there (SigMF, once created).
    bool collection_exists() const { return collection_.exists(); }
    // Every file this run may write, pictures included.
    std::vector<std::string> all_paths() const;

  private:
    const Options& o_;
    std::vector<ReceiverFiles> rx_;
    std::string collection_path_;
    std::vector<std::unique_ptr<MetaFile>> meta_;
    std::vector<std::string> meta_start_;  // each meta file's text as written at the start
    MetaFile collection_;
    bool created_ = false;
    std::string first_error_;
};

}  // namespace capture
