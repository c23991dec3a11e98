// The module's asynchronous bulk calls on a real libusb 0.1 handle: IN transfers go on the bus as
// URBs of the handle's usbfs file, all at once; cancels, time-outs and removal discard or end them.
#include <usb_api.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "usbfs_test_util.h"
#include "usbfs_usb_util.h"

using namespace usbfs_test;

namespace {

constexpr unsigned char EP_IN = 0x86;
constexpr int BLOCK = 65536;

// The nth board in the order the world added them (the bed numbers nodes in that order; the
// library's own list is in no particular order).
struct usb_device* board(int nth = 0) {
    std::vector<struct usb_device*> boards;
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* d = bus->devices; d; d = d->next)
            if (d->descriptor.idVendor == 0xFFFE)
                boards.push_back(d);
    std::sort(boards.begin(), boards.end(),
              [](struct usb_device* a, struct usb_device* b) { return a->devnum < b->devnum; });
    return size_t(nth) < boards.size() ? boards[size_t(nth)] : nullptr;
}

// One channel at decimation 16; the receive path stays off until rx_on().
void set_up_stream(usb_dev_handle* h) {
    ASSERT_EQ(write_reg(h, 33, 15), 4);
    ASSERT_EQ(write_reg(h, 38, 1), 4);
    ASSERT_EQ(write_reg(h, 49, 0x300), 4);
}
void rx_on(usb_dev_handle* h) {
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000), 0);
}

int pending(const std::vector<usbfs::UrbRecord>& log) {
    int n = 0;
    for (const auto& u : log)
        n += u.completed_ms < 0;
    return n;
}

int with_status(const std::vector<usbfs::UrbRecord>& log, int status) {
    int n = 0;
    for (const auto& u : log)
        n += u.completed_ms >= 0 && u.status == status;
    return n;
}

// Every URB that went on the bus was handed back by exactly one reap: none is left with the
// kernel, which could still write into memory the layer has let go, and none came back twice.
void expect_every_urb_reaped_once(const usbfs::Bed& bed) {
    const auto log = bed.urb_log();
    EXPECT_EQ(log.size(), bed.ioctl_counts().submit) << "URBs recorded against submit calls";
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_GE(log[i].completed_ms, 0) << "URB " << i << " still pending";
        EXPECT_EQ(log[i].reaps, 1) << "URB " << i << " reaped " << log[i].reaps << " times";
    }
}

// The first n bytes a board streams (a fresh twin, read plainly through the library).
std::vector<char> plain_stream(usb_dev_handle* twin, int n) {
    std::vector<char> v(static_cast<size_t>(n));
    set_up_stream(twin);
    rx_on(twin);
    EXPECT_EQ(usb_bulk_read(twin, 6, v.data(), n, 2000), n);
    return v;
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
        bed.set_stream_budget(-1);
        bed.set_removal_lag_ms(0);
        usb_find_busses();
        usb_find_devices();
        h = open_rx(board(0));
        ASSERT_NE(h, nullptr);
        set_up_stream(h);
        bed.clear_records();
    }
    void TearDown() override {
        for (auto& c : ctx)
            if (c)
                usb_free_async(&c);
        if (h)
            usb_close(h);
        bed.set_stream_budget(-1);
        bed.set_removal_lag_ms(0);
    }
    void setup(int n) {
        ctx.assign(size_t(n), nullptr);
        for (auto& c : ctx)
            ASSERT_EQ(usb_bulk_setup_async(h, &c, EP_IN), 0);
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
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(usb_submit_async(ctx[size_t(i)], bufs[size_t(i)].data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 16; }, 2000));
    auto log = urbs_on(bed.urb_log(), EP_IN);
    EXPECT_EQ(pending(log), 16) << "nothing streams yet, all 16 URBs wait";
    for (const auto& u : log)
        EXPECT_EQ(u.length, 16384);
    rx_on(h);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(usb_reap_async(ctx[size_t(i)], 5000), BLOCK) << i;

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

// A cancelled transfer's buffer is never written; the transfer behind it takes the stream from
// its start, the URBs no transfer needs any more are discarded, and every URB comes back.
TEST_F(UsbfsAsync, CancelLeavesTheBufferAloneAndTheStreamToTheNextTransfer) {
    setup(2);
    std::vector<char> a(BLOCK, 'a'), b(BLOCK, 'b');
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 8; }, 2000));
    ASSERT_EQ(usb_cancel_async(ctx[0]), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 1000), -ECANCELED);
    ASSERT_TRUE(wait_for([&] { return with_status(bed.urb_log(), -ENOENT) == 4; }, 2000))
        << "the four URBs no transfer needs are discarded";
    rx_on(h);
    EXPECT_EQ(usb_reap_async(ctx[1], 5000), BLOCK);
    EXPECT_EQ(std::vector<char>(BLOCK, 'a'), a) << "a cancelled transfer's buffer was written";

    usb_dev_handle* twin = open_rx(board(1));
    ASSERT_NE(twin, nullptr);
    const std::vector<char> plain = plain_stream(twin, BLOCK);
    usb_close(twin);
    EXPECT_EQ(plain, b) << "the transfer behind the cancelled one does not start the stream";
    // The context is free again.
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 5000), BLOCK);
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    expect_every_urb_reaped_once(bed);
}

// A transfer cancelled after part of its data came: what it had is dropped, the transfer behind
// it continues the stream right after those bytes, and nothing else is lost.
TEST_F(UsbfsAsync, CancelAfterPartOfTheTransferCame) {
    setup(2);
    std::vector<char> a(BLOCK, 'a'), b(BLOCK, 'b');
    bed.set_stream_budget(16384 + 4096);  // one URB, and whole packets into the next
    rx_on(h);
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for(
        [&] {
            auto l = bed.urb_log();
            return l.size() == 8 && l[0].completed_ms >= 0 && l[0].actual == 16384;
        },
        2000))
        << "the first URB filled";
    ASSERT_EQ(usb_cancel_async(ctx[0]), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 1000), -ECANCELED);
    // The URBs the remaining transfer does not need are taken back; only then does the stream
    // go on (a cancel that reaches the bus after the data has gone to the transfer loses it).
    ASSERT_TRUE(wait_for([&] { return bed.ioctl_counts().discard >= 3; }, 2000));
    bed.set_stream_budget(-1);
    EXPECT_EQ(usb_reap_async(ctx[1], 5000), BLOCK);
    EXPECT_EQ(std::vector<char>(BLOCK, 'a'), a) << "a cancelled transfer's buffer was written";

    usb_dev_handle* twin = open_rx(board(1));
    ASSERT_NE(twin, nullptr);
    const std::vector<char> plain = plain_stream(twin, 2 * BLOCK);
    usb_close(twin);
    // The cancelled transfer had at most the first URB's bytes (none, when the cancel came
    // before that URB was reaped); the 4096 bytes already in the second URB are the next
    // transfer's.
    int skip = -1;
    for (int k = 0; k <= 4; ++k)
        if (std::memcmp(plain.data() + k * 4096, b.data(), BLOCK) == 0)
            skip = k * 4096;
    EXPECT_TRUE(skip == 0 || skip == 16384)
        << "the next transfer starts at byte " << skip << " of the stream (-1: nowhere)";
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    expect_every_urb_reaped_once(bed);
}

// A URB that the device ends with a short packet in the middle of a transfer: the transfer is
// still filled to its size, from the URBs behind it, and the stream is whole across transfers.
TEST_F(UsbfsAsync, ShortUrbInTheMiddleOfATransferLosesNothing) {
    setup(2);
    std::vector<char> a(BLOCK), b(BLOCK);
    bed.set_stream_budget(16384 + 1000);  // ends in the second URB with a short packet
    rx_on(h);
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for(
        [&] {
            for (const auto& u : bed.urb_log())
                if (u.completed_ms >= 0 && u.status == 0 && u.actual == 1000)
                    return true;
            return false;
        },
        2000))
        << "a URB ended short";
    bed.set_stream_budget(-1);
    EXPECT_EQ(usb_reap_async(ctx[0], 5000), BLOCK) << "a transfer came back short";
    EXPECT_EQ(usb_reap_async(ctx[1], 5000), BLOCK);

    usb_dev_handle* twin = open_rx(board(1));
    ASSERT_NE(twin, nullptr);
    const std::vector<char> plain = plain_stream(twin, 2 * BLOCK);
    usb_close(twin);
    EXPECT_EQ(std::memcmp(a.data(), plain.data(), BLOCK), 0) << "first transfer";
    EXPECT_EQ(std::memcmp(b.data(), plain.data() + BLOCK, BLOCK), 0) << "second transfer";
    for (const auto& u : bed.urb_log())
        EXPECT_EQ(u.length % 512, 0) << "a URB that is not a whole number of packets";
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    expect_every_urb_reaped_once(bed);
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
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(usb_submit_async(ctx[size_t(i)], bufs[size_t(i)].data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 12; }, 2000));
    w.detach(ids[0]);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(usb_reap_async(ctx[size_t(i)], 3000), -ENODEV) << i;
    ASSERT_EQ(usb_submit_async(ctx[0], bufs[0].data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[0], 3000), -ENODEV);
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    EXPECT_EQ(bed.urb_log().size(), 12u);
    expect_every_urb_reaped_once(bed);
}

// The device is gone but the kernel gives its URBs back only a while later: reaps and submits
// already fail with ENODEV. The transfers end with -ENODEV at once, and freeing the contexts
// still waits for every URB to come back before their memory goes.
TEST_F(UsbfsAsync, RemovalWhileTheKernelStillHoldsTheUrbs) {
    setup(4);
    bed.set_removal_lag_ms(300);
    std::vector<std::vector<char>> bufs(4, std::vector<char>(BLOCK));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(usb_submit_async(ctx[size_t(i)], bufs[size_t(i)].data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 12; }, 2000));
    w.detach(ids[0]);
    ASSERT_TRUE(wait_for([&] { return bed.nodes().size() == 2; }, 2000)) << "the node goes";
    EXPECT_EQ(usb_reap_async(ctx[0], 250), -ENODEV)
        << "the transfer waits for URBs that will not carry data";
    ASSERT_EQ(usb_submit_async(ctx[3], bufs[3].data(), BLOCK), 0);
    EXPECT_EQ(usb_reap_async(ctx[3], 250), -ENODEV);
    for (int i = 1; i < 3; ++i)
        EXPECT_EQ(usb_reap_async(ctx[size_t(i)], 250), -ENODEV) << i;
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    expect_every_urb_reaped_once(bed);
}

// Freeing the last context with transfers in flight takes their URBs back from the kernel first.
TEST_F(UsbfsAsync, FreeingTakesTheUrbsBack) {
    setup(2);
    std::vector<char> a(BLOCK), b(BLOCK);
    ASSERT_EQ(usb_submit_async(ctx[0], a.data(), BLOCK), 0);
    ASSERT_EQ(usb_submit_async(ctx[1], b.data(), BLOCK), 0);
    ASSERT_TRUE(wait_for([&] { return bed.urb_log().size() == 8; }, 2000));
    for (auto& c : ctx)
        EXPECT_EQ(usb_free_async(&c), 0);
    auto log = bed.urb_log();
    EXPECT_EQ(log.size(), 8u);
    for (const auto& u : log)
        EXPECT_EQ(u.status, -ENOENT);
    EXPECT_EQ(bed.ioctl_counts().discard, 8u);
    expect_every_urb_reaped_once(bed);
}
