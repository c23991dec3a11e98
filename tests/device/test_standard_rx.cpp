// The standard receive path: capability word, channel count, decimation, mux, frequency words,
// phases, the enable bracketing, and the factory.
#include "device_fixture.h"

#include <cmath>
#include <limits>
#include <memory>

using namespace devtest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class StandardRx : public DeviceTest {
  protected:
    std::unique_ptr<usrp_standard_rx> create(int nchan = 4, unsigned decim = 128, int mux = 0) {
        return std::unique_ptr<usrp_standard_rx>(
            usrp_standard_rx::create(0, decim, nchan, mux, 0, 0, 0, FPGA_IMAGE, FIRMWARE_IMAGE));
    }
    void install_caps(uint32_t caps) {
        usbsim::BoardConfig c = warm_config();
        c.capabilities = caps;
        install(c);
    }
};

const double FREQ_STEP_HZ = 64e6 / 4294967296.0;

TEST_F(StandardRx, MuxEncodingOnTheWire) {
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    struct Case {
        uint32_t mux;
        bool accepted;
        uint32_t reg38;
    };
    const Case cases[] = {
        {0x32103210u, true, 0xE4E44u}, {0x00000000u, true, 0x00004u}, {0xF0F0F0F0u, true, 0xCCCCCu},
        {0x10101010u, true, 0x44444u}, {0x3210F0F0u, false, 0},       {0x01234567u, false, 0},
        {0x000000F4u, false, 0},       {0x32103250u, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "mux 0x" << c.mux);
        const int mux_before = rx->mux();
        const uint32_t reg_before = world().fpga_register(board, FPGA_REG_RX_MUX);
        world().clear_log();
        EXPECT_EQ(rx->set_mux(int(c.mux)), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(same_sequence(logged_requests(), fpga_write(FPGA_REG_RX_MUX, c.reg38)));
            EXPECT_EQ(uint32_t(rx->mux()), c.mux);
        } else {
            EXPECT_TRUE(world().control_log().empty());
            EXPECT_EQ(rx->mux(), mux_before);
            EXPECT_EQ(world().fpga_register(board, FPGA_REG_RX_MUX), reg_before);
        }
    }

    // The factory's -1 asks for the default mux.
    rx.reset();
    rx = create(4, 128, -1);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(uint32_t(rx->mux()), 0x32103210u);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_RX_MUX), 0xE4E44u);
}

TEST_F(StandardRx, DecimationRulesWithoutTheHalvingStage) {
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    EXPECT_FALSE(rx->has_rx_halfband_decim());
    EXPECT_EQ(rx->decim_rate(), 128u);
    EXPECT_EQ(rx->get_stream_bytes_per_sec(), 8000000);
    EXPECT_EQ(rx->get_overrun_check_bytes(), 800000);

    world().clear_log();
    CaptureStderr();
    EXPECT_FALSE(rx->set_decim_rate(130));
    EXPECT_FALSE(rx->set_decim_rate(3));
    EXPECT_FALSE(rx->set_decim_rate(0xFFFFFFFFu));
    EXPECT_EQ(GetCapturedStderr(), "usrp_standard_rx::set_decim_rate: rate must be in [4, 128]\n"
                                   "usrp_standard_rx::set_decim_rate: rate must be in [4, 128]\n"
                                   "usrp_standard_rx::set_decim_rate: rate must be in [4, 128]\n");
    EXPECT_TRUE(world().control_log().empty());
    EXPECT_EQ(rx->decim_rate(), 128u);
    EXPECT_EQ(rx->get_stream_bytes_per_sec(), 8000000);

    EXPECT_TRUE(rx->set_decim_rate(4));
    EXPECT_TRUE(same_sequence(logged_requests(), fpga_write(FPGA_REG_DECIMATION, 3)));
    EXPECT_EQ(rx->get_stream_bytes_per_sec(), 256000000);
    EXPECT_EQ(rx->get_overrun_check_bytes(), 25600000);

    // The byte rate follows the channel count at the time of the decimation.
    ASSERT_TRUE(rx->set_nchannels(2));
    EXPECT_EQ(rx->get_stream_bytes_per_sec(), 256000000) << "set_nchannels does not recompute";
    EXPECT_TRUE(rx->set_decim_rate(100));
    EXPECT_EQ(rx->get_stream_bytes_per_sec(), 640000 * 2 * 4);
    EXPECT_EQ(rx->get_overrun_check_bytes(), 512000);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DECIMATION), 99u);
}

TEST_F(StandardRx, DecimationRulesWithTheHalvingStage) {
    install_caps(0x0C);  // four down-converters and the halving stage
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    EXPECT_TRUE(rx->has_rx_halfband_decim());
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DECIMATION), 63u);

    world().clear_log();
    CaptureStderr();
    EXPECT_FALSE(rx->set_decim_rate(129));
    EXPECT_FALSE(rx->set_decim_rate(258));
    EXPECT_FALSE(rx->set_decim_rate(2));
    EXPECT_EQ(GetCapturedStderr(),
              "usrp_standard_rx::set_decim_rate: rate must be EVEN and in [4, 256]\n"
              "usrp_standard_rx::set_decim_rate: rate must be EVEN and in [4, 256]\n"
              "usrp_standard_rx::set_decim_rate: rate must be EVEN and in [4, 256]\n");
    EXPECT_TRUE(world().control_log().empty());

    EXPECT_TRUE(rx->set_decim_rate(130));
    EXPECT_TRUE(rx->set_decim_rate(256));
    EXPECT_TRUE(rx->set_decim_rate(4));
    Seq expected = fpga_write(FPGA_REG_DECIMATION, 64);
    append(expected, fpga_write(FPGA_REG_DECIMATION, 127));
    append(expected, fpga_write(FPGA_REG_DECIMATION, 1));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_EQ(rx->decim_rate(), 4u);
}

TEST_F(StandardRx, CapabilityWordBoundsTheChannelCount) {
    // The marker word stands for two down-converters with the halving stage.
    install_caps(0xAA55FF77u);
    CaptureStderr();
    EXPECT_EQ(create(4), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "usrp_standard_rx: set_nchannels failed\n");
    EXPECT_EQ(world().open_handles(), 0);
    EXPECT_EQ(rx_enable_count(false), 2) << "construction and teardown each disable";

    install_caps(0xAA55FF77u);
    auto rx = create(2);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->get_capabilities(), 42u);
    EXPECT_EQ(rx->nddcs(), 2);
    EXPECT_TRUE(rx->has_rx_halfband_decim());
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DECIMATION), 63u);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_RX_MUX), 2u);

    world().clear_log();
    EXPECT_FALSE(rx->set_nchannels(4));
    EXPECT_FALSE(rx->set_nchannels(3));
    EXPECT_FALSE(rx->set_nchannels(0));
    EXPECT_TRUE(world().control_log().empty());
    EXPECT_EQ(rx->nchannels(), 2);
    ASSERT_TRUE(rx->set_mux(0x10101010));
    EXPECT_TRUE(rx->set_nchannels(1));
    Seq expected = fpga_write(FPGA_REG_RX_MUX, 0x44442);
    append(expected, fpga_write(FPGA_REG_RX_MUX, 0x44441));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    rx.reset();

    // Any other word is taken as it is.
    install_caps(2);
    CaptureStderr();
    EXPECT_EQ(create(4), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "usrp_standard_rx: set_nchannels failed\n");
    EXPECT_EQ(world().open_handles(), 0);
    install_caps(2);
    rx = create(2);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->get_capabilities(), 2u);
    EXPECT_FALSE(rx->has_rx_halfband_decim());
}

TEST_F(StandardRx, FrequencyWordsAndTies) {
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    world().clear_log();

    EXPECT_TRUE(rx->set_rx_frequency(0, -3600000.0));
    EXPECT_TRUE(same_sequence(logged_requests(), fpga_write(FPGA_REG_DDC_FREQ_0, 0xF199999Au)));
    EXPECT_NEAR(rx->rx_freq(0), -3599999.994, 0.0005);

    struct Case {
        double steps;
        uint32_t word;
    };
    const Case ties[] = {{1.5, 2}, {2.5, 2}, {3.5, 4}, {-2.5, 0xFFFFFFFEu}, {-1.5, 0xFFFFFFFEu}};
    for (const Case& c : ties) {
        SCOPED_TRACE(testing::Message() << c.steps << " steps");
        EXPECT_TRUE(rx->set_rx_frequency(3, c.steps * FREQ_STEP_HZ));
        EXPECT_EQ(world().fpga_register(board, FPGA_REG_DDC_FREQ_0 + 3), c.word);
        EXPECT_DOUBLE_EQ(rx->rx_freq(3), double(int32_t(c.word)) * FREQ_STEP_HZ);
    }

    EXPECT_TRUE(rx->set_rx_frequency(0, 0.0));
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DDC_FREQ_0), 0u);
    EXPECT_EQ(rx->rx_freq(0), 0.0);

    world().clear_log();
    EXPECT_FALSE(rx->set_rx_frequency(4, 1000.0));
    EXPECT_FALSE(rx->set_rx_phase(4, 1));
    EXPECT_FALSE(rx->set_rx_frequency(1, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(rx->set_rx_frequency(1, std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(world().control_log().empty());

    EXPECT_TRUE(rx->set_rx_phase(1, 0x12345678));
    EXPECT_TRUE(same_sequence(logged_requests(), fpga_write(FPGA_REG_DDC_PHASE_0 + 1, 0x12345678)));

    // A failed write still records the frequency asked for.
    world().fail_control_at(0, usbsim::Fault{usbsim::FaultKind::stall});
    EXPECT_FALSE(rx->set_rx_frequency(2, 7050000.0));
    EXPECT_NEAR(rx->rx_freq(2), 7050000.0, FREQ_STEP_HZ);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DDC_FREQ_0 + 2), 0u);
}

TEST_F(StandardRx, FrequencyWordsBeyondHalfTheClockWrap) {
    struct Case {
        double target;
        uint32_t word;
        double actual;
    };
    const Case cases[] = {
        {40e6, 0xA0000000u, -24e6},  {-40e6, 0x60000000u, 24e6}, {32e6, 0x80000000u, -32e6},
        {-32e6, 0x80000000u, -32e6}, {96e6, 0x80000000u, -32e6}, {64e6, 0u, 0.0},
        {-70e6, 0xE8000000u, -6e6},  {1e300, 0u, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "target " << c.target);
        double actual = 1.0;
        EXPECT_EQ(uint32_t(compute_freq_control_word_fpga(&actual, false, 64e6, c.target)), c.word);
        EXPECT_DOUBLE_EQ(actual, c.actual);
    }
    double actual = 1.0;
    EXPECT_EQ(compute_freq_control_word_fpga(&actual, false, 64e6,
                                             std::numeric_limits<double>::quiet_NaN()),
              0);
    EXPECT_EQ(actual, 0.0);

    // The same through the device: the register holds the wrapped word.
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    EXPECT_TRUE(rx->set_rx_frequency(1, 40e6));
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DDC_FREQ_0 + 1), 0xA0000000u);
    EXPECT_DOUBLE_EQ(rx->rx_freq(1), -24e6);
}

TEST_F(StandardRx, FrequencyTraceLines) {
    double actual = 0;
    CaptureStderr();
    EXPECT_EQ(compute_freq_control_word_fpga(&actual, true, 64e6, -3600000.0), -241591910);
    EXPECT_EQ(compute_freq_control_word_fpga(&actual, false, 64e6, -3600000.0), -241591910);
    EXPECT_EQ(GetCapturedStderr(),
              "compute_freq_control_word_fpga: target = -3.6e+06  actual = -3.6e+06  "
              "delta = 0.00596046\n");

    auto rx = create();
    ASSERT_NE(rx, nullptr);
    rx->set_trace_registers(true);
    CaptureStderr();
    CaptureStdout();
    EXPECT_TRUE(rx->set_rx_frequency(0, 0.0));
    EXPECT_EQ(GetCapturedStdout(), "_write_fpga_reg( 34, 0x00000000)\n");
    EXPECT_EQ(GetCapturedStderr(),
              "compute_freq_control_word_fpga: target = 0  actual = 0  delta = 0\n");
}

TEST_F(StandardRx, ReceiveEnableIsBracketedAroundStreamShapingWrites) {
    auto rx = create();
    ASSERT_NE(rx, nullptr);

    // Off: only the register writes.
    world().clear_log();
    EXPECT_TRUE(rx->set_decim_rate(64));
    EXPECT_TRUE(rx->set_mux(0x10101010));
    EXPECT_TRUE(rx->set_nchannels(2));
    Seq expected = fpga_write(FPGA_REG_DECIMATION, 63);
    append(expected, fpga_write(FPGA_REG_RX_MUX, 0x44444));
    append(expected, fpga_write(FPGA_REG_RX_MUX, 0x44442));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));

    // On: disable, write, enable again.
    ASSERT_TRUE(rx->set_rx_enable(true));
    world().clear_log();
    EXPECT_TRUE(rx->set_decim_rate(128));
    EXPECT_TRUE(rx->set_mux(0));
    EXPECT_TRUE(rx->set_nchannels(4));
    expected.clear();
    for (const Seq& write : {fpga_write(FPGA_REG_DECIMATION, 127), fpga_write(FPGA_REG_RX_MUX, 2),
                             fpga_write(FPGA_REG_RX_MUX, 4)}) {
        append(expected, rx_enable(false));
        append(expected, write);
        append(expected, rx_enable(true));
    }
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_TRUE(rx->rx_enabled());
    EXPECT_TRUE(world().rx_enabled(board));

    // A failed write still restores the receive path; a refused rate sends nothing.
    world().clear_log();
    world().fail_control_at(1, usbsim::Fault{usbsim::FaultKind::stall});
    EXPECT_FALSE(rx->set_decim_rate(32));
    CaptureStderr();
    EXPECT_FALSE(rx->set_decim_rate(200));
    GetCapturedStderr();
    expected = rx_enable(false);
    expected.push_back(as_failed(fpga_write(FPGA_REG_DECIMATION, 31)[0], -32));
    append(expected, rx_enable(true));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_TRUE(world().rx_enabled(board));
    EXPECT_EQ(rx->decim_rate(), 32u) << "fields hold the requested value after a failed write";
}

TEST_F(StandardRx, FactoryReturnsNullAndTearsDownOnARegisterFailure) {
    world().fail_control_matching({REQ_SPI_WRITE, FPGA_REG_RX_FORMAT, 0x0120, {}},
                                  usbsim::Fault{usbsim::FaultKind::stall});
    CaptureStderr();
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "usrp_standard_rx: set_format failed\n");
    EXPECT_EQ(world().open_handles(), 0);
    const Seq log = logged_requests();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Seq(log.end() - 3, log.end()), basic_rx_teardown());
    EXPECT_FALSE(world().rx_enabled(board));

    // A decimation out of range fails the factory after its own message.
    install(warm_config());
    CaptureStderr();
    EXPECT_EQ(create(4, 200), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "usrp_standard_rx::set_decim_rate: rate must be in [4, 128]\n"
                                   "usrp_standard_rx: set_decim_rate failed\n");
    EXPECT_EQ(world().open_handles(), 0);

    // Then a normal device can be made again.
    install(warm_config());
    auto rx = create();
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->nchannels(), 4);
}

}  // namespace
