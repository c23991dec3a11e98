// The capture tool's parts on their own: command line, WAV writers, spectra, pictures, the
// standard-error tap and the advice for the module's failure texts.
#include "advice.h"
#include "options.h"
#include "picture.h"
#include "spectrum.h"
#include "stderr_tap.h"
#include "test_files.h"
#include "sample_file.h"
#include "wav_file.h"
#include "wav_writer.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace capture;
using namespace capture_test;

namespace {

ParseResult parse(std::vector<std::string> words) {
    words.insert(words.begin(), "zalvo_capture");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

std::string temp_dir() {
    char templ[] = "/tmp/capture_core_XXXXXX";
    const char* d = mkdtemp(templ);
    return d ? d : "/tmp";
}

// Complex tone plus Gaussian noise, interleaved I/Q, full scale 1.0.
std::vector<float> tone(int rate, double hz, double amplitude, size_t frames, double noise_rms,
                        unsigned seed = 1) {
    std::vector<float> iq(2 * frames);
    std::mt19937 gen(seed);
    std::normal_distribution<double> n(0.0, noise_rms);
    for (size_t i = 0; i < frames; ++i) {
        double ph = 2 * M_PI * hz * double(i) / rate;
        iq[2 * i] = static_cast<float>(amplitude * std::cos(ph) + n(gen));
        iq[2 * i + 1] = static_cast<float>(amplitude * std::sin(ph) + n(gen));
    }
    return iq;
}

int strongest_bin(const std::vector<float>& db) {
    return static_cast<int>(std::max_element(db.begin(), db.end()) - db.begin());
}

// The drawing libraries keep process-wide caches until they are told to let go.
class PictureCaches : public ::testing::Environment {
  public:
    void TearDown() override { release_picture_caches(); }
};
const auto* const picture_caches = ::testing::AddGlobalTestEnvironment(new PictureCaches);

}  // namespace

// ---- command line ---------------------------------------------------------------------------

TEST(CaptureOptions, DefaultsAndAFullCommandLine) {
    ParseResult d = parse({});
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.options.command, Command::capture);
    EXPECT_EQ(d.options.rate_hz, 48000);
    EXPECT_DOUBLE_EQ(d.options.duration_s, 5.0);
    EXPECT_EQ(d.options.out_dir, "out");
    // Four distinct default tunings.
    std::set<int32_t> tunings(d.options.freq_hz.begin(), d.options.freq_hz.end());
    EXPECT_EQ(tunings.size(), 4u);

    ParseResult r = parse({"simulate",     "--duration", "1.5",      "-r",       "192k",
                           "--freq",       "2:7.03M",    "-f",       "0:7030k",  "--retune",
                           "1:3:14074000", "--retune",   "0.25:1:0", "-o",       "/tmp/x",
                           "--scene",      "s.txt",      "-q",       "--module", "/m.so"});
    ASSERT_TRUE(r.ok) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.command, Command::simulate);
    EXPECT_DOUBLE_EQ(o.duration_s, 1.5);
    EXPECT_EQ(o.rate_hz, 192000);
    EXPECT_EQ(o.freq_hz[0], 7030000);
    EXPECT_EQ(o.freq_hz[2], 7030000);
    EXPECT_EQ(o.freq_hz[1], d.options.freq_hz[1]);
    ASSERT_EQ(o.retunes.size(), 2u);  // in time order
    EXPECT_DOUBLE_EQ(o.retunes[0].at_seconds, 0.25);
    EXPECT_EQ(o.retunes[0].receiver, 1);
    EXPECT_EQ(o.retunes[0].hz, 0);
    EXPECT_EQ(o.retunes[1].receiver, 3);
    EXPECT_EQ(o.retunes[1].hz, 14074000);
    EXPECT_EQ(o.out_dir, "/tmp/x");
    EXPECT_EQ(o.scene_path, "s.txt");
    EXPECT_EQ(o.module_path, "/m.so");
    EXPECT_TRUE(o.quiet);
    EXPECT_FALSE(o.overwrite);
    EXPECT_EQ(o.format, Format::wav);

    ParseResult n = parse({"--format", "sigmf", "--receivers", "2,0", "--overwrite",
                           "--stop-on-loss", "--range", "-120:-20", "-r", "48K"});
    ASSERT_TRUE(n.ok) << n.error;
    EXPECT_EQ(n.options.format, Format::sigmf);
    EXPECT_TRUE(n.options.record[0] && !n.options.record[1] && n.options.record[2] &&
                !n.options.record[3]);
    EXPECT_TRUE(n.options.overwrite && n.options.stop_on_loss && n.options.range_set);
    EXPECT_DOUBLE_EQ(n.options.range_low_db, -120);
    EXPECT_DOUBLE_EQ(n.options.range_high_db, -20);
    EXPECT_EQ(n.options.rate_hz, 48000);
    EXPECT_EQ(parse({"--version"}).options.command, Command::version);

    EXPECT_EQ(parse({"info", "--simulate"}).options.command, Command::info);
    EXPECT_TRUE(parse({"info", "--simulate"}).options.info_simulated);
    EXPECT_EQ(parse({"--help"}).options.command, Command::help);
    EXPECT_EQ(parse({"simulate", "-h"}).options.command, Command::help);
    // The Windows ways: /? and -?, command words and format names in any case; a trailing
    // separator is not a folder level.
    EXPECT_EQ(parse({"/?"}).options.command, Command::help);
    EXPECT_EQ(parse({"capture", "-?"}).options.command, Command::help);
    EXPECT_EQ(parse({"SIMULATE", "--format", "SigMF"}).options.command, Command::simulate);
    EXPECT_EQ(parse({"Simulate", "--format", "SigMF"}).options.format, Format::sigmf);
    EXPECT_EQ(parse({"-o", "rec/"}).options.out_dir, "rec");
    EXPECT_EQ(parse({"-o", "/"}).options.out_dir, "/");
    for (int rate : {48000, 96000, 192000})
        EXPECT_EQ(parse({"-r", std::to_string(rate)}).options.rate_hz, rate);
    EXPECT_EQ(rate_index(48000), 0);
    EXPECT_EQ(rate_index(96000), 1);
    EXPECT_EQ(rate_index(192000), 2);
}

TEST(CaptureOptions, BadCommandLinesAreRefusedWithTheReason) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"record"}, "unknown command"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--duration"}, "needs a value"},
        {{"-d", "0"}, "--duration"},
        {{"-d", "-1"}, "--duration"},
        {{"-d", "2s"}, "--duration"},
        {{"-d", "nan"}, "--duration"},
        {{"-d", "100000"}, "--duration"},
        {{"-r", "44100"}, "--rate"},
        {{"-r", "48000.5"}, "--rate"},
        {{"-r", "2"}, "--rate"},
        {{"-f", "4:7000000"}, "--freq"},
        {{"-f", "-1:7000000"}, "--freq"},
        {{"-f", "7000000"}, "--freq"},
        {{"-f", "1:7000000:3"}, "--freq"},
        {{"-f", "1:40M"}, "--freq"},
        {{"-f", "1:7000000.5"}, "--freq"},
        {{"-f", "1:"}, "--freq"},
        {{"--retune", "1:1"}, "--retune"},
        {{"--retune", "-1:1:7M"}, "--retune"},
        {{"--retune", "x:1:7M"}, "--retune"},
        {{"--retune", "1:9:7M"}, "--retune"},
        {{"-d", "2", "--retune", "2:1:7M"}, "at the end of the capture (--duration 2)"},
        {{"--retune", "6:1:7M"}, "after the end"},  // default duration 5 s
        {{"capture", "--scene", "a"}, "--scene belongs to the simulate command"},
        {{"simulate", "--simulate"}, "--simulate belongs to the info command"},
        {{"info", "-d", "3"}, "info takes no capture options"},
        {{"simulate", "extra"}, "unexpected argument 'extra'"},
        {{"-o", ""}, "--out"},
        {{"-o", "-"}, "cannot go to standard output"},
        {{"--format", "flac"}, "--format"},
        {{"--receivers", "0,0"}, "--receivers"},
        {{"--receivers", "4"}, "--receivers"},
        {{"--receivers", ""}, "--receivers"},
        {{"--receivers", "1,"}, "--receivers"},
        {{"--range", "-20:-120"}, "--range"},
        {{"--range", "-20"}, "--range"},
        // A value with a line break (a scene line pasted as an argument) stays on one line.
        {{"simulate", "carrier 3.6M -30\r\n"}, "unexpected argument 'carrier 3.6M -30\\r\\n'"},
        {{"-f", "1:7M\n"}, "not '1:7M\\n'"},
        {{"simulate", "--replay", "r.sigmf-meta", "-f", "1:7M"}, "--freq and --retune cannot"},
        {{"simulate", "--replay", "r.sigmf-meta", "--retune", "1:1:7M"}, "--freq and --retune"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        ParseResult r = parse(c.args);
        EXPECT_FALSE(r.ok) << line;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << line << "-> " << r.error;
        EXPECT_EQ(r.error.find_first_of("\r\n"), std::string::npos) << r.error;
    }
    // Parsing again after a failure starts afresh.
    EXPECT_TRUE(parse({"simulate", "-d", "1"}).ok);
}

TEST(CaptureOptions, FrequencyTexts) {
    struct Case {
        const char* text;
        bool ok;
        int32_t hz;
    } cases[] = {
        {"7030000", true, 7030000}, {"7030k", true, 7030000}, {"7030K", true, 7030000},
        {"7.03M", true, 7030000},   {"0", true, 0},           {"32M", true, 32000000},
        {"3.5123456M", false, 0},   {"32.000001M", false, 0}, {"-5", false, 0},
        {"7M5", false, 0},          {"", false, 0},           {"k", false, 0},
        {" 7M", false, 0},          {"0x10", false, 0},       {"1e3", true, 1000},
    };
    for (const Case& c : cases) {
        int32_t hz = -1;
        EXPECT_EQ(parse_frequency(c.text, &hz), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(hz, c.hz) << c.text;
        }
    }
}

// ---- WAV files ------------------------------------------------------------------------------

// Both writers: libsndfile's (Linux) and the program's own (Windows), which must write the same
// files.
template <typename Writer> class WavWriters : public ::testing::Test {};
using WriterTypes = ::testing::Types<WavWriter, WavFile>;
TYPED_TEST_SUITE(WavWriters, WriterTypes);

TYPED_TEST(WavWriters, FileParsesBackAsTwoChannelFloatWithTheSamplesWritten) {
    const std::string dir = temp_dir();
    for (int rate : {48000, 96000, 192000}) {
        const std::string path = dir + "/t" + std::to_string(rate) + ".wav";
        std::vector<float> iq = tone(rate, 1000, 0.5, 3000, 0.0);
        iq[0] = 1.5f;  // beyond full scale: float files keep it
        iq[1] = -2.0f;
        TypeParam w;
        std::string error;
        // A file planned below 4 GiB has the plain header; one that may grow beyond it is RF64,
        // a WAV file with the extensible header until it passes 4 GiB.
        const bool large = rate != 48000;
        w.plan(large ? 600000000 : 3000);
        ASSERT_TRUE(w.open(path, rate, false, &error)) << error;
        ASSERT_TRUE(w.write(iq.data(), 1000));
        ASSERT_TRUE(w.write(iq.data() + 2000, 2000));
        EXPECT_EQ(w.frames_written(), 3000);
        w.close();

        Wav f = read_wav(path);
        ASSERT_TRUE(f.ok) << f.problem;
        EXPECT_TRUE(f.is_float()) << f.format_tag;
        EXPECT_EQ(f.format_tag, large ? 0xFFFE : 3);
        EXPECT_EQ(f.channels, 2);
        EXPECT_EQ(f.rate, uint32_t(rate));
        EXPECT_EQ(f.bits, 32);
        EXPECT_EQ(f.block_align, 8);
        EXPECT_EQ(f.byte_rate, uint32_t(rate) * 8);
        EXPECT_EQ(f.data_bytes, 3000u * 8);
        EXPECT_EQ(f.data_offset + f.data_bytes, f.file_bytes);
        if (f.has_fact) {
            EXPECT_EQ(f.fact_frames, 3000u);
        }
        ASSERT_EQ(f.samples.size(), iq.size());
        EXPECT_EQ(f.samples, iq);
    }
}

TYPED_TEST(WavWriters, HeaderMatchesTheDataAfterEveryWriteBeforeTheFileIsClosed) {
    // What a killed program leaves behind: the file as it is between two writes.
    const std::string path = temp_dir() + "/open.wav";
    TypeParam w;
    std::string error;
    ASSERT_TRUE(w.open(path, 48000, false, &error)) << error;
    Wav empty = read_wav(path);
    ASSERT_TRUE(empty.ok) << empty.problem;
    EXPECT_EQ(empty.data_bytes, 0u);
    std::vector<float> iq = tone(48000, -3000, 0.25, 512, 0.0);
    for (int block = 1; block <= 5; ++block) {
        ASSERT_TRUE(w.write(iq.data(), 512));
        Wav f = read_wav(path);
        ASSERT_TRUE(f.ok) << "after block " << block << ": " << f.problem;
        EXPECT_EQ(f.frames(), 512u * block);
        EXPECT_EQ(f.data_offset + f.data_bytes, f.file_bytes);
        EXPECT_EQ(std::vector<float>(f.samples.end() - 1024, f.samples.end()), iq);
    }
}

TEST(WavFile, PlainFileIsByteForByteLibsndfilesAndPassingTheLimitMakesItRf64) {
    const std::string dir = temp_dir();
    std::vector<float> iq = tone(96000, 2500, 0.7, 5000, 0.01);
    // A file planned below 4 GiB: the same bytes as libsndfile's, also after cutting back.
    WavWriter theirs;
    WavFile ours;
    for (SampleFile* f : {static_cast<SampleFile*>(&theirs), static_cast<SampleFile*>(&ours)}) {
        std::string error;
        f->plan(5000);
        ASSERT_TRUE(f->open(dir + (f == &ours ? "/ours.wav" : "/theirs.wav"), 96000, false, &error))
            << error;
        ASSERT_TRUE(f->write(iq.data(), 1000));
        ASSERT_TRUE(f->write(iq.data() + 2000, 3000));
        ASSERT_TRUE(f->truncate(3500));
        f->close();
    }
    EXPECT_EQ(read_text(dir + "/ours.wav"), read_text(dir + "/theirs.wav"));

    // Past the limit a RIFF header can state, the header is RF64 (64-bit sizes in ds64) and back
    // to RIFF when cut below it; libsndfile reads every state with all the samples.
    const std::string path = dir + "/large.wav";
    WavFile big(40000);
    std::string error;
    ASSERT_TRUE(big.open(path, 96000, false, &error)) << error;
    const int64_t steps[] = {2000, 4000, 5000, 1500};  // frames in the file after each step
    for (int64_t frames : steps) {
        if (frames > big.frames_written())
            ASSERT_TRUE(
                big.write(iq.data() + 2 * big.frames_written(), frames - big.frames_written()));
        else
            ASSERT_TRUE(big.truncate(frames));
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << frames << ": " << sf_strerror(nullptr);
        const bool rf64 = 108 + frames * 8 > 40000;  // the RIFF size: 108 header bytes, data
        EXPECT_EQ(info.format, (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAVEX) | SF_FORMAT_FLOAT)
            << frames;
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 96000);
        ASSERT_EQ(info.frames, frames);
        std::vector<float> back(2 * frames);
        EXPECT_EQ(sf_readf_float(f, back.data(), frames), frames);
        sf_close(f);
        EXPECT_EQ(back, std::vector<float>(iq.begin(), iq.begin() + 2 * frames)) << frames;
        if (!rf64) {
            Wav w = read_wav(path);
            EXPECT_TRUE(w.ok && w.format_tag == 0xFFFE && w.fact_frames == uint64_t(frames))
                << frames << ": " << w.problem;
            continue;
        }
        // libsndfile forgives sizes that overstate the file: the ds64 chunk's are checked here.
        const std::string b = read_text(path);
        auto le64 = [&](size_t at) {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i)
                v = v << 8 | static_cast<unsigned char>(b[at + i]);
            return v;
        };
        ASSERT_EQ(b.substr(0, 4) + b.substr(8, 8), "RF64WAVEds64");
        EXPECT_EQ(le64(20), b.size() - 8);                 // RIFF size
        EXPECT_EQ(le64(28), uint64_t(frames) * 8);         // data size
        EXPECT_EQ(le64(36), uint64_t(frames));             // sample count
        EXPECT_EQ(b.size() - uint64_t(frames) * 8, 116u);  // the header
    }
}

TEST(SampleFiles, ExistingFileIsKeptUnlessReplacingAndAnUnwritablePathFails) {
    const std::string dir = temp_dir();
    std::vector<float> iq = tone(48000, 1000, 0.5, 100, 0.0);
    WavWriter wav;
    WavFile own_wav;
    RawIqFile raw;
    for (SampleFile* f : {static_cast<SampleFile*>(&wav), static_cast<SampleFile*>(&own_wav),
                          static_cast<SampleFile*>(&raw)}) {
        std::string error;
        EXPECT_FALSE(f->open("/nonexistent-folder/x", 48000, true, &error));
        EXPECT_NE(error.find("/nonexistent-folder/x"), std::string::npos) << error;
        EXPECT_FALSE(f->write(iq.data(), 1));

        const std::string path = dir + "/earlier";
        { std::ofstream(path) << "an earlier recording"; }
        error.clear();
        EXPECT_FALSE(f->open(path, 48000, false, &error));
        EXPECT_NE(error.find("exists already"), std::string::npos) << error;
        EXPECT_EQ(read_text(path), "an earlier recording");
        ASSERT_TRUE(f->open(path, 48000, true, &error)) << error;
        ASSERT_TRUE(f->write(iq.data(), 100));
        // Cutting back keeps whole pairs and the file stays readable.
        ASSERT_TRUE(f->truncate(40));
        EXPECT_EQ(f->frames_written(), 40);
        f->close();
        if (f != &raw) {
            Wav w = read_wav(path);
            ASSERT_TRUE(w.ok) << w.problem;
            EXPECT_EQ(std::vector<float>(w.samples),
                      std::vector<float>(iq.begin(), iq.begin() + 80));
        } else {
            EXPECT_EQ(file_size(path), 40u * 8);
            std::ifstream in(path, std::ios::binary);
            std::vector<float> back(80);
            in.read(reinterpret_cast<char*>(back.data()), 80 * sizeof(float));
            EXPECT_EQ(back, std::vector<float>(iq.begin(), iq.begin() + 80));
        }
        unlink(path.c_str());
    }
}

// ---- spectra --------------------------------------------------------------------------------

TEST(Spectrum, ToneShowsInItsBinAtItsLevelAtEveryRate) {
    for (int rate : {48000, 96000, 192000}) {
        const int n = fft_size_for_rate(rate);
        EXPECT_DOUBLE_EQ(double(rate) / n, 46.875) << rate;
        for (double hz : {3000.0, -7500.0, 0.4 * rate, -0.45 * rate}) {
            const double bin = rate / double(n);
            const double centre = std::round(hz / bin) * bin;  // a tone at a bin centre
            SpectrumAnalyzer s(n, rate, 8 * n, 400);
            std::vector<float> iq = tone(rate, centre, 0.1, 8 * n, 1e-5);
            s.add(iq.data(), 3 * n + 17);  // pieces that do not line up with frames
            s.add(iq.data() + 2 * (3 * n + 17), 5 * n - 17);
            EXPECT_EQ(s.frames(), 8);
            std::vector<float> avg = s.average_db(), peak = s.peak_db();
            ASSERT_EQ(avg.size(), size_t(n));
            int k = strongest_bin(avg);
            EXPECT_NEAR(s.bin_offset_hz(k), centre, 1e-6) << rate << " " << hz;
            EXPECT_NEAR(avg[k], -20.0, 0.05) << rate << " " << hz;
            EXPECT_NEAR(peak[k], -20.0, 0.05);
            // Far from the tone only the noise is left (window side lobes are 92 dB down).
            int far = (k + n / 2) % n;
            EXPECT_LT(avg[far], -90.0) << rate << " " << hz;
        }
    }
}

TEST(Spectrum, WaterfallRowsFollowTheSignalInTime) {
    const int rate = 48000, n = fft_size_for_rate(rate);
    const size_t frames = 40 * size_t(n);
    SpectrumAnalyzer s(n, rate, frames, 10);  // four frames a row
    std::vector<float> quiet = tone(rate, 0, 0.0, frames / 2, 1e-5, 1);
    std::vector<float> loud = tone(rate, 6000, 0.5, frames / 2, 1e-5, 2);
    s.add(quiet.data(), frames / 2);
    EXPECT_EQ(s.rows(), 5);
    s.add(loud.data(), frames / 2);
    ASSERT_EQ(s.rows(), 10);
    const int k = n / 2 + 128;  // 6000 Hz
    ASSERT_NEAR(s.bin_offset_hz(k), 6000.0, 1e-9);
    for (int r = 0; r < 10; ++r) {
        float level = s.row_db(r)[k];
        if (r < 5)
            EXPECT_LT(level, -80) << r;
        else
            EXPECT_NEAR(level, 20 * std::log10(0.5), 0.1) << r;
        EXPECT_NEAR(s.row_start_s(r), r * 4 * s.frame_seconds(), 1e-12);
    }
    // The average over the run holds the tone for half the time: 3 dB below it.
    EXPECT_NEAR(s.average_db()[k], 20 * std::log10(0.5) - 3.01, 0.05);
    EXPECT_NEAR(s.peak_db()[k], 20 * std::log10(0.5), 0.05);
}

TEST(Spectrum, RunShorterThanPlannedFillsOnlyItsRowsAndLongerPilesIntoTheLast) {
    const int rate = 96000, n = fft_size_for_rate(rate);
    SpectrumAnalyzer s(n, rate, 100 * int64_t(n), 50);
    EXPECT_EQ(s.rows(), 0);
    EXPECT_TRUE(s.average_db().empty());
    std::vector<float> iq = tone(rate, 1000, 0.1, 130 * size_t(n), 0.0);
    s.add(iq.data(), 30 * n + n / 2);  // a part frame is not counted
    EXPECT_EQ(s.frames(), 30);
    EXPECT_EQ(s.rows(), 15);
    s.add(iq.data() + 2 * (30 * n + n / 2), 100 * n - n / 2);
    EXPECT_EQ(s.frames(), 130);
    EXPECT_EQ(s.rows(), 50);
}

// ---- pictures -------------------------------------------------------------------------------

TEST(Picture, PngDecodesAndShowsTheToneAtItsOffsetInBothPlots) {
    const int rate = 48000, n = fft_size_for_rate(rate);
    const size_t frames = 60 * size_t(n);
    SpectrumAnalyzer s(n, rate, frames, 400);
    std::vector<float> iq = tone(rate, 6000, 0.05, frames, 1e-5);
    s.add(iq.data(), frames);
    PictureLabels labels;
    labels.receiver = 2;
    labels.start_hz = 3600000;
    labels.seconds = double(frames) / rate;
    labels.retunes.push_back({0.5, 7030000});
    const std::string path = temp_dir() + "/rx2.png";
    std::string error;
    ASSERT_TRUE(write_picture(path, s, labels, shared_levels({&s}), &error)) << error;

    Png png = read_png(path);
    ASSERT_TRUE(png.ok) << png.problem;
    const PictureLayout L = picture_layout();
    EXPECT_EQ(png.width, L.width);
    EXPECT_EQ(png.height, L.height);
    auto x_of = [&](double hz) {
        return L.plot_left + static_cast<int>((hz + rate / 2.0) / rate * L.plot_width);
    };
    // Waterfall: the tone's column is bright all the way down, the mirror column is dark.
    const int y_mid = L.waterfall_top + L.waterfall_height / 4;
    EXPECT_GT(png.luma(x_of(6000), y_mid), 150);
    EXPECT_LT(png.luma(x_of(-6000), y_mid), 40);
    // Spectrum: the average trace climbs highest in the tone's column.
    auto trace_top = [&](int x) {
        for (int y = L.spectrum_top + 1; y < L.spectrum_top + L.spectrum_height - 1; ++y) {
            const uint8_t* p = &png.rgb[(size_t(y) * png.width + x) * 3];
            if (p[2] > 120 && p[0] < 90)  // the average trace's blue
                return y;
        }
        return L.spectrum_top + L.spectrum_height;
    };
    int best =
        std::min({trace_top(x_of(6000) - 1), trace_top(x_of(6000)), trace_top(x_of(6000) + 1)});
    EXPECT_LT(best + 100, trace_top(x_of(-6000)));
    EXPECT_LT(best, L.spectrum_top + 40);
}

TEST(Picture, ReceiversShareOneLevelRange) {
    // Two receivers of one run, the same tone 30 dB apart: on one shared colour scale the
    // weaker one is clearly darker; each on its own scale both would be at the top of it.
    const int rate = 48000, n = fft_size_for_rate(rate);
    const size_t frames = 40 * size_t(n);
    SpectrumAnalyzer strong(n, rate, frames, 400), weak(n, rate, frames, 400);
    std::vector<float> a = tone(rate, 6000, 0.1, frames, 1e-5);
    std::vector<float> b = tone(rate, 6000, 0.1 / 31.6, frames, 1e-5, 2);
    strong.add(a.data(), frames);
    weak.add(b.data(), frames);
    const PictureLevels shared = shared_levels({&strong, &weak});
    const PictureLayout L = picture_layout();
    const int x = L.plot_left + static_cast<int>((6000 + rate / 2.0) / rate * L.plot_width);
    const int y = L.waterfall_top + L.waterfall_height / 2;
    auto brightness = [&](const SpectrumAnalyzer& s, const PictureLevels& levels) {
        const std::string path = temp_dir() + "/level.png";
        PictureLabels labels;
        std::string error;
        EXPECT_TRUE(write_picture(path, s, labels, levels, &error)) << error;
        Png png = read_png(path);
        EXPECT_TRUE(png.ok) << png.problem;
        return png.ok ? std::max({png.luma(x - 1, y), png.luma(x, y), png.luma(x + 1, y)}) : -1;
    };
    EXPECT_GT(brightness(strong, shared), 150);
    EXPECT_LT(brightness(weak, shared) + 60, brightness(strong, shared));
    EXPECT_GT(brightness(weak, shared_levels({&weak})), 150);
    // A range that was asked for is the range used: the strong tone at its bottom is dark.
    PictureLevels fixed;
    fixed.colour_low = fixed.spectrum_low = 0;
    fixed.colour_high = fixed.spectrum_high = 40;
    EXPECT_LT(brightness(strong, fixed), 40);
}

TEST(Picture, EmptyRunStillGivesAPictureAndABadPathFails) {
    SpectrumAnalyzer s(1024, 48000, 48000, 400);
    PictureLabels labels;
    labels.interrupted = true;
    labels.seconds = 0.01;  // 480 samples: less than one frame
    const std::string path = temp_dir() + "/empty.png";
    std::string error;
    ASSERT_TRUE(write_picture(path, s, labels, shared_levels({&s}), &error)) << error;
    Png png = read_png(path);
    ASSERT_TRUE(png.ok) << png.problem;
    // The empty plots say why they are empty: dark-red text in the middle of the waterfall.
    const PictureLayout L = picture_layout();
    int red = 0;
    for (int x = L.plot_left; x < L.plot_left + L.plot_width; ++x) {
        for (int y = L.waterfall_top + L.waterfall_height / 2 - 14;
             y < L.waterfall_top + L.waterfall_height / 2 + 4; ++y) {
            const uint8_t* p = &png.rgb[(size_t(y) * png.width + x) * 3];
            red += p[0] > p[1] + 60 && p[0] > p[2] + 60;
        }
    }
    EXPECT_GT(red, 50);
    EXPECT_FALSE(
        write_picture("/nonexistent-folder/x.png", s, labels, shared_levels({&s}), &error));
    EXPECT_NE(error.find("/nonexistent-folder/x.png"), std::string::npos);
}

// ---- standard-error tap ---------------------------------------------------------------------

TEST(StderrTap, CountsMarksAtLineStartsOnly) {
    struct Case {
        std::vector<std::string> pieces;
        uint64_t marks;
        std::string rest;
    } cases[] = {
        {{"O"}, 1, ""},
        {{"OOO"}, 3, ""},
        {{"O", "O", "O"}, 3, ""},
        {{"usrp: Overrun at O\n"}, 0, "usrp: Overrun at O\n"},
        {{"OOusb_control_msg failed: x\nO"}, 3, "usb_control_msg failed: x\n"},
        {{"text without end", "O more\n", "O"}, 1, "text without endO more\n"},
        {{"line\n", "OO", "next\n"}, 2, "line\nnext\n"},
    };
    for (const Case& c : cases) {
        bool at_start = true;
        std::string rest;
        uint64_t marks = 0;
        for (const std::string& p : c.pieces)
            marks += StderrTap::scan(p.data(), p.size(), &at_start, &rest);
        EXPECT_EQ(marks, c.marks) << c.pieces[0];
        EXPECT_EQ(rest, c.rest) << c.pieces[0];
    }
}

TEST(StderrTap, CountsWhatAnyThreadWritesToStandardErrorAndPassesTheRestOn) {
    std::string passed;
    StderrTap tap([&](const std::string& t) { passed += t; });
    std::vector<ClippingReport> reports;
    tap.on_clipping([&](const ClippingReport& r) { reports.push_back(r); });
    std::vector<BoardReport> board;
    tap.on_board([&](const BoardReport& r) { board.push_back(r); });
    ASSERT_TRUE(tap.start());
    std::thread worker([] {
        for (int i = 0; i < 25; ++i) {
            std::fputs("O", stderr);
            std::fflush(stderr);
        }
        std::fprintf(stderr, "usrp_basic_rx: an Overrun-free line\n");
        // A clipping report, also when it arrives in pieces; lines that only look like one are
        // passed on.
        std::fputs("StreamWorker: clip", stderr);
        std::fflush(stderr);
        std::fputs("ping: rx0 5 rx1 0 rx2 2000000 rx3 0 of 2000000 samples\n", stderr);
        std::fputs("StreamWorker: clipping: rx0 1 rx1 2 of 3 samples\n", stderr);
        std::fputs("StreamWorker: clipping: rx0 9 rx1 0 rx2 0 rx3 0 of 8 samples\n", stderr);
        std::fputs("StreamWorker: started\n", stderr);
        // The board's absences: reported and passed on; a look-alike only passed on.
        std::fputs("StreamWorker: board lo", stderr);
        std::fflush(stderr);
        std::fputs("st (reads failing); waiting for it to come back\n", stderr);
        std::fputs("StreamWorker: board back after soon; streaming again\n", stderr);
        std::fputs("StreamWorker: board back after 2.345 s; streaming again\n", stderr);
        std::fputs("O", stderr);
    });
    worker.join();
    tap.stop();
    EXPECT_EQ(tap.overruns(), 26u);
    EXPECT_EQ(passed, "usrp_basic_rx: an Overrun-free line\n"
                      "StreamWorker: clipping: rx0 1 rx1 2 of 3 samples\n"
                      "StreamWorker: clipping: rx0 9 rx1 0 rx2 0 rx3 0 of 8 samples\n"
                      "StreamWorker: started\n"
                      "StreamWorker: board lost (reads failing); waiting for it to come back\n"
                      "StreamWorker: board back after soon; streaming again\n"
                      "StreamWorker: board back after 2.345 s; streaming again\n");
    ASSERT_EQ(board.size(), 2u);
    EXPECT_FALSE(board[0].back);
    EXPECT_FALSE(board[0].gone_from_bus);
    EXPECT_TRUE(board[1].back);
    EXPECT_DOUBLE_EQ(board[1].away_s, 2.345);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].at_rails[0], 5);
    EXPECT_EQ(reports[0].at_rails[1], 0);
    EXPECT_EQ(reports[0].at_rails[2], 2000000);
    EXPECT_EQ(reports[0].at_rails[3], 0);
    EXPECT_EQ(reports[0].values, 2000000);
    // Standard error is the real one again: nothing more reaches the tap.
    std::fputs("O", stderr);
    std::fflush(stderr);
    EXPECT_EQ(tap.overruns(), 26u);
    std::fputs("\n", stderr);
}

// ---- advice ---------------------------------------------------------------------------------

TEST(Advice, EveryFailureTextOfTheModuleHasItsOwnAdvice) {
    const char* texts[] = {"Can't create instance of USRP Rx device", "Unknown sample rate",
                           "Low memory", "Can't initialize resamplers",
                           "Can't start worker thread"};
    const std::string general = advice_for("something else");
    std::set<std::string> seen;
    for (const char* t : texts) {
        std::string a = advice_for(t);
        EXPECT_NE(a, general) << t;
        EXPECT_TRUE(seen.insert(a).second) << t;
    }
    setenv("USRP_PATH", "/opt/usrp-images", 1);
    std::string create = advice_for(texts[0]);
    EXPECT_NE(create.find("USRP_PATH is now \"/opt/usrp-images\""), std::string::npos) << create;
    unsetenv("USRP_PATH");
    EXPECT_NE(advice_for(texts[0]).find("USRP_PATH is not set"), std::string::npos);
    EXPECT_NE(advice_for(texts[1]).find("--rate"), std::string::npos);
}
