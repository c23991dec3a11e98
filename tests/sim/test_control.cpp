// The board's answers to the vendor requests, the control log and control faults.
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "sim_fixture.h"

using namespace usbsim;

namespace {
std::vector<uint8_t> bytes(const ControlRecord& r) {
    return r.data;
}
}  // namespace

TEST_F(SimTest, ColdBoardStallsEveryVendorRequestButRamAccess) {
    world.add_bus();
    BoardId b = world.add_board(0, {});
    rescan();
    usb_dev_handle* h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    for (int req : {0x01, 0x02, 0x04, 0x05, 0x06, 0x08, 0x09, 0x0A, 0x0B}) {
        errno = 0;
        EXPECT_EQ(vendor(h, req, 0, 0), -EPIPE) << req;
        EXPECT_EQ(errno, EPIPE);
    }
    std::vector<uint8_t> in(4);
    for (int req : {0x80, 0x81, 0x82})
        EXPECT_EQ(vendor(h, req, 0x83, 0x0120, in), -EPIPE) << req;
    EXPECT_STREQ(usb_strerror(), "error sending control message: Broken pipe");

    EXPECT_EQ(ram_write(h, 0x1234, {1, 2, 3}), 3);
    EXPECT_EQ(ram_read(h, 0x1233, 5), (std::vector<uint8_t>{0, 1, 2, 3, 0}));
    EXPECT_EQ(world.ram(b, 0x1234, 3), (std::vector<uint8_t>{1, 2, 3}));
    // No request carries more than 64 bytes; nothing runs past the end of RAM.
    EXPECT_EQ(ram_write(h, 0x2000, std::vector<uint8_t>(65, 7)), -EPIPE);
    EXPECT_EQ(world.ram(b, 0x2000, 1)[0], 0);
    EXPECT_EQ(ram_write(h, 0xFFFF, {1, 2}), -EPIPE);
    usb_close(h);

    auto log = world.control_log();
    ASSERT_EQ(log.size(), 16u);
    EXPECT_EQ(log[0].request_type, 0x40);
    EXPECT_EQ(log[0].result, -EPIPE);
    EXPECT_EQ(log[12].request, 0xA0);
    EXPECT_EQ(bytes(log[12]), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(log[13].request_type, 0xC0);
    EXPECT_EQ(log[13].data.size(), 5u);  // what came back
}

TEST_F(SimTest, FirmwareStartReEnumeratesTheBoardKeepingItsRam) {
    world.add_bus();
    BoardId b = world.add_board(0, {});
    rescan();
    struct usb_device* before = nth_board(0);
    usb_dev_handle* h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ram_write(h, 0xE600, {1}), 1);
    EXPECT_TRUE(world.cpu_held(b));
    EXPECT_EQ(ram_write(h, 0x0000, {0x02, 0x00, 0x10}), 3);
    EXPECT_EQ(ram_write(h, 0xE1E0, std::vector<uint8_t>(16, 0xAB)), 16);
    EXPECT_TRUE(world.on_bus(b));
    EXPECT_EQ(ram_write(h, 0xE600, {0}), 1);
    EXPECT_TRUE(world.firmware_running(b));
    EXPECT_FALSE(world.on_bus(b));
    EXPECT_EQ(ram_read(h, 0, 1).size(), 0u);  // the old handle is gone with the device
    usb_close(h);

    EXPECT_EQ(usb_find_busses(), 0);
    EXPECT_EQ(usb_find_devices(), 2);  // the old device left, the new one came
    struct usb_device* after = nth_board(0);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    EXPECT_NE(std::string(after->filename), std::string(before->filename));
    h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ram_read(h, 0xE1E0, 16), std::vector<uint8_t>(16, 0xAB));
    EXPECT_EQ(ram_read(h, 0x0000, 3), (std::vector<uint8_t>{0x02, 0x00, 0x10}));
    EXPECT_EQ(vendor(h, 0x01, 1, 1), 0);  // the firmware answers now
    EXPECT_EQ(world.indicator(b, 1), 1);
    usb_close(h);
}

TEST_F(SimTest, ReleasingTheCpuWithoutLoadingKeepsTheBoardAndItsState) {
    world.add_bus();
    BoardId b = world.add_board(0, {});
    rescan();
    usb_dev_handle* h = open_board(0, 0);
    EXPECT_EQ(ram_write(h, 0xE600, {1}), 1);
    EXPECT_EQ(ram_write(h, 0xE600, {0}), 1);
    EXPECT_TRUE(world.on_bus(b));
    EXPECT_FALSE(world.firmware_running(b));
    usb_close(h);
}

// As a scene file gives them: back after two rescans, after 30 ms, never (until plugged in again).
TEST_F(SimTest, RejoinCanWaitForMoreRescansOrForTimeOrNeverHappen) {
    const std::string path = testing::TempDir() + "rejoin.scene";
    std::ofstream(path) << "board cold pacing=free_running rejoin_rescans=2\n"
                           "board cold pacing=free_running rejoin_ms=30\n"
                           "board cold pacing=free_running rejoin_ms=never\n";
    world.load_file(path);
    const BoardId b = 0, t = 1, n = 2;
    rescan();
    for (int nth : {0, 1, 2}) {
        usb_dev_handle* h = open_board(nth, 0);
        ASSERT_NE(h, nullptr);
        ram_write(h, 0xE600, {1});
        ram_write(h, 0x0100, {0xAA});
        ram_write(h, 0xE600, {0});
        usb_close(h);
    }
    rescan();
    EXPECT_EQ(nth_board(0), nullptr);
    EXPECT_FALSE(world.on_bus(b));
    EXPECT_FALSE(world.on_bus(t));
    EXPECT_FALSE(world.on_bus(n));
    rescan();
    EXPECT_TRUE(world.on_bus(b));
    EXPECT_FALSE(world.on_bus(t));  // rescans alone do not bring it back
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_FALSE(world.on_bus(t));  // nor time alone: it joins at a rescan
    rescan();
    EXPECT_TRUE(world.on_bus(t));
    EXPECT_NE(nth_board(1), nullptr);
    for (int i = 0; i < 3; ++i)
        rescan();
    EXPECT_FALSE(world.on_bus(n));
    EXPECT_EQ(nth_board(2), nullptr);
    world.attach(n);
    rescan();
    EXPECT_TRUE(world.on_bus(n));
}

TEST_F(SimTest, FpgaIsConfiguredOnlyByACompleteSequenceAndItsDigestIsRecorded) {
    BoardId b = warm_board();
    usb_dev_handle* h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> d(64);
    EXPECT_EQ(vendor(h, 0x02, 0, 1, d), -EPIPE);  // data without begin
    EXPECT_EQ(vendor(h, 0x02, 0, 2), -EPIPE);     // end without begin
    EXPECT_EQ(vendor(h, 0x02, 0, 3), -EPIPE);     // no such phase

    std::vector<uint8_t> stream(130);
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = uint8_t(i * 7 + 3);
    EXPECT_EQ(vendor(h, 0x02, 0, 0), 0);
    EXPECT_FALSE(world.fpga_configured(b));
    for (size_t at = 0; at < stream.size(); at += 64) {
        std::vector<uint8_t> piece(stream.begin() + long(at),
                                   stream.begin() + long(std::min(stream.size(), at + 64)));
        EXPECT_EQ(vendor(h, 0x02, 0, 1, piece), int(piece.size()));
    }
    EXPECT_FALSE(world.fpga_configured(b));
    EXPECT_EQ(vendor(h, 0x02, 0, 2), 0);
    EXPECT_TRUE(world.fpga_configured(b));
    // The digest of these 130 bytes, as any MD5 tool gives it.
    const std::vector<uint8_t> expect = {0x42, 0x98, 0x95, 0x18, 0x76, 0xaf, 0x90, 0x53,
                                         0x76, 0xa0, 0x25, 0xf7, 0x27, 0x96, 0x51, 0xc2};
    auto got = world.bitstream_digest(b);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), expect);

    // A begin that is never ended leaves the FPGA unconfigured.
    EXPECT_EQ(vendor(h, 0x02, 0, 0), 0);
    EXPECT_EQ(vendor(h, 0x02, 0, 1, d), 64);
    EXPECT_FALSE(world.fpga_configured(b));
    usb_close(h);
}

TEST_F(SimTest, BitstreamDigestMatchesTheStandardTestVectors) {
    BoardId b = warm_board();
    usb_dev_handle* h = open_board(0, 0);
    // RFC 1321 suite: "abc" and the 80-digit string, sent in pieces of up to 64 bytes.
    struct Case {
        std::string text;
        const char* md5;
    } cases[] = {
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& c : cases) {
        vendor(h, 0x02, 0, 0);
        for (size_t at = 0; at < c.text.size(); at += 64) {
            std::vector<uint8_t> piece(c.text.begin() + long(at),
                                       c.text.begin() + long(std::min(c.text.size(), at + 64)));
            vendor(h, 0x02, 0, 1, piece);
        }
        vendor(h, 0x02, 0, 2);
        auto d = world.bitstream_digest(b);
        char hex[33];
        for (int i = 0; i < 16; ++i)
            snprintf(hex + 2 * i, 3, "%02x", d[size_t(i)]);
        EXPECT_STREQ(hex, c.md5);
    }
    usb_close(h);
}

TEST_F(SimTest, WarmBoardHoldsTheGivenDigestsAndAnswersAtOnce) {
    BoardConfig c;
    c.firmware_hash.fill(0x11);
    c.fpga_hash.fill(0x22);
    BoardId b = warm_board(c);
    usb_dev_handle* h = open_board();
    EXPECT_TRUE(world.firmware_running(b));
    EXPECT_TRUE(world.fpga_configured(b));
    EXPECT_EQ(ram_read(h, 0xE1E0, 16), std::vector<uint8_t>(16, 0x11));
    EXPECT_EQ(ram_read(h, 0xE1F0, 16), std::vector<uint8_t>(16, 0x22));
    usb_close(h);
}

TEST_F(SimTest, SpiReachesFpgaRegistersAndBothCodecs) {
    BoardConfig c;
    c.capabilities = 0x2A;
    BoardId b = warm_board(c);
    usb_dev_handle* h = open_board();
    EXPECT_EQ(fpga_write(h, 0x85, 0x12345678), 4);  // header 0x05
    EXPECT_EQ(world.fpga_register(b, 5), 0x12345678u);
    EXPECT_EQ(fpga_write(h, 127, 0xFFFFFFFF), 4);
    EXPECT_EQ(world.fpga_register(b, 127), 0xFFFFFFFFu);
    auto rec = world.control_log().back();
    EXPECT_EQ(rec.value, 127);
    EXPECT_EQ(rec.index, 0x0120);

    std::vector<uint8_t> v(4, 0xEE);
    EXPECT_EQ(vendor(h, 0x82, 0x83, 0x0120, v), 4);
    EXPECT_EQ(v, (std::vector<uint8_t>{0, 0, 0, 0x2A}));  // capability word, first byte highest
    world.set_capabilities(b, 0x01020304);
    EXPECT_EQ(vendor(h, 0x82, 0x83, 0x0120, v), 4);
    EXPECT_EQ(v, (std::vector<uint8_t>{1, 2, 3, 4}));

    EXPECT_EQ(codec_write(h, 0, 2, 0x8C), 1);
    EXPECT_EQ(codec_write(h, 1, 63, 0x55), 1);
    EXPECT_EQ(world.codec_register(b, 0, 2), 0x8C);
    EXPECT_EQ(world.codec_register(b, 1, 2), 0);
    EXPECT_EQ(world.codec_register(b, 1, 63), 0x55);
    std::vector<uint8_t> one(1);
    EXPECT_EQ(vendor(h, 0x82, 0x80 | 63, 0x0420, one), 1);
    EXPECT_EQ(one[0], 0x55);

    // Malformed frames stall: wrong length, direction bit, select mask or format code.
    std::vector<uint8_t> three(3);
    EXPECT_EQ(vendor(h, 0x09, 0x05, 0x0120, three), -EPIPE);
    EXPECT_EQ(fpga_write(h, 0x05, 1), 4);
    std::vector<uint8_t> four(4);
    EXPECT_EQ(vendor(h, 0x09, 0x85, 0x0120, four), -EPIPE);
    EXPECT_EQ(vendor(h, 0x09, 0x05, 0x0320, four), -EPIPE);
    EXPECT_EQ(vendor(h, 0x09, 0x05, 0x0121, four), -EPIPE);
    EXPECT_EQ(vendor(h, 0x82, 0x03, 0x0120, four), -EPIPE);
    EXPECT_EQ(
        usb_control_msg(h, 0x40, 0x82, 0x83, 0x0120, reinterpret_cast<char*>(four.data()), 4, 1000),
        -EPIPE);
    EXPECT_EQ(world.fpga_register(b, 5), 1u);
    usb_close(h);
}

TEST_F(SimTest, I2cReadsDaughterboardEepromsAndFailsForEmptySlots) {
    BoardConfig c;
    c.eeprom[1] = eeprom_image(0x0001);
    BoardId b = warm_board(c);
    usb_dev_handle* h = open_board();
    std::vector<uint8_t> offset = {0};
    std::vector<uint8_t> got(32);
    EXPECT_EQ(vendor(h, 0x08, 0x55, 0, offset), 1);
    EXPECT_EQ(vendor(h, 0x81, 0x55, 0, got), 32);
    EXPECT_EQ(got[0], 0xDB);
    EXPECT_EQ(got[1], 0x01);
    unsigned sum = 0;
    for (uint8_t x : got)
        sum += x;
    EXPECT_EQ(sum % 256, 0u);
    const std::vector<uint8_t> cells = world.eeprom(b, 1);
    ASSERT_EQ(cells.size(), 256u);
    EXPECT_EQ(got, std::vector<uint8_t>(cells.begin(), cells.begin() + 32));

    // 100 bytes from offset 0: 64 then 36, past the 32 given bytes into erased cells.
    EXPECT_EQ(vendor(h, 0x08, 0x55, 0, offset), 1);
    std::vector<uint8_t> a(64), z(36);
    EXPECT_EQ(vendor(h, 0x81, 0x55, 0, a), 64);
    EXPECT_EQ(vendor(h, 0x81, 0x55, 0, z), 36);
    EXPECT_EQ(a[0], 0xDB);
    EXPECT_EQ(a[40], 0xFF);
    EXPECT_EQ(z[35], 0xFF);

    for (int addr : {0x54, 0x56, 0x57, 0x50}) {
        EXPECT_EQ(vendor(h, 0x08, addr, 0, offset), -EPIPE) << addr;
        EXPECT_EQ(vendor(h, 0x81, addr, 0, got), -EPIPE) << addr;
    }
    world.set_eeprom(b, 3, eeprom_image(0x0002));
    EXPECT_EQ(vendor(h, 0x08, 0x57, 0, offset), 1);
    EXPECT_EQ(vendor(h, 0x81, 0x57, 0, got), 32);
    EXPECT_EQ(got[1], 0x02);
    usb_close(h);
}

TEST_F(SimTest, EnablesResetsIndicatorAndOverrunStatus) {
    BoardId b = warm_board();
    usb_dev_handle* h = open_board();
    EXPECT_EQ(vendor(h, 0x06, 1, 0), 0);
    EXPECT_EQ(vendor(h, 0x05, 1, 0), 0);
    EXPECT_EQ(vendor(h, 0x0B, 1, 0), 0);
    EXPECT_EQ(vendor(h, 0x0A, 1, 0), 0);
    EXPECT_EQ(vendor(h, 0x04, 1, 0), 0);
    EXPECT_EQ(vendor(h, 0x01, 1, 1), 0);
    EXPECT_TRUE(world.rx_enabled(b) && world.tx_enabled(b) && world.rx_in_reset(b) &&
                world.tx_in_reset(b));
    EXPECT_TRUE(world.fpga_in_reset(b));
    EXPECT_EQ(world.indicator(b, 1), 1);
    EXPECT_EQ(world.indicator(b, 0), -1);
    EXPECT_EQ(vendor(h, 0x06, 0, 0), 0);
    EXPECT_EQ(vendor(h, 0x0B, 0, 0), 0);
    EXPECT_FALSE(world.rx_enabled(b) || world.rx_in_reset(b));

    std::vector<uint8_t> s(1, 0xEE);
    EXPECT_EQ(vendor(h, 0x80, 0, 1, s), 1);
    EXPECT_EQ(s[0], 0);
    world.set_overrun_flag(b, true);
    EXPECT_EQ(vendor(h, 0x80, 0, 1, s), 1);
    EXPECT_EQ(s[0], 1);
    EXPECT_FALSE(world.overrun_flag(b));  // reading it cleared it
    EXPECT_EQ(vendor(h, 0x80, 0, 1, s), 1);
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(vendor(h, 0x80, 0, 7, s), -EPIPE);
    usb_close(h);
}

TEST_F(SimTest, ControlFaultsHitTheChosenRequestOnce) {
    BoardId b = warm_board();
    usb_dev_handle* h = open_board();
    world.clear_log();

    world.fail_control_at(1, {FaultKind::stall});
    EXPECT_EQ(fpga_write(h, 1, 1), 4);
    EXPECT_EQ(fpga_write(h, 2, 2), -EPIPE);
    EXPECT_EQ(fpga_write(h, 3, 3), 4);
    EXPECT_EQ(world.fpga_register(b, 2), 0u);  // a stalled request changes nothing

    ControlMatch m;
    m.request = 0x09;
    m.value = 38;
    world.fail_control_matching(m, {FaultKind::io_error});
    EXPECT_EQ(fpga_write(h, 37, 1), 4);
    errno = 0;
    EXPECT_EQ(fpga_write(h, 38, 1), -EIO);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fpga_write(h, 38, 1), 4);

    Fault slow{FaultKind::timeout};
    slow.wait_ms = 5;
    world.fail_control_at(0, slow);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(fpga_write(h, 4, 4), -ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5));
    EXPECT_STREQ(usb_strerror(), "error sending control message: Connection timed out");

    Fault shorter{FaultKind::short_data};
    shorter.short_by = 2;
    world.fail_control_at(0, shorter);
    std::vector<uint8_t> v(4, 0xEE);
    world.set_capabilities(b, 0x01020304);
    EXPECT_EQ(vendor(h, 0x82, 0x83, 0x0120, v), 2);
    EXPECT_EQ(v, (std::vector<uint8_t>{1, 2, 0xEE, 0xEE}));

    world.fail_control_at(0, {FaultKind::detach});
    EXPECT_EQ(fpga_write(h, 5, 5), -ENODEV);
    EXPECT_FALSE(world.on_bus(b));
    EXPECT_EQ(fpga_write(h, 5, 5), -ENODEV);
    usb_close(h);

    auto log = world.control_log();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[1].result, -EPIPE);
    EXPECT_EQ(log[4].result, -EIO);
    EXPECT_EQ(log[6].result, -ETIMEDOUT);
    EXPECT_EQ(log[7].result, 2);
    EXPECT_EQ(log[7].data.size(), 2u);
    EXPECT_EQ(log[8].result, -ENODEV);
    EXPECT_EQ(with_request(log, 0x82).size(), 1u);
    for (size_t i = 1; i < log.size(); ++i)
        EXPECT_GT(log[i].seq, log[i - 1].seq);
}

TEST_F(SimTest, UnrelatedDevicesStallVendorRequests) {
    world.add_bus();
    world.add_other_device(0, 0x1234, 0x0001);
    rescan();
    usb_dev_handle* h = usb_open(listed()[0]);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_claim_interface(h, 0), 0);
    EXPECT_EQ(ram_write(h, 0, {1}), -EPIPE);
    EXPECT_EQ(world.control_log().back().board, -1);
    usb_close(h);
}
