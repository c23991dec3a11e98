// The capture program as people run it: a separate process on the simulated board, judged by
// its exit status, its messages and the files it leaves.
#include "md5.h"
#include "tool_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace capture_test;

namespace {

// Whether the process has a handler for SIGINT (its caught-signal mask in /proc).
bool catches_sigint(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
    return false;
}

}  // namespace

TEST_F(CaptureTool, OptionErrorsGiveUsageAndExitCode2WithoutTouchingAnything) {
    const std::string out = dir_ + "/never";
    const std::vector<std::vector<std::string>> bad = {
        {"simulate", "-o", out, "--rate", "44100"},
        {"simulate", "-o", out, "--duration", "zero"},
        {"simulate", "-o", out, "--freq", "5:7000000"},
        {"simulate", "-o", out, "--retune", "9:1:7030000", "-d", "2"},
        {"simulate", "-o", out, "--nonsense"},
        {"simulate", "-o", out, "stray"},
        {"fly", "-o", out},
        {"simulate", "-o", out, "--scene", dir_ + "/no-such-scene.txt"},
        {"simulate", "-o", out, "--scene", dir_},
        {"simulate", "-o", out, "--scene", write_file(dir_, "empty.txt", "")},
        {"simulate", "-o", "-"},
    };
    for (const auto& args : bad) {
        std::string line;
        for (const std::string& a : args)
            line += a + " ";
        Result r = run(args, {}, 30);
        EXPECT_EQ(r.exit_code, 2) << line << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, "zalvo_capture: ")) << r.err;
        if (!contains(line, "--scene")) {  // a bad scene file is named, not the usage
            EXPECT_TRUE(contains(r.err, "usage: zalvo_capture")) << line << "\n" << r.err;
        }
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // A bad scene named by the environment is an error too, not a silent default.
    Result env = run({"simulate", "-o", out},
                     {{"USBSIM_SCENE", write_file(dir_, "bad.txt", "board cold rev=4\n")}}, 30);
    EXPECT_EQ(env.exit_code, 2) << env.err;
    EXPECT_TRUE(contains(env.err, "names its pacing")) << env.err;
    EXPECT_EQ(access(out.c_str(), F_OK), -1) << "the output folder was created";

    Result help = run({"--help"}, {}, 30);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(contains(help.out, "usage: zalvo_capture"));
    EXPECT_TRUE(contains(help.out, "--retune T:RX:HZ"));
    EXPECT_TRUE(help.err.empty()) << help.err;

    // --module with a bare name finds the file in the current folder; --version reads the
    // module's version from the file itself.
    const std::string module = ZALVO_MODULE_FILE;
    const std::string folder = module.substr(0, module.rfind('/'));
    const std::string name = module.substr(module.rfind('/') + 1);
    Result version = run({"--version", "--module", name}, {}, 30, {}, [&] {
        if (chdir(folder.c_str()) != 0)
            _exit(126);
    });
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_TRUE(contains(version.out, std::string("zalvo_capture ") + ZALVO_VERSION + "\n"))
        << version.out;
    EXPECT_TRUE(contains(version.out, "module ./" + name + ": " + ZALVO_VERSION + "\n"))
        << version.out;
}

TEST_F(CaptureTool, SimulatedCaptureWritesEachFormatAndPicturesWithTheCarriersAtTheirOffsets) {
    const std::string scene = write_file(dir_, "scene.txt", FAST_SCENE);
    const double offsets[4] = {3000, -5000, 7000, -11000};
    const int rate = 48000;
    struct Run {
        const char* format;
        std::vector<int> receivers;
    };
    for (const Run& run_of : {Run{"wav", {0, 1, 2, 3}}, Run{"sigmf", {1, 2}}}) {
        const bool sigmf = run_of.format == std::string("sigmf");
        SCOPED_TRACE(run_of.format);
        const std::string out = dir_ + "/" + run_of.format;
        std::vector<std::string> args = {"simulate", "--scene",  scene,           "-d",
                                         "1.5",      "--retune", "0.5:1:7030000", "-o",
                                         out,        "--format", run_of.format};
        if (sigmf) {
            args.push_back("--receivers");
            args.push_back("1,2");
        }
        const auto started = std::chrono::system_clock::now();
        Result r = run(args, {}, 120);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "1.50 s of signal at 48000 Hz")) << r.out;
        EXPECT_TRUE(contains(r.out, "retuned to 7.030000 MHz")) << r.out;
        EXPECT_TRUE(contains(r.out, "overruns: 0 reported by the module")) << r.out;
        EXPECT_FALSE(contains(r.out, "SAMPLES LOST")) << r.out;
        EXPECT_FALSE(contains(r.out, "\r")) << "a progress line although the output is no terminal";

        for (int i = 0; i < 4; ++i) {
            const std::string base = out + "/rx" + std::to_string(i);
            SCOPED_TRACE(base);
            const bool recorded = std::find(run_of.receivers.begin(), run_of.receivers.end(), i) !=
                                  run_of.receivers.end();
            if (!recorded) {
                EXPECT_FALSE(contains(r.out, base)) << r.out;
                EXPECT_EQ(access((base + ".png").c_str(), F_OK), -1);
                EXPECT_EQ(access((base + (sigmf ? ".sigmf-data" : ".wav")).c_str(), F_OK), -1);
                continue;
            }
            std::vector<float> samples;
            int64_t retune_at = 24000;  // the WAV file does not say; 0.5 s
            if (sigmf) {
                EXPECT_TRUE(contains(r.out, base + ".sigmf-data (72000 samples)")) << r.out;
                samples = read_floats(base + ".sigmf-data");
                nlohmann::json m = read_json(base + ".sigmf-meta");
                ASSERT_TRUE(m.is_object());
                EXPECT_EQ(m["global"]["core:datatype"], "cf32_le");
                EXPECT_EQ(m["global"]["core:sample_rate"], 48000.0);
                EXPECT_TRUE(
                    contains(m["global"]["core:recorder"].get<std::string>(), "zalvo_capture"));
                EXPECT_TRUE(contains(m["global"]["core:hw"].get<std::string>(), "simulated"));
                const nlohmann::json& caps = m["captures"];
                ASSERT_EQ(caps.size(), i == 1 ? 2u : 1u) << caps.dump();
                EXPECT_EQ(caps[0]["core:sample_start"], 0);
                EXPECT_EQ(caps[0]["core:frequency"], i == 1 ? 3560000.0 : 3600000.0);
                // The first sample's UTC time lies within the run.
                std::tm tm{};
                const std::string when = caps[0]["core:datetime"].get<std::string>();
                ASSERT_NE(strptime(when.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr) << when;
                const auto t = std::chrono::system_clock::from_time_t(timegm(&tm));
                EXPECT_GE(t, started - std::chrono::seconds(2)) << when;
                EXPECT_LE(t, std::chrono::system_clock::now()) << when;
                if (i == 1) {
                    EXPECT_EQ(caps[1]["core:frequency"], 7030000.0);
                    retune_at = caps[1]["core:sample_start"].get<int64_t>();
                    // The segment starts where the tool's loop made the call: at 0.5 s, or
                    // later when the loop fell behind on a loaded machine (the carrier checks
                    // below still hold up to 0.4 s late).
                    EXPECT_GE(retune_at, 24000);
                    EXPECT_LE(retune_at, 24000 + 19200);
                }
                EXPECT_TRUE(m["annotations"].empty());
            } else {
                EXPECT_TRUE(contains(r.out, base + ".wav (72000 samples)")) << r.out;
                Wav w = read_wav(base + ".wav");
                ASSERT_TRUE(w.ok) << w.problem;
                EXPECT_TRUE(w.is_float()) << w.format_tag;
                EXPECT_EQ(w.channels, 2);
                EXPECT_EQ(w.rate, 48000u);
                EXPECT_EQ(w.bits, 32);
                EXPECT_EQ(w.byte_rate, 48000u * 8);
                samples = w.samples;
                // Another reader finds the same format and length. sox 14.4 warns about every
                // float WAV file libsndfile writes (it expects a cbSize field that the 16-byte
                // format chunk of tag 3 does not have); any other warning is a fault.
                const std::string said = dir_ + "/sox.txt";
                ASSERT_EQ(std::system(("sox --i " + base + ".wav >" + said + " 2>&1").c_str()), 0)
                    << read_text(said);
                std::string text = read_text(said);
                const std::string known = "sox WARN wav: wave header missing extended part of fmt "
                                          "chunk\n";
                if (text.rfind(known, 0) == 0)
                    text = text.substr(known.size());
                EXPECT_FALSE(contains(text, "WARN")) << text;
                EXPECT_TRUE(contains(text, "72000 samples")) << text;
                EXPECT_TRUE(contains(text, "32-bit Floating Point PCM")) << text;
                EXPECT_TRUE(contains(text, "Sample Rate    : 48000")) << text;
            }
            ASSERT_EQ(samples.size(), 2u * 72000);  // 1.5 s at 48 kHz, exactly

            // After the start-up, each receiver holds its carrier at its offset, at its level.
            const size_t late = 48000, count = 24000;  // 1.0 s to 1.5 s
            const double expect = expected_db(-40);
            const double hz = i == 1 ? 11000 : offsets[i];
            EXPECT_NEAR(tone_db(samples, rate, hz, late, count), expect, 1.0);
            EXPECT_LT(tone_db(samples, rate, -hz, late, count), expect - 50);
            EXPECT_LT(tone_db(samples, rate, hz + 1500, late, count), expect - 50);
            if (i == 1) {
                // Before the retune: the carrier at 3.555 MHz; after it, only the new one.
                const size_t before = static_cast<size_t>(retune_at) - 9600;
                EXPECT_NEAR(tone_db(samples, rate, -5000, before, 4800), expect, 1.0);
                EXPECT_LT(tone_db(samples, rate, 11000, before, 4800), expect - 40);
                // The module has read up to a ring of data ahead of what it delivered, so on
                // the free-running board the change shows up to about 0.3 s later.
                const size_t after = static_cast<size_t>(retune_at) + 14400;
                EXPECT_NEAR(tone_db(samples, rate, 11000, after, 4800), expect, 1.0);
                EXPECT_LT(tone_db(samples, rate, -5000, late, count), expect - 50);
            }

            Png png = read_png(base + ".png");
            ASSERT_TRUE(png.ok) << png.problem;
            const capture::PictureLayout L = capture::picture_layout();
            ASSERT_EQ(png.width, L.width);
            ASSERT_EQ(png.height, L.height);
            // The waterfall's bottom (the end of the run) is bright at the carrier's offset only.
            const int y = L.waterfall_top + L.waterfall_height - 10;
            int column = 0;
            for (int dx = -1; dx <= 1; ++dx)
                column = std::max(column, png.luma(x_of(hz, rate) + dx, y));
            EXPECT_GT(column, 150);
            EXPECT_LT(png.luma(x_of(-hz, rate), y), 60);
        }
        if (sigmf) {
            EXPECT_EQ(check_sigmf(out), "");
        }
    }
}

TEST_F(CaptureTool, HighRateWidensTheBandAndStartTuningsApply) {
    const std::string scene = write_file(dir_, "scene.txt", FAST_SCENE);
    const std::string out = dir_ + "/out";
    Result r = run({"simulate", "--scene", scene, "-d", "0.4", "-r", "192k", "-f", "0:3.6M", "-f",
                    "3:3.52M", "-o", out},
                   {}, 120);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, std::string("\n  images: ") + ZALVO_IMAGES_DIR +
                                    " (the placeholders that came with this program)\n"))
        << r.out;
    const int rate = 192000;
    Wav rx0 = read_wav(out + "/rx0.wav");
    Wav rx3 = read_wav(out + "/rx3.wav");
    ASSERT_TRUE(rx0.ok && rx3.ok) << rx0.problem << rx3.problem;
    EXPECT_EQ(rx0.rate, 192000u);
    EXPECT_EQ(rx0.byte_rate, 192000u * 8);
    ASSERT_EQ(rx0.frames(), 76800u);
    ASSERT_EQ(rx3.frames(), 76800u);
    const size_t late = 38400, count = 38400;
    // Receiver 0 at 3.6 MHz sees 3.607, 3.629 and (only at this rate) 3.523 MHz.
    for (double hz : {7000.0, 29000.0, -77000.0})
        EXPECT_NEAR(tone_db(rx0.samples, rate, hz, late, count), expected_db(-40), 1.0) << hz;
    // Receiver 3 moved from its default 3.64 MHz to 3.52 MHz.
    EXPECT_NEAR(tone_db(rx3.samples, rate, 3000, late, count), expected_db(-40), 1.0);
    EXPECT_NEAR(tone_db(rx3.samples, rate, 35000, late, count), expected_db(-40), 1.0);
    EXPECT_TRUE(read_png(out + "/rx3.png").ok);
}

TEST_F(CaptureTool, ClippingAtTheBoardAndInTheOutputIsReportedAndAnnotated) {
    // A carrier that pins the board's 16-bit values at the rails (in every receiver: the
    // board's 500 kHz band holds it for all four) and drives receiver 0's output past full
    // scale: one CLIPPING line per receiver with both causes, the board's count the same share
    // of values as a raw recording of the same scene holds at the rails, and annotations in
    // each receiver's recording that add up to that count.
    const std::string loud =
        write_file(dir_, "loud.txt",
                   "noise -100\ncarrier 3523000 -3 input=0\n"
                   "board cold rev=4 pacing=free_running eeprom1=0x0001 eeprom3=0x0001\n");
    Result clip =
        run({"simulate", "--scene", loud, "-d", "1", "--format", "sigmf", "-o", dir_ + "/clip"}, {},
            120);
    ASSERT_EQ(clip.exit_code, 0) << clip.out << clip.err;
    EXPECT_FALSE(contains(clip.err, "StreamWorker: clipping")) << clip.err;
    Result raw =
        run({"simulate", "--scene", loud, "--raw", "-d", "1", "-o", dir_ + "/clip-raw"}, {}, 120);
    ASSERT_EQ(raw.exit_code, 0) << raw.out << raw.err;
    std::vector<int16_t> stream(file_size(dir_ + "/clip-raw/raw.sigmf-data") / 2);
    std::ifstream(dir_ + "/clip-raw/raw.sigmf-data", std::ios::binary)
        .read(reinterpret_cast<char*>(stream.data()), std::streamsize(stream.size() * 2));
    double raw_share[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < stream.size(); ++k)
        raw_share[(k / 2) % 4] += stream[k] >= 32767 || stream[k] <= -32767;
    EXPECT_EQ(check_sigmf(dir_ + "/clip"), "");
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("rx" + std::to_string(i));
        raw_share[i] = 100 * raw_share[i] / (stream.size() / 4.0);
        ASSERT_GT(raw_share[i], 50.0);
        long long at_rails = 0, clipped = 0;
        double percent = 0, peak = 0;
        const std::string head = "CLIPPING: rx" + std::to_string(i) + ": ";
        const size_t at = clip.out.find(head);
        ASSERT_NE(at, std::string::npos) << clip.out;
        ASSERT_EQ(std::sscanf(clip.out.c_str() + at + head.size(),
                              "at the board %lld 16-bit values at the rails (%lf %% of those in "
                              "the seconds the module reported); in the output %lld samples at or "
                              "above full scale (peak %lf dBFS)",
                              &at_rails, &percent, &clipped, &peak),
                  4)
            << clip.out;
        EXPECT_NEAR(percent, raw_share[i], 1.0);
        // The module reads the board's stream a little ahead of the second it delivers.
        EXPECT_GE(at_rails, raw_share[i] / 100 * 2 * 500000 * 0.9);
        EXPECT_EQ(clipped > 0, i == 0) << clipped;
        EXPECT_EQ(peak > 0, i == 0) << peak;
        long long annotated = 0;
        const std::string meta = dir_ + "/clip/rx" + std::to_string(i) + ".sigmf-meta";
        const nlohmann::json said = read_json(meta);
        for (const nlohmann::json& a : said["annotations"]) {
            ASSERT_EQ(a["core:label"], "clipping at the board");
            EXPECT_LE(a["core:sample_start"].get<int64_t>() + a["core:sample_count"].get<int64_t>(),
                      48000);
            annotated += std::atoll(a["core:comment"].get<std::string>().c_str());
        }
        EXPECT_EQ(annotated, at_rails);
    }
}

TEST_F(CaptureTool, CtrlCEndsTheRunWithExitCode130AndValidFiles) {
    // The simulator's default board, paced in real time, so the run is still going when
    // interrupted.
    const std::string scene = write_file(dir_, "scene.txt", "noise -100\ncarrier 3523000 -40\n");
    const std::string out = dir_ + "/out";
    bool sent = false;
    Result r = run({"simulate", "--scene", scene, "-d", "60", "-o", out}, {}, 60, [&](pid_t pid) {
        // Half a second of signal in the last file written for a block: interrupt.
        if (!sent && file_size(out + "/rx3.wav") > 44 + 24000 * 8) {
            kill(pid, SIGINT);
            sent = true;
        }
    });
    ASSERT_TRUE(sent) << r.out << r.err;
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "interrupted")) << r.err;
    uint64_t frames = 0;
    for (int i = 0; i < 4; ++i) {
        const std::string base = out + "/rx" + std::to_string(i);
        Wav w = read_wav(base + ".wav");
        ASSERT_TRUE(w.ok) << base << ": " << w.problem;
        EXPECT_EQ(w.data_offset + w.data_bytes, w.file_bytes);
        EXPECT_GE(w.frames(), 24000u);
        EXPECT_LT(w.frames(), 60u * 48000);
        if (i == 0)
            frames = w.frames();
        EXPECT_EQ(w.frames(), frames) << "every receiver gets every block";
        EXPECT_TRUE(contains(r.out, base + ".wav (" + std::to_string(w.frames()) + " samples)"))
            << r.out;
        Png png = read_png(base + ".png");
        EXPECT_TRUE(png.ok) << base << ": " << png.problem;
    }
    Wav rx0 = read_wav(out + "/rx0.wav");
    EXPECT_NEAR(tone_db(rx0.samples, 48000, 3000, 9600, 9600), expected_db(-40), 1.0);

    // A second Ctrl-C says that it ends the program at once; the sample files stay valid, and
    // each has the meta file written with its first block (and no temporary beside it).
    const std::string again = dir_ + "/again";
    int sent_twice = 0;
    Result twice = run({"simulate", "--scene", scene, "-d", "60", "--format", "sigmf", "-o", again},
                       {}, 60, [&](pid_t pid) {
                           if (sent_twice < 2 && file_size(again + "/rx3.sigmf-data") > 4800 * 8) {
                               kill(pid, SIGINT);
                               ++sent_twice;
                           }
                       });
    ASSERT_EQ(sent_twice, 2);
    EXPECT_EQ(twice.exit_code, 130) << twice.err;
    EXPECT_TRUE(contains(twice.err, "ending at once")) << twice.err;
    EXPECT_EQ(check_sigmf(again), "");
    for (int i = 0; i < 4; ++i) {
        const std::string base = again + "/rx" + std::to_string(i);
        EXPECT_EQ(file_size(base + ".sigmf-data") % 8, 0u) << base;
        nlohmann::json m = read_json(base + ".sigmf-meta");
        ASSERT_TRUE(m.is_object()) << base;
        EXPECT_EQ(m["captures"][0]["core:frequency"], 3520000.0 + 40000 * i);
    }

    // Interrupted before any data: nothing is said to be closed or to hold anything, and no
    // blank line opens the message when the output is no terminal.
    const std::string never = dir_ + "/never";
    const std::string zero = write_file(
        dir_, "zero.txt",
        "noise -100\nboard cold rev=4 pacing=real_time fifo=0 eeprom1=0x0001 eeprom3=0x0001\n");
    // The interrupt goes once the program handles it (a slow start, under a sanitizer, must not
    // meet the default action), 200 ms later: the module is starting.
    int waited = 0;
    Result early =
        run({"simulate", "--scene", zero, "-d", "2", "-o", never}, {}, 60, [&](pid_t pid) {
            if (waited < 10 && catches_sigint(pid) && ++waited == 10)
                kill(pid, SIGINT);
        });
    ASSERT_EQ(waited, 10) << "the program never handled SIGINT";
    EXPECT_EQ(early.exit_code, 130) << early.out << early.err;
    EXPECT_EQ(early.err.rfind("zalvo_capture: stopping (press Ctrl-C again", 0), 0u) << early.err;
    EXPECT_TRUE(contains(early.err, "interrupted before any data arrived; no file was written"))
        << early.err;
    EXPECT_FALSE(contains(early.err, "files hold")) << early.err;
    EXPECT_EQ(access(never.c_str(), F_OK), -1);
}

TEST_F(CaptureTool, FailuresExplainThemselvesAndNeverTouchAnEarlierRecording) {
    // An earlier recording in the output folder, which no later failure may change.
    const std::string out = dir_ + "/out";
    const std::string cold = write_file(dir_, "cold.txt", FAST_SCENE);
    Result first = run({"simulate", "--scene", cold, "-d", "0.2", "-o", out}, {}, 60);
    ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
    const std::string before = folder_state(out);
    ASSERT_TRUE(contains(before, "rx3.wav") && contains(before, "rx3.png")) << before;

    // Files there already: refused before the module starts, the file named.
    Result again = run({"simulate", "--scene", cold, "-d", "0.2", "-o", out}, {}, 60);
    EXPECT_EQ(again.exit_code, 1) << again.err;
    EXPECT_TRUE(contains(again.err, out + "/rx0.wav exists already")) << again.err;
    EXPECT_TRUE(contains(again.err, "--overwrite")) << again.err;
    EXPECT_FALSE(contains(again.out, "blocks delivered")) << again.out;

    // Failures before the first block, even with --overwrite, leave the folder as it was.
    const std::string empty = write_file(dir_, "empty.txt", "bus\nother 0x046d 0xc52b\n");
    Result none = run({"simulate", "--scene", empty, "-d", "1", "-o", out, "--overwrite"}, {}, 60);
    EXPECT_EQ(none.exit_code, 3) << none.err;
    EXPECT_TRUE(contains(none.err, "\"Can't create instance of USRP Rx device\"")) << none.err;
    // The advice speaks of the simulated board, never of cables and udev rules.
    EXPECT_TRUE(contains(none.err, "describes no USRP board")) << none.err;
    EXPECT_FALSE(contains(none.err, "plugged in") || contains(none.err, "udev")) << none.err;
    EXPECT_FALSE(contains(none.out, "blocks delivered")) << none.out;

    Result images = run({"simulate", "--scene", cold, "-d", "1", "-o", out, "--overwrite"},
                        {{"USRP_PATH", dir_ + "/no-images"}}, 60);
    EXPECT_EQ(images.exit_code, 3) << images.err;
    EXPECT_TRUE(contains(images.err, "Can't create instance of USRP Rx device")) << images.err;
    EXPECT_TRUE(contains(images.err, "USRP_PATH is set to \"" + dir_ + "/no-images\""))
        << images.err;
    EXPECT_TRUE(contains(images.err, "unset USRP_PATH to use the placeholder images in \"" +
                                         std::string(ZALVO_IMAGES_DIR) + "\""))
        << images.err;
    EXPECT_FALSE(contains(images.err, "plugged in") || contains(images.err, "udev")) << images.err;

    Result module =
        run({"simulate", "--scene", cold, "-m", dir_ + "/libnone.so", "-o", out, "--overwrite"}, {},
            60);
    EXPECT_EQ(module.exit_code, 3) << module.err;
    EXPECT_TRUE(contains(module.err, "cannot load the receiver module")) << module.err;
    // The user named the file: no advice to build the one this tool was built with.
    EXPECT_TRUE(contains(module.err, "Check the path given with --module")) << module.err;
    EXPECT_FALSE(contains(module.err, "cmake --build")) << module.err;
    EXPECT_EQ(folder_state(out), before);

    // --overwrite does replace once data arrives; a recording too short for "0.00 s" is given
    // in samples.
    Result replaced =
        run({"simulate", "--scene", cold, "-d", "0.001", "-o", out, "--overwrite"}, {}, 60);
    EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
    EXPECT_EQ(read_wav(out + "/rx2.wav").frames(), 48u);
    EXPECT_EQ(replaced.out.rfind("zalvo_capture: 48 samples (1.00 ms) of signal", 0), 0u)
        << replaced.out;

    // Only the last level of the folder is made; its parent must exist.
    Result files =
        run({"simulate", "--scene", cold, "-d", "1", "-o", dir_ + "/no/such/folder"}, {}, 60);
    EXPECT_EQ(files.exit_code, 1) << files.err;
    EXPECT_TRUE(contains(files.err, dir_ + "/no/such")) << files.err;
    EXPECT_EQ(access((dir_ + "/no").c_str(), F_OK), -1);
    Result parent_file =
        run({"simulate", "--scene", cold, "-d", "1", "-o", write_file(dir_, "afile", "") + "/x"},
            {}, 60);
    EXPECT_EQ(parent_file.exit_code, 1) << parent_file.err;
    EXPECT_TRUE(contains(parent_file.err, "its parent " + dir_ + "/afile is a file, not a folder"))
        << parent_file.err;
}

TEST_F(CaptureTool, InfoReportsBoardsDigestsAndDaughterboards) {
    uint8_t fw[MD5_DIGEST_BYTES], fpga[MD5_DIGEST_BYTES];
    ASSERT_TRUE(md5_file(ZALVO_IMAGES_DIR "/rev4/std.ihx", fw));
    ASSERT_TRUE(md5_file(ZALVO_IMAGES_DIR "/rev4/std_4rx_0tx.rbf", fpga));
    auto hex = [](const uint8_t* d) {
        std::string s;
        char b[3];
        for (int i = 0; i < MD5_DIGEST_BYTES; ++i) {
            std::snprintf(b, sizeof b, "%02x", d[i]);
            s += b;
        }
        return s;
    };
    const std::string scene =
        write_file(dir_, "world.txt",
                   "board warm rev=4 firmware_hash=" + hex(fw) + " fpga_hash=" + hex(fpga) +
                       " pacing=free_running eeprom1=0x0001 eeprom3=0x0002\n"
                       "other 0x046d 0xc52b\n"
                       "board cold rev=2 pacing=free_running\n");
    Result r = run({"info", "--simulate"}, {{"USBSIM_SCENE", scene}}, 60);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const size_t second = r.out.find("board 1:");
    ASSERT_NE(second, std::string::npos) << r.out;
    const std::string b0 = r.out.substr(0, second), b1 = r.out.substr(second);
    EXPECT_TRUE(contains(b0, "board 0:") && contains(b0, "revision 4")) << b0;
    EXPECT_TRUE(contains(b0, "file " + hex(fw) + ", board " + hex(fw) + ": match")) << b0;
    EXPECT_TRUE(contains(b0, "file " + hex(fpga) + ", board " + hex(fpga) + ": match")) << b0;
    EXPECT_TRUE(contains(b0, "slot 1 (receive A): Basic Rx")) << b0;
    EXPECT_TRUE(contains(b0, "slot 3 (receive B): DBS Rx")) << b0;
    EXPECT_TRUE(contains(b1, "revision 2")) << b1;
    EXPECT_TRUE(contains(b1, "differ")) << b1;
    EXPECT_FALSE(contains(b1, "match")) << b1;
    EXPECT_TRUE(contains(b1, "not readable until the board's firmware runs")) << b1;
    EXPECT_FALSE(contains(r.out, "board 2:")) << "the unrelated device is no board";

    const std::string nothing = write_file(dir_, "nothing.txt", "bus\n");
    Result none = run({"info", "--simulate"}, {{"USBSIM_SCENE", nothing}}, 60);
    EXPECT_EQ(none.exit_code, 3);
    EXPECT_TRUE(contains(none.err, "no USRP")) << none.err;
}

TEST_F(CaptureTool, LostSamplesAreReportedAnnotatedAndEndWithExitCode4) {
    // A board with almost no buffer, paced in real time: it drops data between two reads, and
    // the module's overrun query (every tenth of a second of data) finds the flag set.
    const std::string scene =
        write_file(dir_, "tiny.txt",
                   "noise -100\ncarrier 3523000 -40\n"
                   "board cold rev=4 pacing=real_time fifo=512 eeprom1=0x0001 eeprom3=0x0001\n");
    const std::string out = dir_ + "/out";
    Result r =
        run({"simulate", "--scene", scene, "-d", "1", "-o", out, "--format", "sigmf"}, {}, 60);
    ASSERT_EQ(r.exit_code, 4) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "samples were lost")) << r.err;
    unsigned long overruns = 0, dropped = 0, events = 0;
    size_t at = r.out.find("overruns: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "overruns: %lu reported by the module", &overruns), 1)
        << r.out;
    at = r.out.find("the simulated board dropped ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "the simulated board dropped %lu", &dropped), 1);
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(overruns, 0u);
    // At most one per query: one second of signal holds ten, and the module may read a little
    // further before it stops.
    EXPECT_LE(overruns, 15u);
    // The marks themselves are not passed on as text.
    EXPECT_NE(r.err.rfind("O", 0), 0u) << r.err;
    EXPECT_FALSE(contains(r.err, "\nO")) << r.err;

    // The summary's own line, with the module's count and the board's events.
    at = r.out.find("\n  SAMPLES LOST: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
    EXPECT_TRUE(contains(line, std::to_string(overruns) + " overrun")) << line;
    EXPECT_EQ(std::sscanf(line.c_str() + line.find("output samples in "),
                          "output samples in %lu event", &events),
              1)
        << line;

    // Every receiver's meta file marks each of them where it lies, in order.
    EXPECT_EQ(check_sigmf(out), "");
    for (int i = 0; i < 4; ++i) {
        nlohmann::json m = read_json(out + "/rx" + std::to_string(i) + ".sigmf-meta");
        ASSERT_TRUE(m.is_object());
        const nlohmann::json& notes = m["annotations"];
        ASSERT_EQ(notes.size(), overruns + events);
        int64_t last = 0;
        unsigned long module_notes = 0;
        for (const nlohmann::json& a : notes) {
            EXPECT_EQ(a["core:label"], "samples lost");
            const int64_t start = a["core:sample_start"].get<int64_t>();
            EXPECT_GE(start, last);
            EXPECT_LE(start, 48000);
            last = start;
            module_notes += contains(a["core:comment"].get<std::string>(), "receiver module");
        }
        EXPECT_EQ(module_notes, overruns);
    }

    // --stop-on-loss ends the run at the first loss, with what was received kept.
    Result stop = run(
        {"simulate", "--scene", scene, "-d", "20", "-o", dir_ + "/stop", "--stop-on-loss"}, {}, 60);
    EXPECT_EQ(stop.exit_code, 4) << stop.out << stop.err;
    EXPECT_TRUE(contains(stop.err, "stopped at the first loss")) << stop.err;
    double seconds = -1;
    ASSERT_EQ(std::sscanf(stop.out.c_str(), "zalvo_capture: %lf s of signal", &seconds), 1)
        << stop.out;
    EXPECT_LT(seconds, 5.0) << "the run went on after the loss";
}

TEST_F(CaptureTool, BoardThatStopsDeliveringIsADeviceErrorAndLeavesNoFiles) {
    // No buffer at all: every read of the module times out.
    const std::string scene = write_file(
        dir_, "zero.txt",
        "noise -100\nboard cold rev=4 pacing=real_time fifo=0 eeprom1=0x0001 eeprom3=0x0001\n");
    const std::string out = dir_ + "/out";
    Result r = run({"simulate", "--scene", scene, "-d", "2", "-o", out}, {}, 60);
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "no data from the board for 5 s")) << r.err;
    EXPECT_TRUE(contains(r.err, "The simulated board stopped as its scene file makes it")) << r.err;
    EXPECT_TRUE(contains(r.out, "no file was written")) << r.out;
    EXPECT_EQ(access(out.c_str(), F_OK), -1) << "the output folder was created";
}
