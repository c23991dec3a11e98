// The basic receive path: daughterboard probe, fast-USB arguments, streaming with the overrun
// query, receive gain, teardown.
#include "device_fixture.h"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

using namespace devtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class BasicRx : public DeviceTest {
  protected:
    int status_queries() {
        return int(usbsim::with_request(world().control_log(), REQ_STATUS).size());
    }
    Seq construction_until_probe() {
        Seq s = warm_loader();
        append(s, base_construction());
        append(s, basic_rx_setup());
        return s;
    }
};

TEST_F(BasicRx, ProbeOfValidInvalidAndEmptySlots) {
    usbsim::BoardConfig c = warm_config();
    c.eeprom[1] = eeprom_image(0x0001, 0x1234, -1, 0x0102);
    Eeprom bad_sum = eeprom_image(0x0002, 0, 0, 0);
    bad_sum[31] ^= 0x01;
    c.eeprom[3] = bad_sum;
    install(c);

    {
        basic_rx_probe rx(0, 0, 0);
        Seq expected = construction_until_probe();
        append(expected, probe_slot(1, SlotKind::valid, 0x1234, -1, 0x0102));
        append(expected, probe_slot(3, SlotKind::invalid));
        append(expected, basic_rx_finish());
        EXPECT_TRUE(same_sequence(logged_requests(), expected));
        EXPECT_EQ(rx.daughterboard_id(0), 1);
        EXPECT_EQ(rx.daughterboard_id(1), DBOARD_ID_INVALID);
        EXPECT_EQ(usrp_dboard_id_name(rx.daughterboard_id(0)), "Basic Rx");
        EXPECT_EQ(usrp_dboard_id_name(rx.daughterboard_id(1)), "<invalid EEPROM contents>");
        // word2 0xFFFF sign-extends; slot 3's words never reach registers 18 and 19.
        EXPECT_EQ(world().fpga_register(board, 16), 0xFFFFFFFFu);
        EXPECT_EQ(world().fpga_register(board, 17), 0x00000102u);
        EXPECT_EQ(world().fpga_register(board, 6), 0xFFFF1234u);
        EXPECT_EQ(world().fpga_register(board, 10), 0xFFFF0000u);
        EXPECT_EQ(world().fpga_register(board, 8), 0xFFFF0000u);
        EXPECT_EQ(world().fpga_register(board, 12), 0xFFFF0000u);
    }

    // The wrong magic byte is invalid even with a zero check sum; an empty slot 1 gives -1.
    Eeprom wrong_magic{};
    wrong_magic[0] = 0xDA;
    wrong_magic[1] = 0x03;
    wrong_magic[31] = uint8_t(-(0xDA + 0x03));
    c.eeprom[1].reset();
    c.eeprom[3] = wrong_magic;
    install(c);
    {
        basic_rx_probe rx(0, 0, 0);
        Seq expected = construction_until_probe();
        append(expected, probe_slot(1, SlotKind::empty));
        append(expected, probe_slot(3, SlotKind::invalid));
        append(expected, basic_rx_finish());
        EXPECT_TRUE(same_sequence(logged_requests(), expected));
        EXPECT_EQ(rx.daughterboard_id(0), DBOARD_ID_NONE);
        EXPECT_EQ(rx.daughterboard_id(1), DBOARD_ID_INVALID);
        for (int reg = 16; reg <= 19; reg++)
            EXPECT_EQ(world().fpga_register(board, reg), 0u) << "reg " << reg;
    }
}

TEST_F(BasicRx, FastUsbArgumentsAreCheckedAfterTheDeviceIsSetUp) {
    struct Case {
        int block_size, nblocks;
        const char* thrown;
        int expect_block, expect_nblocks;
    };
    const Case cases[] = {
        {0, 0, nullptr, 65536, 32},
        {65536, 0, nullptr, 65536, 32},
        {4096, 0, nullptr, 4096, 512},
        {512, 3, nullptr, 512, 3},
        {65537, 0, "out_of_range: usrp_basic_rx: invalid fusb_block_size", 0, 0},
        {-1, 0, "out_of_range: usrp_basic_rx: invalid fusb_block_size", 0, 0},
        {-1, -1, "out_of_range: usrp_basic_rx: invalid fusb_block_size", 0, 0},
        {0, -1, "out_of_range: usrp_basic_rx: invalid fusb_nblocks", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("block size " + std::to_string(c.block_size) + ", nblocks " +
                     std::to_string(c.nblocks));
        install(warm_config());
        CaptureStderr();
        int block = 0, nblocks = 0;
        std::string thrown = thrown_by([&] {
            basic_rx_probe rx(0, c.block_size, c.nblocks);
            block = rx.read_block_size();
            nblocks = rx.ring_blocks();
        });
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(world().open_handles(), 0);
        if (c.thrown == nullptr) {
            EXPECT_EQ(thrown, "none");
            EXPECT_EQ(block, c.expect_block);
            EXPECT_EQ(nblocks, c.expect_nblocks);
            continue;
        }
        EXPECT_EQ(thrown, c.thrown);
        // Everything up to and including both probes was sent; then nothing, not even a
        // teardown: the base only closed its handle.
        Seq expected = construction_until_probe();
        append(expected, probe_slot(1, SlotKind::valid));
        append(expected, probe_slot(3, SlotKind::empty));
        EXPECT_TRUE(same_sequence(logged_requests(), expected));
    }
    // The refused arguments never reach the factory's caller as an exception.
    install(warm_config());
    EXPECT_EQ(usrp_standard_rx::create(0, 128, 4, 0, 0, 65537, 0, FPGA_IMAGE, FIRMWARE_IMAGE),
              nullptr);
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(BasicRx, TeardownOfADeviceThatNeverStreamed) {
    auto rx = std::make_unique<basic_rx_probe>(0, 0, 0);
    world().clear_log();
    CaptureStderr();
    rx.reset();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(same_sequence(logged_requests(), basic_rx_teardown()));
    EXPECT_EQ(world().open_handles(), 0);

    // Failures in the teardown are reported and the teardown goes on to close the handle.
    install(warm_config());
    rx = std::make_unique<basic_rx_probe>(0, 0, 0);
    world().clear_log();
    world().fail_control_matching({REQ_RX_ENABLE, 0, 0, {}},
                                  usbsim::Fault{usbsim::FaultKind::io_error});
    world().fail_control_matching({REQ_SPI_WRITE, 1, 0x0420, {}},
                                  usbsim::Fault{usbsim::FaultKind::stall});
    CaptureStderr();
    rx.reset();
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("usrp_basic_rx: set_fpga_rx_enable failed\n"), std::string::npos) << err;
    EXPECT_NE(err.find("usrp_basic_rx: failed to fini AD9862 RX regs\n"), std::string::npos) << err;
    Seq expected = basic_rx_teardown();
    expected[0] = as_failed(expected[0], -5);
    expected[2] = as_failed(expected[2], -32);
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(BasicRx, StartAndStopStreaming) {
    standard_rx_probe rx(0, 128, 4, 0);
    world().clear_log();
    std::vector<char> buf(65536);

    EXPECT_EQ(rx.read(buf.data(), 65536, nullptr), -1) << "not started yet";
    ASSERT_TRUE(rx.start_streaming());
    EXPECT_TRUE(rx.rx_enabled());
    EXPECT_TRUE(world().rx_enabled(board));
    EXPECT_TRUE(same_sequence(logged_requests(), rx_enable(true)));
    EXPECT_EQ(rx.read(buf.data(), 65536, nullptr), 65536);
    EXPECT_GE(world().stream_bytes_read(board), 65536u);

    world().clear_log();
    ASSERT_TRUE(rx.stop_streaming());
    EXPECT_FALSE(rx.rx_enabled());
    EXPECT_FALSE(world().rx_enabled(board));
    EXPECT_TRUE(same_sequence(logged_requests(), rx_enable(false)));
    EXPECT_EQ(rx.read(buf.data(), 65536, nullptr), -1) << "the endpoint is stopped";

    // Streaming may start again after a stop.
    ASSERT_TRUE(rx.start_streaming());
    EXPECT_EQ(rx.read(buf.data(), 65536, nullptr), 65536);
    ASSERT_TRUE(rx.stop_streaming());
}

TEST_F(BasicRx, StreamingEnableFailuresAreReported) {
    standard_rx_probe rx(0, 128, 4, 0);
    world().fail_control_matching({REQ_RX_ENABLE, 1, {}, {}},
                                  usbsim::Fault{usbsim::FaultKind::stall});
    CaptureStderr();
    EXPECT_FALSE(rx.start_streaming());
    EXPECT_EQ(GetCapturedStderr(), "usrp_basic_rx: set_rx_enable failed\n");
    EXPECT_FALSE(world().rx_enabled(board));

    // Started again, only the enable is repeated; the endpoint, running since the first start,
    // delivers the stream.
    world().clear_log();
    ASSERT_TRUE(rx.start_streaming());
    EXPECT_TRUE(same_sequence(logged_requests(), rx_enable(true)));
    std::vector<char> block(65536);
    EXPECT_EQ(rx.read(block.data(), 65536, nullptr), 65536);
    world().fail_control_matching({REQ_RX_ENABLE, 0, {}, {}},
                                  usbsim::Fault{usbsim::FaultKind::stall});
    CaptureStderr();
    EXPECT_FALSE(rx.stop_streaming());
    EXPECT_EQ(GetCapturedStderr(), "usrp_basic_rx: set_rx_enable(false) failed\n");
    EXPECT_FALSE(rx.rx_enabled());
    std::vector<char> buf(512);
    EXPECT_EQ(rx.read(buf.data(), 512, nullptr), -1) << "the endpoint stopped all the same";
}

TEST_F(BasicRx, ReadLengthsAreCheckedBeforeTheEndpoint) {
    standard_rx_probe rx(0, 128, 4, 0);
    ASSERT_TRUE(rx.start_streaming());
    std::vector<char> buf(65536);
    bool overrun = true;

    CaptureStderr();
    EXPECT_EQ(rx.read(buf.data(), 1000, &overrun), -1);
    EXPECT_FALSE(overrun);
    EXPECT_EQ(rx.read(buf.data(), -512, nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(), "usrp_basic_rx::read: invalid length = 1000\n"
                                   "usrp_basic_rx::read: invalid length = -512\n");

    const uint64_t before = world().stream_bytes_read(board);
    EXPECT_EQ(rx.read(buf.data(), 0, &overrun), 0);
    EXPECT_EQ(rx.read(buf.data(), 512, &overrun), 512);
    EXPECT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
    EXPECT_GE(world().stream_bytes_read(board), before);
    ASSERT_TRUE(rx.stop_streaming());
}

TEST_F(BasicRx, OverrunQueryIsPacedByBytes) {
    standard_rx_probe rx(0, 128, 4, 0);
    ASSERT_EQ(rx.get_overrun_check_bytes(), 800000);
    ASSERT_TRUE(rx.start_streaming());
    std::vector<char> buf(65536);

    // 800 000 bytes between queries: after reads 13, 26, 39 of 65 536 bytes.
    std::vector<int> queried_after;
    int queries = status_queries();
    for (int i = 1; i <= 40; i++) {
        bool overrun = true;
        ASSERT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
        EXPECT_FALSE(overrun) << "read " << i;
        if (status_queries() != queries)
            queried_after.push_back(i);
        queries = status_queries();
    }
    EXPECT_EQ(queried_after, (std::vector<int>{13, 26, 39}));

    // An overrun on the board shows on the next query only.
    world().set_overrun_flag(board, true);
    std::vector<int> reported;
    for (int i = 41; i <= 52; i++) {
        bool overrun = false;
        ASSERT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
        if (overrun)
            reported.push_back(i);
    }
    EXPECT_EQ(reported, std::vector<int>{52});

    // Reads without an overrun pointer count but never query; the next read with one does.
    world().set_overrun_flag(board, false);
    queries = status_queries();
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(rx.read(buf.data(), 65536, nullptr), 65536);
    EXPECT_EQ(status_queries(), queries);
    bool overrun = true;
    ASSERT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
    EXPECT_EQ(status_queries(), queries + 1);
    EXPECT_FALSE(overrun);
    EXPECT_EQ(rx.stop_streaming(), true);
}

TEST_F(BasicRx, ByteCountOfReadsWithoutOverrunPointerSaturates) {
    standard_rx_probe rx(0, 128, 4, 0);
    ASSERT_TRUE(rx.start_streaming());
    std::vector<char> buf(65536);
    // As after about 4.5 minutes of reads that never asked for the overrun state.
    rx.set_checked_bytes(std::numeric_limits<int>::max() - 1000);
    ASSERT_EQ(rx.read(buf.data(), 65536, nullptr), 65536);
    EXPECT_EQ(rx.checked_bytes(), std::numeric_limits<int>::max());
    const int queries = status_queries();
    bool overrun = true;
    ASSERT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
    EXPECT_EQ(status_queries(), queries + 1);
    EXPECT_EQ(rx.checked_bytes(), 0);
    ASSERT_TRUE(rx.stop_streaming());
}

TEST_F(BasicRx, FailedOverrunQueryReadsAsOverrun) {
    standard_rx_probe rx(0, 128, 4, 0);
    ASSERT_TRUE(rx.start_streaming());
    std::vector<char> buf(65536);
    for (int i = 1; i < 13; i++)
        ASSERT_EQ(rx.read(buf.data(), 65536, nullptr), 65536);
    world().fail_control_matching({REQ_STATUS, {}, {}, {}},
                                  usbsim::Fault{usbsim::FaultKind::io_error});
    bool overrun = false;
    CaptureStderr();
    EXPECT_EQ(rx.read(buf.data(), 65536, &overrun), 65536);
    std::string err = GetCapturedStderr();
    EXPECT_TRUE(overrun);
    EXPECT_NE(err.find("usb_control_msg failed: "), std::string::npos) << err;
    EXPECT_NE(err.find("usrp_basic_rx: usrp_check_rx_overrun failed\n"), std::string::npos) << err;
    ASSERT_TRUE(rx.stop_streaming());
}

TEST_F(BasicRx, ReceiveGainKeepsBitSevenAndRoundsHalfToEven) {
    basic_rx_probe rx(0, 0, 0);
    usb_dev_handle* h = rx.get_usb_handle();
    ASSERT_TRUE(usrp_codec_write(h, 1, 2, 0x80));
    ASSERT_TRUE(usrp_codec_write(h, 0, 3, 0x85));
    world().clear_log();

    EXPECT_TRUE(rx.set_rx_gain(2, 25.0));
    Seq expected = codec_read(1, 2);
    append(expected, codec_write(1, 2, 0x80 | 20));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_EQ(world().codec_register(board, 1, 2), 0x80 | 20);

    EXPECT_TRUE(rx.set_rx_gain(1, -3.0));
    EXPECT_EQ(world().codec_register(board, 0, 3), 0x80);
    EXPECT_TRUE(rx.set_rx_gain(3, 7.0));
    EXPECT_EQ(world().codec_register(board, 1, 3), 7);
    EXPECT_TRUE(rx.set_rx_gain(0, 12.5));
    EXPECT_EQ(world().codec_register(board, 0, 2), 12);
    EXPECT_TRUE(rx.set_rx_gain(0, 13.5));
    EXPECT_EQ(world().codec_register(board, 0, 2), 14);

    world().clear_log();
    EXPECT_FALSE(rx.set_rx_gain(4, 10.0));
    EXPECT_FALSE(rx.set_rx_gain(0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(world().control_log().empty());

    // A failed register read stops before any write.
    world().fail_control_at(0, usbsim::Fault{usbsim::FaultKind::stall});
    EXPECT_FALSE(rx.set_rx_gain(1, 5.0));
    EXPECT_TRUE(same_sequence(logged_requests(), {as_failed(codec_read(0, 3)[0], -32)}));
    EXPECT_EQ(world().codec_register(board, 0, 3), 0x80);
}

TEST(RoundHalfEven, TiesGoToTheEvenNeighbour) {
    EXPECT_EQ(round_half_even(2.5), 2.0);
    EXPECT_EQ(round_half_even(3.5), 4.0);
    EXPECT_EQ(round_half_even(-2.5), -2.0);
    EXPECT_EQ(round_half_even(-3.5), -4.0);
    EXPECT_EQ(round_half_even(0.49999999999999994), 0.0);
    EXPECT_EQ(round_half_even(1.2), 1.0);
    EXPECT_EQ(round_half_even(-1.7), -2.0);
    EXPECT_EQ(round_half_even(0.5), 0.0);
    // Beyond the 32-bit range the evenness test still holds.
    EXPECT_EQ(round_half_even(4294967296.5), 4294967296.0);
    EXPECT_EQ(round_half_even(4294967297.5), 4294967298.0);
}

}  // namespace
