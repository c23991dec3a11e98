// The device base: bring-up failures, the one-time USB initialisation, the register write with
// its mirror and trace.
#include "device_fixture.h"

#include <filesystem>
#include <memory>

using namespace devtest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class DeviceBase : public DeviceTest {};

TEST_F(DeviceBase, NoBoardFailsInTheLoaderWithOnlyItsLines) {
    world().reset();
    world().add_bus();
    world().add_other_device(0, 0x1234, 0x5678);
    usrp_usb_init_pending = true;

    CaptureStderr();
    std::string thrown = thrown_by([] { basic_rx_probe rx(0, 0, 0); });
    EXPECT_EQ(GetCapturedStderr(), "usrp: failed to find usrp[0]\n");
    EXPECT_EQ(thrown, "runtime_error: usrp_basic/usrp_load_standard_bits");
    EXPECT_TRUE(world().control_log().empty());
    EXPECT_EQ(world().open_handles(), 0);

    usrp_usb_init_pending = true;
    CaptureStderr();
    EXPECT_EQ(usrp_standard_rx::create(0, 128, 4, 0, 0, 0, 0, FPGA_IMAGE, FIRMWARE_IMAGE), nullptr);
    GetCapturedStderr();
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(DeviceBase, MissingFirmwareFileFailsInTheLoader) {
    std::filesystem::remove(image_root + "/rev4/" + FIRMWARE_IMAGE);
    CaptureStderr();
    std::string thrown = thrown_by([] { basic_rx_probe rx(0, 0, 0); });
    std::string err = GetCapturedStderr();
    // The fixed text, then the paths tried (USRP_PATH's first).
    EXPECT_EQ(err.rfind("Can't find firmware: std.ihx\nusrp: searched for std.ihx in: \"" +
                            image_root + "/rev4/std.ihx\", ",
                        0),
              0u)
        << err;
    EXPECT_EQ(thrown, "runtime_error: usrp_basic/usrp_load_standard_bits");
    EXPECT_TRUE(world().control_log().empty());
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(DeviceBase, RevisionZeroIsRefusedAfterItsImagesWereLoaded) {
    write_images(0);
    usbsim::BoardConfig cold;
    cold.bcd_device = 0x0100;  // revision 0
    install(cold);

    CaptureStderr();
    std::string thrown = thrown_by([] { basic_rx_probe rx(0, 0, 0); });
    std::string err = GetCapturedStderr();
    EXPECT_EQ(thrown, "runtime_error: usrp_basic/bad_rev");
    EXPECT_NE(err.find("usrp_basic: sorry, this code only works with USRP revs >= 1\n"),
              std::string::npos)
        << err;
    // The images stay on the board.
    EXPECT_TRUE(world().firmware_running(board));
    EXPECT_TRUE(world().fpga_configured(board));
    EXPECT_EQ(world().bitstream_digest(board), fpga_digest);
    EXPECT_EQ(world().open_handles(), 0);
    // Nothing was sent after the loader: the receive interface was never opened.
    const auto log = world().control_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().request, REQ_INDICATOR);
    EXPECT_EQ(log.back().value, 0);
}

TEST_F(DeviceBase, ReceiveInterfaceThatCannotBeClaimedIsReported) {
    // Another handle holds the receive interface.
    usrp_one_time_init();
    usb_dev_handle* other = usrp_open_interface(usrp_find_device(0), RX_INTERFACE);
    ASSERT_NE(other, nullptr);

    CaptureStderr();
    std::string thrown = thrown_by([] { basic_rx_probe rx(0, 0, 0); });
    std::string err = GetCapturedStderr();
    EXPECT_EQ(thrown, "runtime_error: usrp_basic/open_interface");
    EXPECT_NE(err.find("usrp_open_interface:usb_claim_interface: failed interface 2\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.rfind("usrp_basic_rx: can't open rx interface\n"), std::string::npos) << err;
    EXPECT_TRUE(same_sequence(logged_requests(), warm_loader()));
    EXPECT_EQ(world().open_handles(), 1);  // only the other one
    usb_close(other);
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(DeviceBase, UsbLibraryIsInitialisedOncePerModule) {
    { basic_rx_probe first(0, 0, 0); }
    { basic_rx_probe second(0, 0, 0); }
    EXPECT_EQ(world().usb_init_calls(), 1);
    EXPECT_EQ(world().find_busses_calls(), 1);
    EXPECT_EQ(world().find_devices_calls(), 1);
    EXPECT_FALSE(usrp_usb_init_pending);
    EXPECT_EQ(world().open_handles(), 0);
}

TEST_F(DeviceBase, RegisterWriteTraceAndMirror) {
    basic_rx_probe rx(0, 0, 0);
    world().clear_log();

    CaptureStdout();
    EXPECT_TRUE(rx._write_fpga_reg(38, 4));
    EXPECT_EQ(GetCapturedStdout(), "");

    rx.set_trace_registers(true);
    CaptureStdout();
    EXPECT_TRUE(rx._write_fpga_reg(38, 4));
    EXPECT_TRUE(rx._write_fpga_reg(7, -2));
    EXPECT_EQ(GetCapturedStdout(),
              "_write_fpga_reg( 38, 0x00000004)\n_write_fpga_reg(  7, 0xfffffffe)\n");
    rx.set_trace_registers(false);

    Seq expected = fpga_write(38, 4);
    append(expected, fpga_write(38, 4));
    append(expected, fpga_write(7, 0xFFFFFFFEu));
    EXPECT_TRUE(same_sequence(logged_requests(), expected));
    EXPECT_EQ(world().fpga_register(board, 7), 0xFFFFFFFEu);
    EXPECT_EQ(rx.fpga_reg_mirror(7), 0xFFFFFFFEu);

    // A failed write still updates the mirror; the board keeps its old value.
    world().fail_control_at(0, usbsim::Fault{usbsim::FaultKind::io_error});
    CaptureStderr();
    EXPECT_FALSE(rx._write_fpga_reg(20, 0x1234));
    EXPECT_NE(GetCapturedStderr().find("usb_control_msg failed: "), std::string::npos);
    EXPECT_EQ(rx.fpga_reg_mirror(20), 0x1234u);
    EXPECT_EQ(world().fpga_register(board, 20), 0u);

    // A stalled write fails silently.
    world().fail_control_at(0, usbsim::Fault{usbsim::FaultKind::stall});
    CaptureStderr();
    EXPECT_FALSE(rx._write_fpga_reg(21, 5));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(rx.fpga_reg_mirror(21), 5u);

    // A register number past 127 is not mirrored (its low bits alias register 2 on the wire).
    const uint32_t before = rx.fpga_reg_mirror(2);
    world().clear_log();
    rx._write_fpga_reg(130, 0x55);
    EXPECT_EQ(rx.fpga_reg_mirror(2), before);
    EXPECT_TRUE(same_sequence(logged_requests(), fpga_write(2, 0x55)));
}

TEST_F(DeviceBase, FreshBaseHasItsDefaultRatesAndAZeroMirror) {
    basic_rx_probe rx(0, 0, 0);
    EXPECT_EQ(rx.get_stream_bytes_per_sec(), 16000000);
    EXPECT_EQ(rx.get_overrun_check_bytes(), 1600000);
    EXPECT_EQ(rx.adc_clock_hz(), 64000000);
    EXPECT_NE(rx.get_usb_handle(), nullptr);
    for (int reg = 0; reg < FPGA_REGISTER_COUNT; reg++) {
        const bool written_by_rx =
            reg == 1 || reg == 15 || reg == 6 || reg == 10 || reg == 8 || reg == 12;
        if (!written_by_rx) {
            EXPECT_EQ(rx.fpga_reg_mirror(reg), 0u) << "reg " << reg;
        }
    }
    EXPECT_EQ(rx.fpga_reg_mirror(15), 0x0Fu);
    EXPECT_EQ(rx.fpga_reg_mirror(8), 0xFFFF0000u);
}

}  // namespace
