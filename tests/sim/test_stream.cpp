// The receive stream on endpoint 6: what the scene and the registers put into it.
#include <algorithm>

#include "stream_util.h"

using namespace usbsim;

namespace {

Carrier carrier(double hz, double dbfs, int input = 0) {
    Carrier c;
    c.freq_hz = hz;
    c.level_dbfs = dbfs;
    c.input = input;
    return c;
}

class StreamTest : public SimTest {
  protected:
    BoardId board = -1;
    usb_dev_handle* h = nullptr;

    void start(const Scene& scene, const RxSetup& setup, BoardConfig c = {}) {
        c.scene = scene;
        board = warm_board(c);
        h = open_board();
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(program_rx(h, setup));
    }
    void TearDown() override {
        if (h)
            usb_close(h);
        SimTest::TearDown();
    }
};

double amplitude(double dbfs, double gain_db = 0) {
    return TONE_AMPLITUDE * std::pow(10.0, (dbfs + gain_db) / 20);
}

}  // namespace

TEST_F(StreamTest, CarrierAppearsAtItsOffsetFromTheTuningAtTheDocumentedLevel) {
    Scene s;
    s.carriers = {carrier(7012345, -20)};
    RxSetup r;
    r.ddc_hz[0] = -7000000;
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 100000), 1, 0);
    ASSERT_EQ(z.size(), 100000u);
    const double step = ADC_CLOCK_HZ / 4294967296.0;
    EXPECT_NEAR(tone_hz(z, 500000), 12345.0, step);
    EXPECT_NEAR(tone_hz(z, 500000), 7012345 + word_hz(freq_word(-7e6)), 0.002);
    EXPECT_NEAR(mean_abs(z), amplitude(-20), 1.0);
}

TEST_F(StreamTest, ReadingOneInputAsBothIAndQScalesByOnePlusJAndGainApplies) {
    Scene s;
    s.carriers = {carrier(7012345, -40)};
    RxSetup r;
    r.in_q = {0, 0, 0, 0};  // the module's mux 0
    r.ddc_hz[0] = -7000000;
    r.gain_db[0] = 20;
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 50000), 1, 0);
    EXPECT_NEAR(tone_hz(z, 500000), 12345.0, 0.02);
    EXPECT_NEAR(mean_abs(z), amplitude(-40, 20) * std::sqrt(2.0), 1.0);
    // I and Q each carry the whole tone.
    double imax = 0, qmax = 0;
    for (const cplx& v : z) {
        imax = std::max(imax, std::abs(v.real()));
        qmax = std::max(qmax, std::abs(v.imag()));
    }
    EXPECT_NEAR(imax, amplitude(-40, 20) * std::sqrt(2.0), 2.0);
    EXPECT_NEAR(qmax, amplitude(-40, 20) * std::sqrt(2.0), 2.0);
}

TEST_F(StreamTest, RealInputShowsItsImageWhenBothHalvesFallInTheBand) {
    Scene s;
    s.carriers = {carrier(10000, -12)};
    RxSetup r;  // DDC at 0: +10 kHz and its image at -10 kHz
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 20000), 1, 0);
    double qmax = 0, imax = 0;
    for (const cplx& c : z) {
        qmax = std::max(qmax, std::abs(c.imag()));
        imax = std::max(imax, std::abs(c.real()));
    }
    EXPECT_LE(qmax, 1.0);                        // the two halves cancel in Q ...
    EXPECT_NEAR(imax, 2 * amplitude(-12), 2.0);  // ... and add in I: the real cosine
}

TEST_F(StreamTest, OnlyWhatLiesInsideTheDecimatedBandComesThrough) {
    Scene s;
    s.carriers = {carrier(300000, -6), carrier(1000000 - 240000, -6, 1)};
    RxSetup r;
    r.channels = 2;
    r.in_i = {0, 1, 0, 0};
    r.ddc_hz = {0, -1000000, 0, 0};
    start(s, r);
    auto bytes = read_bytes(h, 8 * 10000);
    auto z0 = channel(bytes, 2, 0);
    auto z1 = channel(bytes, 2, 1);
    EXPECT_LE(mean_abs(z0), 1.0);  // 300 kHz and 760 kHz: both outside +-250 kHz
    EXPECT_NEAR(tone_hz(z1, 500000), -240000.0, 0.05);  // the second one, seen by channel 1
    EXPECT_NEAR(mean_abs(z1), amplitude(-6), 1.0);

    // Decimation 32 (rate 2 MHz) lets channel 0 see 300 kHz, and its image.
    ASSERT_TRUE(fpga_reg(h, 33, 31));
    auto wide = channel(read_bytes(h, 8 * 10000), 2, 0);
    double peak = 0;
    for (const cplx& v : wide)
        peak = std::max(peak, v.real());
    EXPECT_NEAR(peak / 2, amplitude(-6), amplitude(-6) * 0.02);
}

TEST_F(StreamTest, CapabilityBitThreeDoublesTheDecimation) {
    Scene s;
    s.carriers = {carrier(3050000, -20)};
    RxSetup r;
    r.decimation_reg = 63;  // 2 * 64 = 128 with bit 3
    r.ddc_hz[0] = -3000000;
    BoardConfig c;
    c.capabilities = 4 | 8;
    start(s, r, c);
    auto z = channel(read_bytes(h, 4 * 20000), 1, 0);
    EXPECT_NEAR(tone_hz(z, 500000), 50000.0, 0.05);
}

TEST_F(StreamTest, FourChannelsEachFollowTheirOwnDownConverterAndInput) {
    Scene s;
    s.carriers = {carrier(3600000, -20, 0), carrier(5000000, -26, 2)};
    RxSetup r;
    r.channels = 4;
    r.in_i = {0, 0, 2, 1};
    r.ddc_hz = {-3590000, -3650000, -4900000, -3590000};
    start(s, r);
    auto bytes = read_bytes(h, 16 * 40000);
    EXPECT_NEAR(tone_hz(channel(bytes, 4, 0), 500000), 10000.0, 0.05);
    EXPECT_NEAR(tone_hz(channel(bytes, 4, 1), 500000), -50000.0, 0.05);
    EXPECT_NEAR(tone_hz(channel(bytes, 4, 2), 500000), 100000.0, 0.05);
    EXPECT_NEAR(mean_abs(channel(bytes, 4, 2)), amplitude(-26), 1.0);
    EXPECT_LE(mean_abs(channel(bytes, 4, 3)), 1.0);  // input 1 carries nothing
}

TEST_F(StreamTest, ReadsOfAnySizeJoinIntoTheSameStream) {
    Scene s;
    s.carriers = {carrier(3610000, -10), carrier(3555555, -30, 1)};
    s.noise_dbfs = -50;
    RxSetup r;
    r.channels = 4;
    r.in_i = {0, 1, 0, 1};
    r.in_q = {1, 0, 0, 1};
    r.ddc_hz = {-3600000, -3560000, -3620000, -3500000};
    start(s, r);
    auto whole = read_bytes(h, 300000);

    TearDown();
    SetUp();
    start(s, r);
    std::vector<uint8_t> pieces;
    const size_t sizes[] = {512, 520, 4, 3, 65536, 1000, 7, 16384};
    for (size_t i = 0; pieces.size() < whole.size(); ++i) {
        size_t n = std::min(sizes[i % 8], whole.size() - pieces.size());
        std::vector<uint8_t> part(n);
        ASSERT_EQ(usb_bulk_read(h, 6, reinterpret_cast<char*>(part.data()), int(n), 1000), int(n));
        pieces.insert(pieces.end(), part.begin(), part.end());
    }
    EXPECT_TRUE(pieces == whole);
    EXPECT_EQ(world.stream_bytes_read(board), whole.size());
}

TEST_F(StreamTest, RetuningAndPhaseWordsKeepThePhaseContinuous) {
    Scene s;
    s.carriers = {carrier(7012345, -20)};
    RxSetup r;
    r.ddc_hz[0] = -7000000;
    start(s, r);
    auto before = channel(read_bytes(h, 4 * 1000), 1, 0);
    ASSERT_TRUE(fpga_reg(h, 34, freq_word(-7010000)));  // now +2345 Hz
    auto after = channel(read_bytes(h, 4 * 1000), 1, 0);
    const double inc_old = 2 * M_PI * (7012345 + word_hz(freq_word(-7e6))) / 500000;
    const double inc_new = 2 * M_PI * (7012345 + word_hz(freq_word(-7010000))) / 500000;
    // Across the retune the phase moves by the old or the new step, never jumps.
    double step = std::arg(after[0] * std::conj(before.back()));
    EXPECT_TRUE(std::abs(step - inc_old) < 1e-3 || std::abs(step - inc_new) < 1e-3) << step;
    EXPECT_NEAR(std::arg(after[1] * std::conj(after[0])), inc_new, 1e-3);

    // A phase word of a quarter turn turns the output by a quarter turn.
    cplx last = after.back();
    ASSERT_TRUE(fpga_reg(h, 44, 0x40000000));
    auto turned = channel(read_bytes(h, 4 * 2), 1, 0);
    EXPECT_NEAR(std::arg(turned[0] * std::conj(last)), inc_new + M_PI / 2, 1e-3);
}

TEST_F(StreamTest, OutputSaturatesInsteadOfWrapping) {
    Scene s;
    // I only, DDC at 0: the carrier and its image make a cosine of 1.5 times full scale.
    s.carriers = {carrier(20000, 20 * std::log10(1.5 * 32768 / 2 / TONE_AMPLITUDE))};
    RxSetup r;
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 5000), 1, 0);
    double lo = 0, hi = 0;
    for (const cplx& c : z) {
        lo = std::min(lo, c.real());
        hi = std::max(hi, c.real());
    }
    EXPECT_EQ(hi, 32767);
    EXPECT_EQ(lo, -32768);
    for (size_t n = 1; n < z.size(); ++n)
        ASSERT_LT(std::abs(z[n].real() - z[n - 1].real()), 20000) << n;
}

TEST_F(StreamTest, NoiseFloorHasTheDocumentedSpread) {
    Scene s;
    s.noise_dbfs = -40;
    RxSetup r;
    r.gain_db[0] = 6;
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 60000), 1, 0);
    double sum = 0, sq = 0;
    for (const cplx& c : z) {
        sum += c.real();
        sq += c.real() * c.real();
    }
    const double n = double(z.size());
    const double sd = std::sqrt(sq / n - (sum / n) * (sum / n));
    EXPECT_NEAR(sd, NOISE_AMPLITUDE * std::pow(10.0, -34.0 / 20),
                NOISE_AMPLITUDE * std::pow(10.0, -34.0 / 20) * 0.05);
    EXPECT_NEAR(sum / n, 0, 5);
}

TEST_F(StreamTest, MorseKeyingSwitchesTheCarrier) {
    Scene s;
    Carrier c = carrier(3600000, -20);
    c.morse = "E";  // one unit on, then seven off: an eighth of the time on
    c.wpm = 120;    // 10 ms units
    s.carriers = {c};
    RxSetup r;
    r.ddc_hz[0] = -3600000;
    start(s, r);
    auto z = channel(read_bytes(h, 4 * 400000), 1, 0);  // 0.8 s: ten patterns
    size_t on = 0;
    for (const cplx& v : z)
        on += std::abs(v) > amplitude(-20) / 2;
    EXPECT_NEAR(double(on) / double(z.size()), 1.0 / 8, 0.01);
    EXPECT_GT(std::abs(z[100]), amplitude(-20) / 2);    // the dot starts the pattern
    EXPECT_LT(std::abs(z[10000]), amplitude(-20) / 2);  // 20 ms in: silent
}
