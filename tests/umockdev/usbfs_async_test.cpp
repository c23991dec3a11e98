// The module's asynchronous bulk calls on a real libusb 0.1 handle: IN transfers go on the bus as
// URBs of the handle's usbfs file, all at once; cancels, time-outs and removal discard or end them.
#include <usb_api.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "usbfs_test_util.h"

using namespace usbfs_test;

namespace {

constexpr unsigned char EP_IN = 0x86;
constexpr int BLOCK = 65536;

struct usb_device* board(int nth = 0) {
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* d = bus->devices; d; d = d->next)
            if (d->descriptor.idVendor == 0xFFFE && nth-- == 0) return d;
    return nullptr;
}

usb_dev_handle* open_rx(struct usb_device* d) {
    usb_dev_handle* h = d ? usb_open(d) : nullptr;
    if (h && (usb_claim_interface(h, 2) < 0 || usb_set_altinterface(h, 0) < 0)) {
        usb_close(h);
        return nullptr;
    }
    return h;
}

int write_reg(usb_dev_handle* h, int reg, uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return usb_control_msg(h, 0x40, 0x09, reg, 0x0120, b, 4, 1000);
}

// One channel at decimation 16; the receive path stays off until rx_on().
void set_up_stream(usb_dev_handle* h) {
    ASSERT_EQ(write_reg(h, 33, 15), 4);
    ASSERT_EQ(write_reg(h, 38, 1), 4);
    ASSERT_EQ(write_reg(h, 49, 0x300), 4);
}
void rx_on(usb_dev_handle* h) { ASSERT_EQ(usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000), 0); }

int pending(const std::vector<usbfs::UrbRecord>& log) {
    int n = 0;
    for (const auto& u : log) n += u.completed_ms < 0;
    return n;
}

class UsbfsAsync : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        usbfs::Bed::instance();
        build_world({warm_board()});
        usb_init();
    }
    void SetUp() override {
        usbsim::BoardConfig c = warm_board();
        c.pacing = usbsim::Pacing::free_running;
        ids = build_world({c, c});
        usb_find_busses();
        usb_find_devices();
        h = open_rx(board(0));
        ASSERT_NE(h, nullptr);
        set_up_stream(h);
        bed.clear_records();
    }
    void TearDown() override {
        for (auto& c : ctx)
            if (c) usb_free_async(&c);
        if (h) usb_close(h);
    }
    void setup(int n) {
        ctx.assign(size_t(n), nullptr);
        for (auto& c : ctx) ASSERT_EQ(usb_bulk_setup_async(h, &c, EP_IN), 0);
    }
    usbsim::World& w = usbsim::World::instance();
    usbfs::Bed& bed = usbfs::Bed::instance();
    std::vector<usbsim::BoardId> ids;
    usb_dev_handle* h = nullptr;
    std::vector<void*> ctx;
};

}  // namespace

// Every queued transfer is on the bus before any data comes; they complete in order with the
// stream's bytes, the same bytes a plain read of a twin board gives.
TEST_F(UsbfsAsync, QueuedTransfersAreAllInFlightAndKeepTheStreamInOrder) {
    setup(4);
    std::vector<std::vector<char>> bufs(4, std::vector<char>(BLOCK));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(usb_submit_async(ctx[size_t(i)], bufs[size_t(i)].data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 16; }, 2000));
    auto log = urbs_on(bed.urb_log(), EP_IN);
    EXPECT_EQ(pending(log), 16) << "nothing streams yet, all 16 URBs wait";
    for (const auto& u : log) EXPECT_EQ(u.length, 16384);
    rx_on(h);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(usb_reap_async(ctx[size_t(i)], 5000), BLOCK) << i;

    usb_dev_handle* twin = open_rx(board(1));
    ASSERT_NE(twin, nullptr);
    set_up_stream(twin);
    rx_on(twin);
    std::vector<char> plain(4 * BLOCK);
    ASSERT_EQ(usb_bulk_read(twin, 6, plain.data(), 4 * BLOCK, 2000), 4 * BLOCK);
    usb_close(twin);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::memcmp(bufs[size_t(i)].data(), plain.data() + i * BLOCK, BLOCK), 0)
            << "transfer " << i << " is not the stream's next block";
}

// A cancelled transfer's URBs are discarded on the bus, its buffer is never written, and the
// transfers behind it go on.
TEST_F(UsbfsAsync, CancelDiscardsTheUrbsAndLeavesTheBufferAlone) {
    setup(2);
    std::vector<char> a(BLOCK, 'a'), b(BLOCK, 'b');
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 8; }, 2000));
    ASSERT_EQ(usb_cancel_async(ctx[0]), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 1000), -ECANCELED);
    ASSERT_TRUE(wait_for([&] {
        auto l = bed.urb_log();
        for (size_t i = 0; i < 4; ++i)
            if (l[i].status != -ENOENT) return false;
        return true;
    }, 2000)) << "the first transfer's four URBs are discarded";
    rx_on(h);
    EXPECT_EQ(usb_reap_async(ctx[1], 5000), BLOCK);
    EXPECT_EQ(std::vector<char>(BLOCK, 'a'), a) << "a cancelled transfer's buffer was written";
    EXPECT_NE(std::vector<char>(BLOCK, 'b'), b);
    // The context is free again.
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 5000), BLOCK);
}

// Nothing comes: a reap that times out cancels (its URBs are discarded); a transfer left waiting
// ends with -ETIMEDOUT after the layer's own 1000 ms.
TEST_F(UsbfsAsync, TransfersWithoutDataTimeOut) {
    setup(2);
    std::vector<char> a(BLOCK), b(BLOCK);
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 100), -ETIMEDOUT);
    ASSERT_TRUE(wait_for([&] { return pending(bed.urb_log()) == 0; }, 2000)) << "URBs discarded";
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async_nocancel(ctx[1], 200), -ETIMEDOUT) << "still waiting";
    EXPECT_EQ(usb_reap_async_nocancel(ctx[1], 3000), -ETIMEDOUT) << "ended by the layer";
    EXPECT_EQ(pending(bed.urb_log()), 0);
}

// The board pulled out with transfers in flight: they end with -ENODEV, and so does every later
// one; freeing the contexts leaves nothing on the bus.
TEST_F(UsbfsAsync, RemovalEndsTransfersInFlight) {
    setup(3);
    std::vector<std::vector<char>> bufs(3, std::vector<char>(BLOCK));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(usb_submit_async(ctx[size_t(i)], bufs[size_t(i)].data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 12; }, 2000));
    w.detach(ids[0]);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(usb_reap_async(ctx[size_t(i)], 3000), -ENODEV) << i;
    ASSERT_EQ(usb_submit_async(ctx[0], bufs[0].data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 3000), -ENODEV);
    for (auto& c : ctx) EXPECT_EQ(usb_free_async(&c), 0);
}

// Freeing the last context with transfers in flight takes their URBs back from the kernel first.
TEST_F(UsbfsAsync, FreeingTakesTheUrbsBack) {
    setup(2);
    std::vector<char> a(BLOCK), b(BLOCK);
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 8; }, 2000));
    for (auto& c : ctx) EXPECT_EQ(usb_free_async(&c), 0);
    auto log = bed.urb_log();
    EXPECT_EQ(pending(log), 0);
    for (const auto& u : log) EXPECT_EQ(u.status, -ENOENT);
    EXPECT_EQ(bed.ioctl_counts().discard, 8u);
}
