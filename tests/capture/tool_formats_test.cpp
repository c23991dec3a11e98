// The capture program's recordings as other tools see them: files kept valid and equally long
// through a write error, the board's raw stream recorded and replayed through the module, and a
// board that leaves the bus in the middle of a run.
#include "tool_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using namespace capture_test;

namespace {

// Mounts a tmpfs of `size` on each of `dirs`, in a mount namespace of this test program's own
// (its children see it, the machine does not). False when that needs privileges it lacks.
bool small_filesystems(const std::vector<std::string>& dirs, const char* size) {
    static bool own_namespace = unshare(CLONE_NEWNS) == 0 &&
                                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!own_namespace)
        return false;
    for (const std::string& d : dirs) {
        if (mkdir(d.c_str(), 0755) != 0 ||
            mount("zalvo-test", d.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0)
            return false;
    }
    return true;
}

// Every path under `dir` that `text` names.
std::vector<std::string> paths_named(const std::string& text, const std::string& dir) {
    std::vector<std::string> paths;
    for (size_t at = text.find(dir + "/"); at != std::string::npos;
         at = text.find(dir + "/", at + 1)) {
        const size_t end = text.find_first_of(" \n:", at);
        paths.push_back(text.substr(at, end - at));
    }
    return paths;
}

// Seconds since 1970 of an ISO 8601 UTC time such as "2026-12-08T20:48:58.817988Z"; -1 if not one.
double utc_seconds(const std::string& iso) {
    std::tm t{};
    double sec = 0;
    if (std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%lfZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &sec) != 6)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return double(timegm(&t)) + sec;
}

}  // namespace

TEST_F(CaptureTool, WriteErrorKeepsEveryFileValidAndEquallyLongAndReportsTheFirstError) {
    // A file-size limit stands in for a full disk: a write past it fails with EFBIG.
    const std::string scene = write_file(dir_, "scene.txt", FAST_SCENE);
    for (const char* format : {"wav", "sigmf"}) {
        SCOPED_TRACE(format);
        const std::string out = dir_ + "/" + format;
        Result r = run({"simulate", "--scene", scene, "-d", "3", "-o", out, "--format", format}, {},
                       120, {}, [] {
                           signal(SIGXFSZ, SIG_IGN);
                           rlimit limit{300000, 300000};
                           setrlimit(RLIMIT_FSIZE, &limit);
                       });
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        const std::string first = std::string("cannot write ") + out + "/rx0." +
                                  (format == std::string("wav") ? "wav" : "sigmf-data") + ": ";
        EXPECT_EQ(r.err.find("zalvo_capture: " + first), 0u) << r.err;
        uint64_t frames = 0;
        for (int i = 0; i < 4; ++i) {
            const std::string base = out + "/rx" + std::to_string(i);
            uint64_t n = 0;
            if (format == std::string("wav")) {
                Wav w = read_wav(base + ".wav");
                ASSERT_TRUE(w.ok) << base << ": " << w.problem;
                n = w.frames();
            } else {
                n = file_size(base + ".sigmf-data") / 8;
                EXPECT_EQ(file_size(base + ".sigmf-data") % 8, 0u);
            }
            if (i == 0)
                frames = n;
            EXPECT_EQ(n, frames) << base;
            EXPECT_TRUE(contains(r.out, "(" + std::to_string(n) + " samples)")) << r.out;
            // A picture is listed only when it was written, and is there whole or not at all.
            const bool listed = contains(r.out, base + ".png");
            EXPECT_EQ(listed, read_png(base + ".png").ok) << r.out;
            if (!listed) {
                EXPECT_EQ(access((base + ".png").c_str(), F_OK), -1);
            }
        }
        EXPECT_GT(frames, 0u);
        EXPECT_LT(frames, 3u * 48000);
        if (format == std::string("sigmf")) {
            EXPECT_EQ(check_sigmf(out), "");
        }
    }

    // A file system that fills up: every data file keeps a valid meta file (the SigMF one's and
    // the raw one's), the summary lists only files that are there, and the error names every
    // file that could not be completed.
    const std::string sigmf = dir_ + "/small-sigmf", raw = dir_ + "/small-raw";
    if (!small_filesystems({sigmf, raw}, "2m"))
        GTEST_SKIP() << "no file system of 2 MiB to fill (needs root or a mount namespace)";
    Result full =
        run({"simulate", "--scene", scene, "-d", "3", "--format", "sigmf", "-o", sigmf}, {}, 120);
    EXPECT_EQ(full.exit_code, 1) << full.out << full.err;
    EXPECT_EQ(check_sigmf(sigmf), "");
    for (const std::string& p : paths_named(full.out, sigmf))
        EXPECT_EQ(access(p.c_str(), F_OK), 0) << p << " is listed but not there\n" << full.out;
    EXPECT_TRUE(contains(full.out, "collection " + sigmf + "/capture.sigmf-collection"))
        << full.out;
    for (int i = 0; i < 4; ++i) {
        const std::string png = sigmf + "/rx" + std::to_string(i) + ".png";
        if (access(png.c_str(), F_OK) == 0) {
            EXPECT_TRUE(read_png(png).ok) << png;
            EXPECT_TRUE(contains(full.out, png)) << full.out;
        } else {
            EXPECT_TRUE(contains(full.err, "the picture " + png + ": ")) << full.err;
        }
    }
    EXPECT_LT(file_size(sigmf + "/rx0.sigmf-data"), 3u * 48000 * 8) << "the disk was never full";

    Result full_raw = run({"simulate", "--scene", scene, "-d", "3", "--raw", "-o", raw}, {}, 120);
    EXPECT_EQ(full_raw.exit_code, 1) << full_raw.out << full_raw.err;
    EXPECT_TRUE(contains(full_raw.err, "cannot write " + raw + "/raw.sigmf-data: "))
        << full_raw.err;
    EXPECT_EQ(check_sigmf(raw), "");
    EXPECT_TRUE(contains(full_raw.out, "  " + raw + "/raw.sigmf-meta\n")) << full_raw.out;
    EXPECT_EQ(file_size(raw + "/raw.sigmf-data") % 16, 0u);
    EXPECT_GT(file_size(raw + "/raw.sigmf-data"), 0u);
}

TEST_F(CaptureTool, RawRecordingReplayedThroughTheModuleGivesTheSameOutput) {
    const std::string scene = write_file(dir_, "scene.txt", FAST_SCENE);
    // All four receivers at the module's own start tuning, so that the module's run and the raw
    // recording see the same stream from its first instant.
    const std::vector<std::string> tuning = {"-f", "0:3.6M", "-f", "1:3.6M",
                                             "-f", "2:3.6M", "-f", "3:3.6M"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), tuning.begin(), tuning.end());
        return args;
    };
    Result original = run(with({"simulate", "--scene", scene, "-d", "1", "--format", "sigmf", "-o",
                                dir_ + "/original"}),
                          {}, 120);
    ASSERT_EQ(original.exit_code, 0) << original.out << original.err;
    // Longer than the module's run: it reads ahead of what it delivers.
    Result raw =
        run(with({"simulate", "--scene", scene, "--raw", "-d", "2", "-o", dir_ + "/raw"}), {}, 120);
    ASSERT_EQ(raw.exit_code, 0) << raw.out << raw.err;
    EXPECT_EQ(file_size(dir_ + "/raw/raw.sigmf-data"), 2u * 500000 * 4 * 4);
    EXPECT_EQ(check_sigmf(dir_ + "/raw"), "");
    nlohmann::json m = read_json(dir_ + "/raw/raw.sigmf-meta");
    ASSERT_TRUE(m.is_object());
    EXPECT_EQ(m["global"]["core:datatype"], "ci16_le");
    EXPECT_EQ(m["global"]["core:num_channels"], 4);
    EXPECT_EQ(m["global"]["core:sample_rate"], 500000.0);

    // The replay takes the recording's tuning (3.6 MHz for every receiver here), not the
    // defaults (and no option may claim another: see the option tests).
    Result replayed = run({"simulate", "--scene", scene, "--replay", dir_ + "/raw/raw.sigmf-meta",
                           "-d", "1", "--format", "sigmf", "-o", dir_ + "/replayed"},
                          {}, 120);
    ASSERT_EQ(replayed.exit_code, 0) << replayed.out << replayed.err;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "/rx" + std::to_string(i) + ".sigmf-data";
        std::vector<float> a = read_floats(dir_ + "/original" + name);
        std::vector<float> b = read_floats(dir_ + "/replayed" + name);
        ASSERT_EQ(a.size(), 2u * 48000);
        ASSERT_EQ(b.size(), a.size());
        double power = 0, worst = 0;
        size_t equal = 0;
        for (size_t k = 0; k < a.size(); ++k) {
            power += double(a[k]) * a[k];
            worst = std::max(worst, std::fabs(double(a[k]) - b[k]));
            equal += a[k] == b[k];
        }
        const double rms = std::sqrt(power / a.size());
        std::printf("rx%d: replay equals the original run in %zu of %zu floats, largest "
                    "difference %.3g of the RMS\n",
                    i, equal, a.size(), worst / rms);
        EXPECT_GT(rms, 0.0);
        EXPECT_LE(worst, 1e-4 * rms) << "rx" << i;
        nlohmann::json said = read_json(dir_ + "/replayed/rx" + std::to_string(i) + ".sigmf-meta");
        EXPECT_EQ(said["captures"][0]["core:frequency"], 3600000.0) << "rx" << i;
    }

    // Each channel of the recording feeds its own receiver, and the run is as long as the
    // recording (1 s here, against the default 5 s): no stretch of silence at its end.
    Result spread =
        run({"simulate", "--scene", scene, "--raw", "-d", "1", "-o", dir_ + "/spread"}, {}, 120);
    ASSERT_EQ(spread.exit_code, 0) << spread.err;
    Result mapped = run(
        {"simulate", "--replay", dir_ + "/spread/raw.sigmf-meta", "-o", dir_ + "/mapped"}, {}, 120);
    ASSERT_EQ(mapped.exit_code, 0) << mapped.out << mapped.err;
    EXPECT_TRUE(contains(mapped.out, "1.00 s of signal")) << mapped.out;
    EXPECT_TRUE(contains(mapped.out, "the replay ends where the recording does")) << mapped.out;
    const double offsets[4] = {3000, -5000, 7000, -11000};
    for (int i = 0; i < 4; ++i) {
        Wav w = read_wav(dir_ + "/mapped/rx" + std::to_string(i) + ".wav");
        ASSERT_TRUE(w.ok) << w.problem;
        ASSERT_EQ(w.frames(), 48000u);
        EXPECT_NEAR(tone_db(w.samples, 48000, offsets[i], 12000, 12000), expected_db(-40), 1.0)
            << "rx" << i;
        EXPECT_NEAR(tone_db(w.samples, 48000, offsets[i], 43200, 4800), expected_db(-40), 1.0)
            << "rx" << i << ": the end of the run";
    }

    // A data file cut short is refused: not a whole number of instants, or shorter than its
    // meta file says.
    const std::string cut = dir_ + "/cut";
    ASSERT_EQ(mkdir(cut.c_str(), 0755), 0);
    nlohmann::json meta = read_json(dir_ + "/spread/raw.sigmf-meta");
    meta["annotations"] = nlohmann::json::array(
        {{{"core:sample_start", 5000}, {"core:sample_count", 0}, {"core:label", "x"}}});
    write_file(cut, "raw.sigmf-meta", meta.dump());
    const std::vector<float> spread_data = read_floats(dir_ + "/spread/raw.sigmf-data");
    for (size_t bytes : {size_t(1001), size_t(16 * 4000)}) {
        write_file(cut, "raw.sigmf-data",
                   std::string(reinterpret_cast<const char*>(spread_data.data()), bytes));
        Result refused =
            run({"simulate", "--replay", cut + "/raw.sigmf-meta", "-o", dir_ + "/never"}, {}, 60);
        EXPECT_EQ(refused.exit_code, 2) << refused.err;
        EXPECT_TRUE(contains(refused.err, bytes == 1001 ? "1001 bytes are not a whole number of "
                                                          "sample instants"
                                                        : "holds 4000; the files do not belong"))
            << refused.err;
    }
    EXPECT_EQ(access((dir_ + "/never").c_str(), F_OK), -1);

    Result bad = run(
        {"simulate", "--replay", dir_ + "/original/rx0.sigmf-meta", "-o", dir_ + "/never"}, {}, 60);
    EXPECT_EQ(bad.exit_code, 2) << bad.err;
    EXPECT_TRUE(contains(bad.err, "not a raw recording")) << bad.err;
}

// Unplugged for a second in the middle of a run and back cold: the module brings the board up
// again and the run goes on. The recording holds the signal asked for, with nothing filled in
// where the board was away; the place is marked and a new segment starts there, dated when the
// stream resumed.
TEST_F(CaptureTool, BoardUnpluggedMidRunIsOneAbsenceAndTheRunGoesOn) {
    const std::string board =
        "noise -100\ncarrier 3523000 -40\n"
        "board cold rev=4 pacing=real_time fifo=2097152 rejoin_ms=300 eeprom1=0x0001 "
        "eeprom3=0x0001\n";
    const std::string scene = write_file(dir_, "unplug.txt", board + "unplug at=1 for=1\n");
    const std::string out = dir_ + "/out";
    Result r =
        run({"simulate", "--scene", scene, "-d", "2", "-o", out, "--format", "sigmf"}, {}, 60);
    ASSERT_EQ(r.exit_code, 4) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "StreamWorker: board lost (gone from the bus)")) << r.err;
    const size_t at = r.out.find("\n  BOARD AWAY: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("BOARD AWAY", at + 5), std::string::npos) << "one absence: " << r.out;
    EXPECT_FALSE(contains(r.out, "SAMPLES LOST")) << "no other loss: " << r.out;
    double away = 0;
    long long missing = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("back after ", at),
                          "back after %lf s: %lld samples missing in each receiver", &away,
                          &missing),
              2)
        << r.out;
    EXPECT_GE(away, 1.0) << "off the bus for a second";
    EXPECT_EQ(missing, std::llround(away * 48000));

    EXPECT_EQ(check_sigmf(out), "");
    for (int i = 0; i < 4; ++i) {
        const std::string base = out + "/rx" + std::to_string(i);
        nlohmann::json m = read_json(base + ".sigmf-meta");
        ASSERT_TRUE(m.is_object());
        EXPECT_EQ(file_size(base + ".sigmf-data"), 2 * 48000 * 8) << "nothing padded or cut";
        const nlohmann::json& caps = m["captures"];
        const nlohmann::json& notes = m["annotations"];
        ASSERT_EQ(caps.size(), 2u) << caps.dump();
        ASSERT_EQ(notes.size(), 1u) << notes.dump();
        const int64_t start = caps[1]["core:sample_start"].get<int64_t>();
        EXPECT_EQ(notes[0]["core:sample_start"].get<int64_t>(), start);
        EXPECT_GT(start, 0);
        EXPECT_LT(start, 96000);
        EXPECT_EQ(caps[1]["core:frequency"], caps[0]["core:frequency"]);
        EXPECT_TRUE(contains(notes[0]["core:comment"].get<std::string>(),
                             std::to_string(missing) + " samples are missing"))
            << notes[0].dump();
        // The resumed segment's date is the first segment's, plus the samples before the gap
        // and those it cost: not the moment the board left, a whole absence earlier.
        const double first = utc_seconds(caps[0]["core:datetime"].get<std::string>());
        const double resumed = utc_seconds(caps[1]["core:datetime"].get<std::string>());
        EXPECT_NEAR(resumed - first, double(start + missing) / 48000, away / 4) << caps.dump();
    }

    // A board that stays away: the no-data rule waits while the module does, and
    // --wait-for-board ends the run as a stalled board does.
    const std::string gone = write_file(dir_, "gone.txt", board + "unplug at=0.5 for=1000\n");
    Result g =
        run({"simulate", "--scene", gone, "-d", "5", "-o", dir_ + "/gone", "--wait-for-board", "6"},
            {}, 60);
    EXPECT_EQ(g.exit_code, 3) << g.out << g.err;
    EXPECT_TRUE(contains(g.err, "was not back within 6 s")) << g.err;
    EXPECT_FALSE(contains(g.err, "no data from the board")) << g.err;
    EXPECT_TRUE(contains(g.out, "not back when the run ended")) << g.out;
}
