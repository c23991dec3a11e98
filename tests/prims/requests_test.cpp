// The vendor request vocabulary, checked by what crossed the simulated bus.
#include "prims_fixture.h"

#include <cerrno>

using namespace prims_test;
using usbsim::Fault;
using usbsim::FaultKind;

namespace {

class Requests : public WarmHandleTest {};

}  // namespace

TEST_F(Requests, OnOffRequestsCarryNoData) {
    struct Case {
        bool (*op)(usb_dev_handle*, bool);
        int request, index;
    };
    const Case cases[] = {
        {usrp_set_indicator, REQ_INDICATOR, 1},  {usrp_assert_fpga_reset, REQ_FPGA_RESET, 0},
        {usrp_tx_path_enable, REQ_TX_ENABLE, 0}, {usrp_rx_path_enable, REQ_RX_ENABLE, 0},
        {usrp_tx_path_reset, REQ_TX_RESET, 0},   {usrp_rx_path_reset, REQ_RX_RESET, 0},
    };
    for (const Case& c : cases) {
        world.clear_log();
        EXPECT_TRUE(c.op(h, true));
        EXPECT_TRUE(c.op(h, false));
        auto l = log();
        ASSERT_EQ(l.size(), 2u) << "request " << c.request;
        expect_request(l[0], 0x40, c.request, 1, c.index, 0);
        expect_request(l[1], 0x40, c.request, 0, c.index, 0);
        EXPECT_TRUE(l[0].data.empty());
    }
    EXPECT_FALSE(world.rx_enabled(board));
}

TEST_F(Requests, FpgaRegistersMostSignificantByteFirst) {
    EXPECT_TRUE(usrp_fpga_reg_write(h, 0x85, 0x12345678));
    Bytes wire = bytes_of({0x12, 0x34, 0x56, 0x78});
    auto l = log();
    ASSERT_EQ(l.size(), 1u);
    expect_request(l[0], 0x40, REQ_SPI_WRITE, 0x05, 0x0120, 4, &wire);
    EXPECT_EQ(world.fpga_register(board, 5), 0x12345678u);

    world.set_capabilities(board, 0xA1B2C3D4);
    world.clear_log();
    uint32_t value = 0;
    EXPECT_TRUE(usrp_fpga_reg_read(h, 3, &value));
    EXPECT_EQ(value, 0xA1B2C3D4u);
    l = log();
    ASSERT_EQ(l.size(), 1u);
    expect_request(l[0], 0xC0, REQ_SPI_READ, 0x83, 0x0120, 4);
}

TEST_F(Requests, FailedRegisterReadLeavesZero) {
    world.fail_control_at(0, Fault{FaultKind::io_error});
    uint32_t value = 0xDEADBEEF;
    capture_stderr();
    EXPECT_FALSE(usrp_fpga_reg_read(h, 3, &value));
    captured_stderr();
    EXPECT_EQ(value, 0u);

    // A short answer is a failure too, and still leaves zero.
    world.fail_control_at(0, Fault{FaultKind::short_data, 1});
    value = 0xDEADBEEF;
    EXPECT_FALSE(usrp_fpga_reg_read(h, 3, &value));
    EXPECT_EQ(value, 0u);
}

TEST_F(Requests, CodecRegistersSelectTheirCodec) {
    EXPECT_TRUE(usrp_codec_write(h, 1, 0x45, 0x9A));  // register number keeps 6 bits
    EXPECT_TRUE(usrp_codec_write(h, 0, 2, 0x33));
    unsigned char v = 0;
    EXPECT_TRUE(usrp_codec_read(h, 1, 5, &v));
    EXPECT_EQ(v, 0x9A);
    Bytes b1 = bytes_of({0x9A}), b0 = bytes_of({0x33});
    auto l = log();
    ASSERT_EQ(l.size(), 3u);
    expect_request(l[0], 0x40, REQ_SPI_WRITE, 0x05, 0x0420, 1, &b1);
    expect_request(l[1], 0x40, REQ_SPI_WRITE, 0x02, 0x0220, 1, &b0);
    expect_request(l[2], 0xC0, REQ_SPI_READ, 0x85, 0x0420, 1);
    EXPECT_EQ(world.codec_register(board, 1, 5), 0x9A);
    EXPECT_EQ(world.codec_register(board, 0, 2), 0x33);
}

TEST_F(Requests, HashSlotsUseBitZeroOfTheSlot) {
    unsigned char a[16], b[16];
    for (int i = 0; i < 16; ++i) {
        a[i] = static_cast<unsigned char>(i + 1);
        b[i] = static_cast<unsigned char>(0xF0 - i);
    }
    EXPECT_TRUE(usrp_store_hash(h, 2, a));
    EXPECT_TRUE(usrp_store_hash(h, 3, b));
    EXPECT_EQ(world.ram(board, 0xE1E0, 16), Bytes(a, a + 16));
    EXPECT_EQ(world.ram(board, 0xE1F0, 16), Bytes(b, b + 16));
    unsigned char back[16] = {};
    EXPECT_TRUE(usrp_fetch_hash(h, 1, back));
    EXPECT_EQ(Bytes(back, back + 16), Bytes(b, b + 16));

    auto l = log();
    ASSERT_EQ(l.size(), 3u);
    Bytes wa(a, a + 16);
    expect_request(l[0], 0x40, REQ_RAM_ACCESS, 0xE1E0, 0, 16, &wa);
    expect_request(l[1], 0x40, REQ_RAM_ACCESS, 0xE1F0, 0, 16);
    expect_request(l[2], 0xC0, REQ_RAM_ACCESS, 0xE1F0, 0, 16);

    // Hash operations print nothing of their own, even on a failure that is not a stall.
    world.fail_control_at(0, Fault{FaultKind::io_error});
    world.fail_control_at(1, Fault{FaultKind::short_data, 4});
    capture_stderr();
    EXPECT_FALSE(usrp_store_hash(h, 0, a));
    EXPECT_FALSE(usrp_fetch_hash(h, 0, back));
    EXPECT_EQ(captured_stderr(), "");
}

TEST_F(Requests, StallIsSilentOtherFailuresAreReported) {
    world.fail_control_at(0, Fault{FaultKind::stall});
    capture_stderr();
    EXPECT_FALSE(usrp_rx_path_enable(h, true));
    EXPECT_EQ(captured_stderr(), "");

    // The stall's errno must not silence the next failure.
    world.fail_control_at(0, Fault{FaultKind::timeout, 1, 0});
    capture_stderr();
    EXPECT_FALSE(usrp_rx_path_enable(h, true));
    std::string text = usb_strerror();
    EXPECT_EQ(captured_stderr(), "usb_control_msg failed: " + text + "\n");

    world.fail_control_at(0, Fault{FaultKind::io_error});
    capture_stderr();
    EXPECT_FALSE(usrp_codec_write(h, 0, 1, 2));
    text = usb_strerror();
    EXPECT_EQ(captured_stderr(), "usb_control_msg failed: " + text + "\n");
    EXPECT_FALSE(text.empty());

    // usrp_vendor_request hands back the library's result unchanged, and derives the type byte.
    world.clear_log();
    world.fail_control_at(0, Fault{FaultKind::short_data, 1});
    unsigned char buf[4];
    EXPECT_EQ(usrp_vendor_request(h, REQ_SPI_READ, 0x83, 0x0120, buf, 4), 3);
    world.fail_control_at(0, Fault{FaultKind::stall});
    EXPECT_EQ(usrp_vendor_request(h, REQ_SPI_READ, 0x83, 0x0120, buf, 4), -EPIPE);
    auto l = log();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].request_type, 0xC0);
}

TEST_F(Requests, CodecListRules) {
    const unsigned char pairs[] = {1, 0x11, 2, 0x22, 3, 0x33};
    EXPECT_FALSE(usrp_codec_write_list(h, 0, pairs, 5));
    EXPECT_TRUE(usrp_codec_write_list(h, 0, pairs, 0));
    EXPECT_TRUE(log().empty());

    // The second pair fails: the third is still sent and the list fails, with one report.
    world.fail_control_at(1, Fault{FaultKind::io_error});
    capture_stderr();
    EXPECT_FALSE(usrp_codec_write_list(h, 1, pairs, 6));
    std::string err = captured_stderr();
    EXPECT_EQ(err.rfind("usb_control_msg failed: ", 0), 0u) << err;
    auto l = log();
    ASSERT_EQ(l.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        Bytes v = bytes_of({pairs[2 * i + 1]});
        expect_request(l[i], 0x40, REQ_SPI_WRITE, pairs[2 * i], 0x0420, 1, i == 1 ? nullptr : &v);
    }
    EXPECT_EQ(world.codec_register(board, 1, 3), 0x33);

    // Both codecs are always written, even when the first fails.
    world.clear_log();
    world.fail_control_at(0, Fault{FaultKind::stall});
    EXPECT_FALSE(usrp_codec_write_list_both(h, pairs, 6));
    l = log();
    ASSERT_EQ(l.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(l[i].index, i < 3 ? 0x0220 : 0x0420);
    world.clear_log();
    EXPECT_TRUE(usrp_codec_write_list_both(h, pairs, 6));
    EXPECT_EQ(log().size(), 6u);
    EXPECT_EQ(world.codec_register(board, 0, 1), 0x11);
}

TEST_F(Requests, I2cLengthsAndEepromSplitting) {
    unsigned char buf[128] = {};
    EXPECT_FALSE(usrp_i2c_receive(h, 0x55, buf, 0));
    EXPECT_FALSE(usrp_i2c_receive(h, 0x55, buf, 65));
    EXPECT_TRUE(log().empty());

    std::array<uint8_t, 32> image{};
    for (int i = 0; i < 32; ++i)
        image[i] = static_cast<uint8_t>(0x40 + i);
    world.set_eeprom(board, 1, image);

    EXPECT_TRUE(usrp_eeprom_fetch(h, 0x55, 0, buf, 32));
    EXPECT_EQ(Bytes(buf, buf + 32), Bytes(image.begin(), image.end()));
    auto l = log();
    ASSERT_EQ(l.size(), 2u);
    Bytes offset0 = bytes_of({0});
    expect_request(l[0], 0x40, REQ_I2C_WRITE, 0x55, 0, 1, &offset0);
    expect_request(l[1], 0xC0, REQ_I2C_READ, 0x55, 0, 32);

    world.clear_log();
    usrp_eeprom_fetch(h, 0x55, 0, buf, 100);
    l = log();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].request, REQ_I2C_WRITE);
    expect_request(l[1], 0xC0, REQ_I2C_READ, 0x55, 0, 64);
    expect_request(l[2], 0xC0, REQ_I2C_READ, 0x55, 0, 36);

    world.clear_log();
    EXPECT_TRUE(usrp_i2c_receive(h, 0x55, buf, 64));
    EXPECT_EQ(log().size(), 1u);

    // A failed offset write ends the fetch before any read.
    world.clear_log();
    world.fail_control_at(0, Fault{FaultKind::stall});
    EXPECT_FALSE(usrp_eeprom_fetch(h, 0x55, 0, buf, 32));
    EXPECT_EQ(log().size(), 1u);

    // No board in the slot: the transfer fails.
    world.clear_log();
    capture_stderr();
    EXPECT_FALSE(usrp_eeprom_fetch(h, 0x54, 0, buf, 32));
    captured_stderr();
}

TEST_F(Requests, OverrunQuery) {
    bool overrun = false;
    world.set_overrun_flag(board, true);
    EXPECT_TRUE(usrp_check_rx_overrun(h, &overrun));
    EXPECT_TRUE(overrun);
    world.set_overrun_flag(board, false);
    EXPECT_TRUE(usrp_check_rx_overrun(h, &overrun));
    EXPECT_FALSE(overrun);
    auto l = log();
    ASSERT_GE(l.size(), 1u);
    expect_request(l[0], 0xC0, REQ_STATUS, 0, 1, 1);

    // A failed query leaves the flag set and fails.
    world.fail_control_at(0, Fault{FaultKind::short_data, 1});
    overrun = false;
    EXPECT_FALSE(usrp_check_rx_overrun(h, &overrun));
    EXPECT_TRUE(overrun);
}

TEST_F(Requests, RevisionZeroBoardRefusesFpgaRegisters) {
    usb_close(h);
    h = nullptr;
    world.reset();
    usrp_usb_init_pending = true;
    h = open_warm(0x0100);
    ASSERT_NE(h, nullptr);

    capture_stderr();
    EXPECT_FALSE(usrp_fpga_reg_write(h, 1, 5));
    uint32_t value = 7;
    EXPECT_FALSE(usrp_fpga_reg_read(h, 3, &value));
    std::string err = captured_stderr();
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(log().empty()) << "nothing may be sent to a revision 0 board's FPGA registers";
    EXPECT_EQ(err, "usrp_fpga_reg_write: not supported on a revision 0 board\n"
                   "usrp_fpga_reg_read: not supported on a revision 0 board\n");
    // Codec registers are not affected by the revision rule.
    EXPECT_TRUE(usrp_codec_write(h, 0, 1, 1));
    EXPECT_EQ(log().size(), 1u);
}
