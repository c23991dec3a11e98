// The asynchronous bulk calls over libusb 0.1, against the simulated board: order of transfers
// on the bus, time-out and cancel semantics, Debian's bulk quirks, and release of contexts and
// threads.
#include "fusb_sim.h"

#include <algorithm>
#include <cerrno>

using namespace fusb_test;

namespace {

constexpr unsigned char EP_IN = 0x80 | RX_ENDPOINT;

struct Contexts {
    explicit Contexts(usb_dev_handle* h, int n, unsigned char ep) : ctx(n, nullptr) {
        for (auto& c : ctx)
            EXPECT_EQ(usb_bulk_setup_async(h, &c, ep), 0);
    }
    ~Contexts() {
        for (auto& c : ctx)
            if (c)
                usb_free_async(&c);
    }
    std::vector<void*> ctx;
};

std::vector<usbsim::BulkRecord> bulk_of(int endpoint) {
    return usbsim::on_endpoint(usbsim::World::instance().bulk_log(), endpoint);
}

}  // namespace

using AsyncBulk = SimBoard;

// Transfers cross the bus in submission order whatever order they are reaped in, and each
// lands in its own buffer.
TEST_F(AsyncBulk, TransfersRunInSubmissionOrderAndFillTheirOwnBuffers) {
    ASSERT_TRUE(rx_enable(handle, true));
    const int sizes[4] = {1024, 2048, 512, 4096};
    Contexts c(handle, 4, EP_IN);
    std::vector<std::vector<unsigned char>> bufs;
    for (int s : sizes)
        bufs.emplace_back(s, 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(usb_submit_async(c.ctx[i], reinterpret_cast<char*>(bufs[i].data()), sizes[i]), 0);
    for (int i = 3; i >= 0; --i)
        EXPECT_EQ(usb_reap_async(c.ctx[i], 5000), sizes[i]) << "transfer " << i;

    auto log = bulk_of(EP_IN);
    ASSERT_EQ(log.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].length, sizes[i]);
        EXPECT_EQ(log[i].result, sizes[i]);
    }
    StreamChecker check;
    for (auto& b : bufs)
        ASSERT_TRUE(check.feed(b.data(), b.size()));
    EXPECT_EQ(check.samples(), (1024u + 2048 + 512 + 4096) / BYTES_PER_SAMPLE);
}

// A reap that times out cancels: it fails with -ETIMEDOUT, the buffer is never written after it
// returned (even though the bulk call it cancelled was still running), and the context can be
// submitted again.
TEST_F(AsyncBulk, ReapTimeOutCancelsAndTheBufferStaysUntouched) {
    Contexts c(handle, 2, EP_IN);
    std::vector<unsigned char> a(4096, 0xAA), b(4096, 0);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 4096), 0);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 50), -ETIMEDOUT);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 0), -EINVAL) << "a cancelled transfer is gone once reaped";

    // Data starts flowing while the cancelled bulk call may still be waiting for it.
    ASSERT_TRUE(rx_enable(handle, true));
    ASSERT_EQ(usb_submit_async(c.ctx[1], reinterpret_cast<char*>(b.data()), 4096), 0);
    ASSERT_EQ(usb_reap_async(c.ctx[1], 5000), 4096);
    for (unsigned char v : a)
        ASSERT_EQ(v, 0xAA) << "cancelled transfer wrote into its buffer";

    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 4096), 0);
    ASSERT_EQ(usb_reap_async(c.ctx[0], 5000), 4096);
    StreamChecker check;
    EXPECT_TRUE(check.feed(b.data(), b.size()));
    EXPECT_TRUE(check.feed(a.data(), a.size()));
}

// A reap without cancel leaves the transfer queued; a later reap still gets its data.
TEST_F(AsyncBulk, NoCancelReapLeavesTheTransferQueued) {
    Contexts c(handle, 1, EP_IN);
    std::vector<unsigned char> a(8192, 0);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 8192), 0);
    EXPECT_EQ(usb_reap_async_nocancel(c.ctx[0], 0), -ETIMEDOUT);
    EXPECT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 8192), -EBUSY);
    ASSERT_TRUE(rx_enable(handle, true));
    ASSERT_EQ(usb_reap_async_nocancel(c.ctx[0], 5000), 8192);
    StreamChecker check;
    EXPECT_TRUE(check.feed(a.data(), a.size()));
}

TEST_F(AsyncBulk, CancelEndsQueuedTransfersAndKeepsCompletedOnes) {
    Contexts c(handle, 3, EP_IN);
    std::vector<unsigned char> buf(3 * 1024, 0x55);
    ASSERT_TRUE(rx_enable(handle, true));
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(buf.data()), 1024), 0);
    ASSERT_TRUE(wait_until([&] { return bulk_records(EP_IN) == 1; }));
    ASSERT_TRUE(rx_enable(handle, false));
    ASSERT_EQ(usb_submit_async(c.ctx[1], reinterpret_cast<char*>(buf.data()) + 1024, 1024), 0);
    ASSERT_EQ(usb_submit_async(c.ctx[2], reinterpret_cast<char*>(buf.data()) + 2048, 1024), 0);
    for (void* x : c.ctx)
        EXPECT_EQ(usb_cancel_async(x), 0);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 1000), 1024) << "completed before the cancel";
    EXPECT_EQ(usb_reap_async(c.ctx[1], 1000), -ECANCELED);
    EXPECT_EQ(usb_reap_async(c.ctx[2], 1000), -ECANCELED);
    for (int i = 1024; i < 3 * 1024; ++i)
        ASSERT_EQ(buf[i], 0x55) << "cancelled transfer wrote at " << i;
}

// Debian's libusb reports a stalled bulk endpoint as 0 bytes without an error; the transfer
// fails with -EPIPE instead of completing with nothing, and the next one works.
TEST_F(AsyncBulk, StalledBulkReadFailsWithBrokenPipe) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::World::instance().fail_bulk_at(0, usbsim::Fault{usbsim::FaultKind::stall});
    Contexts c(handle, 2, EP_IN);
    std::vector<unsigned char> a(4096), b(4096);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 4096), 0);
    ASSERT_EQ(usb_submit_async(c.ctx[1], reinterpret_cast<char*>(b.data()), 4096), 0);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 5000), -EPIPE);
    EXPECT_EQ(usb_reap_async(c.ctx[1], 5000), 4096);
    StreamChecker check;
    EXPECT_TRUE(check.feed(b.data(), b.size()));
}

// A bulk call that returns short is followed by more calls until the transfer is full, so the
// buffer holds one unbroken piece of the stream.
TEST_F(AsyncBulk, ShortBulkCallIsContinuedUntilTheTransferIsFull) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::Fault f{usbsim::FaultKind::short_data};
    f.short_by = 1000;
    usbsim::World::instance().fail_bulk_at(0, f);
    Contexts c(handle, 1, EP_IN);
    std::vector<unsigned char> a(16384);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 16384), 0);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 5000), 16384);
    auto log = bulk_of(EP_IN);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].length, 16384);
    EXPECT_EQ(log[0].result, 16384 - 1000);
    EXPECT_EQ(log[1].length, 1000);
    EXPECT_EQ(log[1].result, 1000);
    StreamChecker check;
    EXPECT_TRUE(check.feed(a.data(), a.size()));
}

// A bulk call that times out is not yet a failure: the transfer waits for its data until a whole
// second has passed without any.
TEST_F(AsyncBulk, BulkErrorsReachTheReaper) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::Fault long_wait{usbsim::FaultKind::timeout};
    long_wait.wait_ms = 1100;
    usbsim::World::instance().fail_bulk_at(0, usbsim::Fault{usbsim::FaultKind::io_error});
    usbsim::World::instance().fail_bulk_at(1, long_wait);
    usbsim::World::instance().fail_bulk_at(2, usbsim::Fault{usbsim::FaultKind::timeout});
    Contexts c(handle, 3, EP_IN);
    std::vector<unsigned char> a(512), b(512), d(512);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 512), 0);
    ASSERT_EQ(usb_submit_async(c.ctx[1], reinterpret_cast<char*>(b.data()), 512), 0);
    ASSERT_EQ(usb_submit_async(c.ctx[2], reinterpret_cast<char*>(d.data()), 512), 0);
    EXPECT_EQ(usb_reap_async(c.ctx[0], 5000), -EIO);
    EXPECT_EQ(usb_reap_async(c.ctx[1], 5000), -ETIMEDOUT);
    EXPECT_EQ(usb_reap_async(c.ctx[2], 5000), 512);
    auto log = bulk_of(EP_IN);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].result, -ETIMEDOUT) << "the third transfer's first call timed out";
    EXPECT_EQ(log[3].result, 512);
    StreamChecker check;
    EXPECT_TRUE(check.feed(d.data(), d.size()));
}

TEST_F(AsyncBulk, MisuseIsRefused) {
    Contexts c(handle, 1, EP_IN);
    char buf[16];
    void* null_ctx = nullptr;
    EXPECT_EQ(usb_reap_async(c.ctx[0], 0), -EINVAL) << "nothing submitted";
    EXPECT_EQ(usb_submit_async(c.ctx[0], nullptr, 16), -EINVAL);
    EXPECT_EQ(usb_submit_async(c.ctx[0], buf, -1), -EINVAL);
    EXPECT_EQ(usb_submit_async(nullptr, buf, 16), -EINVAL);
    EXPECT_EQ(usb_bulk_setup_async(nullptr, &null_ctx, EP_IN), -EINVAL);
    EXPECT_EQ(null_ctx, nullptr);
    EXPECT_EQ(usb_free_async(&null_ctx), -EINVAL);
    EXPECT_EQ(bulk_records(EP_IN), 0u);
}

// Control requests on the same handle go through while a bulk transfer waits for data.
TEST_F(AsyncBulk, ControlRequestsProceedWhileABulkTransferIsPending) {
    Contexts c(handle, 1, EP_IN);
    std::vector<unsigned char> a(4096);
    ASSERT_EQ(usb_submit_async(c.ctx[0], reinterpret_cast<char*>(a.data()), 4096), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the bulk call begin
    int ok = 0;
    std::thread other([&] {
        for (int i = 0; i < 20; ++i)
            ok += overrun_query(handle) == 1;
    });
    other.join();
    EXPECT_EQ(ok, 20);
    // The transfer is still waiting: the control requests did not wait for it.
    EXPECT_EQ(usb_reap_async_nocancel(c.ctx[0], 0), -ETIMEDOUT);
    ASSERT_TRUE(rx_enable(handle, true));
    int r = usb_reap_async(c.ctx[0], 5000);
    EXPECT_TRUE(r == 4096 || r == -ETIMEDOUT) << r;
    EXPECT_EQ(usbsim::with_request(usbsim::World::instance().control_log(), REQ_STATUS).size(),
              20u);
}

// One transfer thread per handle and endpoint, gone when the last context is freed; freeing
// contexts whose transfers are queued or running is safe.
TEST_F(AsyncBulk, ThreadsFollowContextsAndFreeingPendingTransfersIsSafe) {
    const int base = thread_count();
    std::vector<unsigned char> buf(8 * 2048, 0x33);  // outlives the contexts
    {
        Contexts in(handle, 8, EP_IN);
        EXPECT_EQ(thread_count(), base + 1);
        Contexts out(handle, 2, TX_ENDPOINT);
        EXPECT_EQ(thread_count(), base + 2);
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(
                usb_submit_async(in.ctx[i], reinterpret_cast<char*>(buf.data()) + i * 2048, 2048),
                0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the first call begin
        // Freed at scope end with one transfer waiting in a bulk call and the rest queued.
    }
    EXPECT_EQ(thread_count(), base);
    // Nothing ran on after the free: data that flows now reaches none of the freed buffers.
    ASSERT_TRUE(rx_enable(handle, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& r : bulk_of(EP_IN))
        EXPECT_LE(r.result, 0) << "a freed transfer moved data";
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](unsigned char v) { return v == 0x33; }));

    // A new engine on the same endpoint works afterwards.
    Contexts again(handle, 1, EP_IN);
    std::vector<unsigned char> a(1024);
    ASSERT_EQ(usb_submit_async(again.ctx[0], reinterpret_cast<char*>(a.data()), 1024), 0);
    EXPECT_EQ(usb_reap_async(again.ctx[0], 5000), 1024);
}
