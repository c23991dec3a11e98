// Debian's libusb 0.1 itself against the emulated usbfs bus: what the library sees of the nodes,
// and what its calls turn into on the bus (URB sizes, discards, stalls, removal).
#include <usb.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "usbfs_test_util.h"
#include "usbfs_usb_util.h"

using namespace usbfs_test;

namespace {

struct usb_device* find(uint16_t vendor, uint16_t product, int nth = 0) {
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* d = bus->devices; d; d = d->next)
            if (d->descriptor.idVendor == vendor && d->descriptor.idProduct == product &&
                nth-- == 0)
                return d;
    return nullptr;
}

// One channel (4 bytes per instant) at decimation D: 64 MHz / D instants per second.
void start_stream(usb_dev_handle* h, int decimation) {
    ASSERT_EQ(write_reg(h, 33, uint32_t(decimation - 1)), 4);
    ASSERT_EQ(write_reg(h, 38, 1), 4);
    ASSERT_EQ(write_reg(h, 49, 0x300), 4);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000), 0);
}

class UsbfsBus : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        usbfs::Bed::instance();
        build_world({warm_board()});
        usb_init();
    }
    void rescan() {
        usb_find_busses();
        usb_find_devices();
    }
    usbsim::World& w = usbsim::World::instance();
    usbfs::Bed& bed = usbfs::Bed::instance();
};

}  // namespace

TEST_F(UsbfsBus, EnumeratesTheBoardAndTheOtherDeviceFromTheirNodes) {
    usbsim::BoardConfig c = warm_board();
    c.bcd_device = 0x0104;
    build_world({c});
    rescan();
    ASSERT_NE(usb_get_busses(), nullptr);
    EXPECT_STREQ(usb_get_busses()->dirname, "001");
    struct usb_device* other = find(0x046d, 0xc52b);
    struct usb_device* board = find(0xFFFE, 0x0002);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(find(0xFFFE, 0x0002, 1), nullptr);
    EXPECT_EQ(board->descriptor.bcdDevice, 0x0104);
    EXPECT_EQ(other->descriptor.bcdDevice, 0x1203);

    // The device number comes from CONNECTINFO and names the node.
    const std::vector<std::string> nodes = bed.nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[1], std::string("/dev/bus/usb/001/") + board->filename);
    EXPECT_EQ(std::stoi(board->filename), board->devnum);

    // The configuration as parsed by the library from what the node reads back.
    ASSERT_NE(board->config, nullptr);
    const usb_config_descriptor& cfg = board->config[0];
    EXPECT_EQ(cfg.bConfigurationValue, 1);
    ASSERT_EQ(cfg.bNumInterfaces, 3);
    const usb_interface_descriptor& rx = cfg.interface[2].altsetting[0];
    EXPECT_EQ(rx.bInterfaceNumber, 2);
    ASSERT_EQ(rx.bNumEndpoints, 1);
    EXPECT_EQ(rx.endpoint[0].bEndpointAddress, 0x86);
    EXPECT_EQ(rx.endpoint[0].bmAttributes, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(rx.endpoint[0].wMaxPacketSize, 512);
    EXPECT_EQ(cfg.interface[1].altsetting[0].endpoint[0].bEndpointAddress, 0x02);
    EXPECT_EQ(other->config[0].bNumInterfaces, 1);
    EXPECT_EQ(w.open_handles(), 0) << "enumeration opens no handle on the board";
}

TEST_F(UsbfsBus, ControlRequestsCrossWithTheirBytesAndStallsAreBrokenPipes) {
    auto ids = build_world({warm_board()});
    rescan();
    usb_dev_handle* h = open_rx(find(0xFFFE, 0x0002));
    ASSERT_NE(h, nullptr);
    w.clear_log();
    EXPECT_EQ(write_reg(h, 38, 0x12345678), 4);
    EXPECT_EQ(w.fpga_register(ids[0], 38), 0x12345678u);
    char cap[4] = {};
    EXPECT_EQ(usb_control_msg(h, 0xC0, 0x82, 0x83, 0x0120, cap, 4, 1000), 4);
    EXPECT_EQ(uint8_t(cap[3]), 4) << "capability word, most significant byte first";
    auto log = w.control_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request, 0x09);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(log[1].request_type, 0xC0);

    errno = 0;
    EXPECT_EQ(usb_control_msg(h, 0x40, 0x77, 0, 0, nullptr, 0, 1000), -EPIPE);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_STREQ(usb_strerror(), "error sending control message: Broken pipe");

    // A claim of the interface through a second open file of the same node.
    usb_dev_handle* h2 = usb_open(find(0xFFFE, 0x0002));
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(usb_claim_interface(h2, 2), -EBUSY);
    usb_close(h);
    EXPECT_EQ(usb_claim_interface(h2, 2), 0) << "closing the first file released its claim";
    usb_close(h2);
    EXPECT_TRUE(wait_for([&] { return w.open_handles() == 0; }, 2000));
    EXPECT_EQ(bed.ioctl_counts().control, 3u);
}

// A read is cut into URBs of at most 16 KiB, one at a time; the bytes are the stream's, whatever
// the cut (the same stream read in 512-byte pieces from a twin board gives the same bytes).
TEST_F(UsbfsBus, BulkReadsAreSixteenKiBUrbsAndKeepTheStreamWhole) {
    usbsim::BoardConfig c = warm_board();
    c.pacing = usbsim::Pacing::free_running;
    auto ids = build_world({c, c});
    rescan();
    usb_dev_handle* a = open_rx(find(0xFFFE, 0x0002, 0));
    usb_dev_handle* b = open_rx(find(0xFFFE, 0x0002, 1));
    ASSERT_TRUE(a && b);
    start_stream(a, 16);
    start_stream(b, 16);
    bed.clear_records();
    std::vector<char> big(40000), small(40000);
    ASSERT_EQ(usb_bulk_read(a, 6, big.data(), 40000, 1000), 40000);
    auto urbs = urbs_on(bed.urb_log(), 0x86);
    ASSERT_EQ(urbs.size(), 3u);
    EXPECT_EQ(urbs[0].length, 16384);
    EXPECT_EQ(urbs[1].length, 16384);
    EXPECT_EQ(urbs[2].length, 40000 - 2 * 16384);
    for (const auto& u : urbs) {
        EXPECT_EQ(u.actual, u.length);
        EXPECT_EQ(u.status, 0);
    }
    for (size_t i = 0; i + 1 < urbs.size(); ++i)
        EXPECT_GE(urbs[i + 1].submitted_ms, urbs[i].completed_ms) << "one URB at a time";
    EXPECT_EQ(bed.queue_stats().max_in_flight, 1u);

    for (size_t off = 0; off < small.size(); off += 512) {
        const int n = int(std::min<size_t>(512, small.size() - off));
        ASSERT_EQ(usb_bulk_read(b, 6, small.data() + off, n, 1000), n);
    }
    EXPECT_TRUE(big == small) << "bytes lost, repeated or moved at a URB boundary";
    EXPECT_EQ(w.stream_bytes_read(ids[0]), 40000u);
    usb_close(a);
    usb_close(b);
}

// A URB that does not complete in time: the library discards it, reaps it, and returns -110.
// A stalled endpoint completes the URB with -EPIPE, which the library reports as 0 bytes.
TEST_F(UsbfsBus, TimeOutsDiscardTheUrbAndStallsReadAsEmpty) {
    build_world({warm_board()});
    rescan();
    usb_dev_handle* h = open_rx(find(0xFFFE, 0x0002));
    ASSERT_NE(h, nullptr);
    std::vector<char> buf(4096);
    // Not streaming: nothing comes.
    EXPECT_EQ(usb_bulk_read(h, 6, buf.data(), 4096, 150), -ETIMEDOUT);
    auto urbs = urbs_on(bed.urb_log(), 0x86);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].status, -ENOENT);
    EXPECT_EQ(urbs[0].actual, 0);
    {
        usbfs::IoctlCounts n = bed.ioctl_counts();
        EXPECT_EQ(n.submit, 1u);
        EXPECT_EQ(n.discard, 1u);
        EXPECT_EQ(n.reap, 1u) << "the blocking reap after the discard";
        EXPECT_GE(n.reap_ndelay, 50u) << "polled about once a millisecond";
        EXPECT_LE(n.reap_ndelay, 400u) << "the poll must not spin";
    }

    start_stream(h, 64);
    // The first read also takes what the board sent while the discarded URB's read was running.
    ASSERT_EQ(usb_bulk_read(h, 6, buf.data(), 4096, 1000), 4096);
    bed.clear_records();
    usbsim::Fault stall;
    stall.kind = usbsim::FaultKind::stall;
    w.fail_bulk_at(0, stall);
    errno = 0;
    EXPECT_EQ(usb_bulk_read(h, 6, buf.data(), 4096, 1000), 0);
    EXPECT_EQ(errno, 0);
    urbs = urbs_on(bed.urb_log(), 0x86);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].status, -EPIPE);
    EXPECT_EQ(usb_bulk_read(h, 6, buf.data(), 4096, 1000), 4096) << "the next read streams";
    usb_close(h);
}

// The board pulled out during a read: the URB ends, the node goes, and every later call on the
// open file fails with ENODEV.
TEST_F(UsbfsBus, RemovalEndsTheReadAndLaterCallsFailWithNoDevice) {
    auto ids = build_world({warm_board()});
    rescan();
    usb_dev_handle* h = open_rx(find(0xFFFE, 0x0002));
    ASSERT_NE(h, nullptr);
    const std::string node = bed.nodes()[1];
    std::vector<char> buf(65536);
    std::thread pull([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        w.detach(ids[0]);
    });
    const int r = usb_bulk_read(h, 6, buf.data(), 65536, 2000);
    pull.join();
    EXPECT_LE(r, 0);
    EXPECT_NE(r, -ETIMEDOUT) << "the read ended with the device, not at its time-out";
    EXPECT_TRUE(wait_for([&] { return bed.nodes().size() == 1; }, 1000)) << node;
    EXPECT_EQ(usb_bulk_read(h, 6, buf.data(), 512, 500), -ENODEV);
    EXPECT_EQ(usb_control_msg(h, 0x40, 0x06, 0, 0, nullptr, 0, 1000), -ENODEV);
    usb_close(h);
    rescan();
    EXPECT_EQ(find(0xFFFE, 0x0002), nullptr);
}

// Starting new firmware re-enumerates the board: before the request that releases the CPU
// returns, the old node is gone and the board has a new one with a new device number.
TEST_F(UsbfsBus, FirmwareStartReEnumeratesThroughANewNode) {
    auto ids = build_world({cold_board()});
    rescan();
    struct usb_device* d = find(0xFFFE, 0x0002);
    ASSERT_NE(d, nullptr);
    const std::string first = d->filename;
    usb_dev_handle* h = usb_open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(usb_claim_interface(h, 0), 0);
    char one = 1, zero = 0, code[3] = {0x02, 0x00, 0x00};
    EXPECT_EQ(usb_control_msg(h, 0x40, 0x01, 0, 0, nullptr, 0, 1000), -EPIPE) << "cold: stalls";
    ASSERT_EQ(usb_control_msg(h, 0x40, 0xA0, 0xE600, 0, &one, 1, 1000), 1);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0xA0, 0x0000, 0, code, 3, 1000), 3);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0xA0, 0xE600, 0, &zero, 1, 1000), 1);
    EXPECT_TRUE(w.firmware_running(ids[0]));
    const std::vector<std::string> nodes = bed.nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_NE(nodes[1], "/dev/bus/usb/001/" + first);
    EXPECT_EQ(usb_control_msg(h, 0x40, 0x01, 0, 0, nullptr, 0, 1000), -ENODEV)
        << "the old file belongs to the device as it was";
    usb_close(h);
    rescan();
    d = find(0xFFFE, 0x0002);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(nodes[1], std::string("/dev/bus/usb/001/") + d->filename);
    h = usb_open(d);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(usb_claim_interface(h, 0), 0);
    EXPECT_EQ(usb_control_msg(h, 0x40, 0x01, 1, 0, nullptr, 0, 1000), 0) << "firmware answers";
    EXPECT_EQ(w.indicator(ids[0], 0), 1);
    usb_close(h);
}
