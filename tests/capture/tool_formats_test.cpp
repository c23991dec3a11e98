// The capture program's recordings as other tools see them: files kept valid and equally long
// through a write error, and the board's raw stream recorded and replayed through the module.
#include "tool_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace capture_test;

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
            // A picture is listed only when it was written.
            const bool listed = contains(r.out, base + ".png");
            EXPECT_EQ(listed, read_png(base + ".png").ok) << r.out;
        }
        EXPECT_GT(frames, 0u);
        EXPECT_LT(frames, 3u * 48000);
        if (format == std::string("sigmf")) {
            EXPECT_EQ(check_sigmf(out), "");
        }
    }
}

TEST_F(CaptureTool, RawRecordingReplayedThroughTheModuleGivesTheSameOutput) {
    const std::string scene = write_file(dir_, "scene.txt", FAST_SCENE);
    // All four receivers at the module's own start tuning, so that the module's run and the raw
    // recording see the same stream from its first instant.
    const std::vector<std::string> tuning = {"-f", "0:3.6M", "-f", "1:3.6M",
                                             "-f", "2:3.6M", "-f", "3:3.6M"};
    auto with = [&](std::vector<std::string> args, bool tuned) {
        if (tuned)
            args.insert(args.end(), tuning.begin(), tuning.end());
        return args;
    };
    Result original = run(with({"simulate", "--scene", scene, "-d", "1", "--format", "sigmf", "-o",
                                dir_ + "/original"},
                               true),
                          {}, 120);
    ASSERT_EQ(original.exit_code, 0) << original.out << original.err;
    // Longer than the module's run: it reads ahead of what it delivers.
    Result raw =
        run(with({"simulate", "--scene", scene, "--raw", "-d", "2", "-o", dir_ + "/raw"}, true), {},
            120);
    ASSERT_EQ(raw.exit_code, 0) << raw.out << raw.err;
    EXPECT_EQ(file_size(dir_ + "/raw/raw.sigmf-data"), 2u * 500000 * 4 * 4);
    EXPECT_EQ(check_sigmf(dir_ + "/raw"), "");
    nlohmann::json m = read_json(dir_ + "/raw/raw.sigmf-meta");
    ASSERT_TRUE(m.is_object());
    EXPECT_EQ(m["global"]["core:datatype"], "ci16_le");
    EXPECT_EQ(m["global"]["core:num_channels"], 4);
    EXPECT_EQ(m["global"]["core:sample_rate"], 500000.0);

    Result replayed =
        run(with({"simulate", "--scene", scene, "--replay", dir_ + "/raw/raw.sigmf-meta", "-d", "1",
                  "--format", "sigmf", "-o", dir_ + "/replayed"},
                 true),
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
    }

    // Each channel of the recording feeds its own receiver: a raw recording at the default
    // tunings, replayed with every receiver at 3.6 MHz, still shows each receiver's carrier.
    Result spread =
        run({"simulate", "--scene", scene, "--raw", "-d", "1", "-o", dir_ + "/spread"}, {}, 120);
    ASSERT_EQ(spread.exit_code, 0) << spread.err;
    Result mapped = run(with({"simulate", "--replay", dir_ + "/spread/raw.sigmf-meta", "-d", "0.5",
                              "-o", dir_ + "/mapped"},
                             true),
                        {}, 120);
    ASSERT_EQ(mapped.exit_code, 0) << mapped.out << mapped.err;
    const double offsets[4] = {3000, -5000, 7000, -11000};
    for (int i = 0; i < 4; ++i) {
        Wav w = read_wav(dir_ + "/mapped/rx" + std::to_string(i) + ".wav");
        ASSERT_TRUE(w.ok) << w.problem;
        EXPECT_NEAR(tone_db(w.samples, 48000, offsets[i], 12000, 12000), expected_db(-40), 1.0)
            << "rx" << i;
    }

    Result bad = run(
        {"simulate", "--replay", dir_ + "/original/rx0.sigmf-meta", "-o", dir_ + "/never"}, {}, 60);
    EXPECT_EQ(bad.exit_code, 2) << bad.err;
    EXPECT_TRUE(contains(bad.err, "not a raw recording")) << bad.err;
}
