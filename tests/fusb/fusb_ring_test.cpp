// The ring of bulk transfers behind read/write, against the simulated board: sizes, what reads
// and writes put on the bus and hand back, failure reports, start/stop/restart and teardown.
#include "alloc_count.h"
#include "fusb_sim.h"

#include <fusb_win32.h>

#include <memory>
#include <stdexcept>
#include <string>

using namespace fusb_test;

namespace {

constexpr int EP_IN = 0x80 | RX_ENDPOINT;

using ep_ptr = std::unique_ptr<fusb_ephandle>;

std::string out_of_range_text(fusb_devhandle& dh, int block_size, int nblocks) {
    try {
        ep_ptr ep(dh.open_endpoint(RX_ENDPOINT, true, block_size, nblocks));
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "(no exception)";
}

std::vector<usbsim::BulkRecord> bulk_of(int endpoint) {
    return usbsim::on_endpoint(usbsim::World::instance().bulk_log(), endpoint);
}

// Reads n bytes in one call and feeds them to the checker; returns read's result.
int read_checked(fusb_ephandle& ep, StreamChecker& check, int n) {
    std::vector<unsigned char> buf(n);
    int r = ep.read(buf.data(), n);
    if (r == n)
        check.feed(buf.data(), buf.size());
    return r;
}

}  // namespace

class Ring : public SimBoard {
  protected:
    void SetUp() override {
        SimBoard::SetUp();
        if (!HasFatalFailure())
            dev.reset(new fusb_devhandle_win32(handle));
    }
    void TearDown() override {
        dev.reset();
        SimBoard::TearDown();
    }
    std::unique_ptr<fusb_devhandle_win32> dev;
};

// ---- construction ----------------------------------------------------------------------------

TEST_F(Ring, SizesAndDerivedBlockCounts) {
    ep_ptr a(dev->open_endpoint(RX_ENDPOINT, true, 0, 0));
    EXPECT_EQ(a->get_block_size(), 65536);
    EXPECT_EQ(a->get_nblocks(), 256);
    ep_ptr b(dev->open_endpoint(RX_ENDPOINT, true, 1000, 0));
    EXPECT_EQ(b->get_block_size(), 1000);
    EXPECT_EQ(b->get_nblocks(), 16777);
    ep_ptr c(dev->open_endpoint(RX_ENDPOINT, true, 65536, 32));
    EXPECT_EQ(c->get_block_size(), 65536);
    EXPECT_EQ(c->get_nblocks(), 32);
    EXPECT_EQ(c->get_endpoint(), RX_ENDPOINT);
    EXPECT_TRUE(c->get_is_input());
    EXPECT_FALSE(c->is_started());
}

TEST_F(Ring, BadSizesThrowAndSetUpNothing) {
    const int base = thread_count();
    EXPECT_EQ(out_of_range_text(*dev, 65537, 4), "fusb_ephandle_win32: block_size");
    EXPECT_EQ(out_of_range_text(*dev, -1, 4), "fusb_ephandle_win32: block_size");
    EXPECT_EQ(out_of_range_text(*dev, -1, -1), "fusb_ephandle_win32: block_size");
    EXPECT_EQ(out_of_range_text(*dev, 0, -1), "fusb_ephandle_win32: nblocks");
    EXPECT_EQ(out_of_range_text(*dev, 512, -1), "fusb_ephandle_win32: nblocks");
    // Transfers that cannot be set up: no ring is made, rather than one whose reads all fail.
    fusb_devhandle_win32 none(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_THROW(ep_ptr(none.open_endpoint(RX_ENDPOINT, true, 4096, 4)), std::runtime_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fusb_ephandle_win32: usb_bulk_setup_async failed (-22)\n");
    // A context set up with the library would have started a transfer thread.
    EXPECT_EQ(thread_count(), base);
    EXPECT_TRUE(usbsim::World::instance().bulk_log().empty());
}

TEST_F(Ring, WrongDirectionOrNotStartedTouchesNothing) {
    ep_ptr in(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ep_ptr out(dev->open_endpoint(TX_ENDPOINT, false, 512, 4));
    unsigned char buf[4096] = {};
    EXPECT_EQ(in->read(buf, 4096), -1);
    EXPECT_EQ(out->write(buf, 512), -1);
    ASSERT_TRUE(in->start());
    ASSERT_TRUE(out->start());
    EXPECT_EQ(in->write(buf, 512), -1);
    EXPECT_EQ(out->read(buf, 512), -1);
    EXPECT_EQ(in->read(buf, -5), -1);
    EXPECT_TRUE(bulk_of(TX_ENDPOINT).empty());
}

// ---- reads -----------------------------------------------------------------------------------

// With no data flowing a reap would time out and report it: a read of 0 bytes reaps nothing.
TEST_F(Ring, ReadOfZeroBytesReapsNothing) {
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    unsigned char b = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ep->read(&b, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Small reads drain block 0 before block 1 is taken, and block 0 goes back to the library
// exactly when its last byte has been copied.
TEST_F(Ring, SmallReadsDrainABlockBeforeRequeueingIt) {
    ASSERT_TRUE(rx_enable(handle, true));
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 2));
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(wait_until([] { return bulk_records(EP_IN) == 2; }));
    StreamChecker check;
    ASSERT_EQ(read_checked(*ep, check, 1000), 1000);
    ASSERT_EQ(read_checked(*ep, check, 3000), 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bulk_records(EP_IN), 2u) << "block 0 requeued before it was drained";
    ASSERT_EQ(read_checked(*ep, check, 96), 96);
    EXPECT_TRUE(wait_until([] { return bulk_records(EP_IN) == 3; }));
    // Block 1 next, then block 0's new contents: all one unbroken stream.
    ASSERT_EQ(read_checked(*ep, check, 4096), 4096);
    ASSERT_EQ(read_checked(*ep, check, 4096), 4096);
    EXPECT_EQ(check.samples(), 3u * 4096 / BYTES_PER_SAMPLE);
    auto log = bulk_of(EP_IN);
    for (const auto& r : log) {
        EXPECT_EQ(r.length, 4096);
        EXPECT_EQ(r.result, 4096);
    }
}

TEST_F(Ring, ReadOfSeveralBlocksAndAFraction) {
    ASSERT_TRUE(rx_enable(handle, true));
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    StreamChecker check;
    ASSERT_EQ(read_checked(*ep, check, 2 * 4096 + 1500), 2 * 4096 + 1500);
    // Blocks 0 and 1 were handed back; block 2 is still held for its remaining 2596 bytes.
    EXPECT_TRUE(wait_until([] { return bulk_records(EP_IN) == 6; }));
    ASSERT_EQ(read_checked(*ep, check, 2596 + 3 * 4096), 2596 + 3 * 4096);
    EXPECT_EQ(check.samples(), 6u * 4096 / BYTES_PER_SAMPLE);
}

// A transfer that fails its time-out: the read reports it, hands back the block's earlier
// contents, requeues the block and returns the negative status; the next read carries on with
// the next block, and the stream around the lost transfer is intact.
TEST_F(Ring, TimedOutTransferIsReportedAndTheRingCarriesOn) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::Fault no_data{usbsim::FaultKind::timeout};
    no_data.wait_ms = 1100;
    usbsim::World::instance().fail_bulk_at(1, no_data);
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    StreamChecker check;
    ASSERT_EQ(read_checked(*ep, check, 4096), 4096);

    std::vector<unsigned char> blk(4096, 0x77);
    testing::internal::CaptureStderr();
    int r = ep->read(blk.data(), 4096);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -ETIMEDOUT);
    EXPECT_EQ(err, "fusb_ephandle_win32::read: usb_reap_async: Connection timed out\n");
    for (unsigned char v : blk)
        ASSERT_EQ(v, 0) << "block 1 never received data; its earlier (zeroed) contents come back";

    testing::internal::CaptureStderr();
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(read_checked(*ep, check, 4096), 4096) << "read " << i;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    auto log = bulk_of(EP_IN);
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(log[1].result, -ETIMEDOUT);
}

// Debian's libusb reports a stalled endpoint as an empty read without an error; the ring
// reports it as a failed reap rather than handing back stale data as if it were fresh, and the
// part of the failed block that the failing read did not take is not handed out later either.
TEST_F(Ring, StalledEndpointIsReportedNotHiddenAsData) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::World::instance().fail_bulk_at(0, usbsim::Fault{usbsim::FaultKind::stall});
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    std::vector<unsigned char> blk(4096);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ep->read(blk.data(), 1000), -EPIPE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fusb_ephandle_win32::read: usb_reap_async: Broken pipe\n");
    StreamChecker check;
    ASSERT_EQ(read_checked(*ep, check, 3 * 4096), 3 * 4096);
}

// ---- writes ----------------------------------------------------------------------------------

TEST_F(Ring, WritesGoOutAsFullBlocksInOrderAndWaitOnlyWhenTheRingIsFull) {
    ep_ptr ep(dev->open_endpoint(TX_ENDPOINT, false, 512, 3));
    ASSERT_TRUE(ep->start());
    std::vector<unsigned char> data(5 * 512 + 100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + i / 512);
    // Three full blocks fill the ring; the fourth and fifth reuse blocks 0 and 1 after their
    // reaps; the trailing 100 bytes wait in block 2.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(ep->write(data.data() + i * 512, 512), 512);
    ASSERT_EQ(ep->write(data.data() + 5 * 512, 100), 100);
    ep->stop();
    auto log = bulk_of(TX_ENDPOINT);
    ASSERT_EQ(log.size(), 5u) << "a partial block must not be sent";
    for (const auto& r : log) {
        EXPECT_EQ(r.length, 512);
        EXPECT_EQ(r.result, 512);
    }
    auto wire = usbsim::World::instance().bulk_out_data(board);
    ASSERT_EQ(wire.size(), 5u * 512);
    EXPECT_TRUE(std::equal(wire.begin(), wire.end(), data.begin()));
}

// stop reaps every outstanding block, so all full blocks are on the wire when it returns; the
// partly filled block is dropped, and a new run starts with block 0 again.
TEST_F(Ring, StopFlushesFullBlocksAndRestartDropsThePartialOne) {
    ep_ptr ep(dev->open_endpoint(TX_ENDPOINT, false, 512, 8));
    ASSERT_TRUE(ep->start());
    std::vector<unsigned char> a(3 * 512 + 200, 0x11), b(512, 0x22);
    ASSERT_EQ(ep->write(a.data(), static_cast<int>(a.size())), static_cast<int>(a.size()));
    ASSERT_TRUE(ep->stop());
    EXPECT_EQ(bulk_of(TX_ENDPOINT).size(), 3u);
    EXPECT_EQ(ep->write(b.data(), 512), -1);
    ASSERT_TRUE(ep->start());
    ASSERT_EQ(ep->write(b.data(), 512), 512);
    ASSERT_TRUE(ep->stop());
    auto wire = usbsim::World::instance().bulk_out_data(board);
    ASSERT_EQ(wire.size(), 4u * 512);
    EXPECT_TRUE(
        std::all_of(wire.begin(), wire.begin() + 3 * 512, [](uint8_t v) { return v == 0x11; }));
    EXPECT_TRUE(
        std::all_of(wire.begin() + 3 * 512, wire.end(), [](uint8_t v) { return v == 0x22; }));
}

// A failed reap in write reports it and returns at once: nothing more is copied or sent.
TEST_F(Ring, FailedReapInWriteReturnsAtOnce) {
    usbsim::World::instance().fail_bulk_at(0, usbsim::Fault{usbsim::FaultKind::io_error});
    ep_ptr ep(dev->open_endpoint(TX_ENDPOINT, false, 512, 2));
    ASSERT_TRUE(ep->start());
    std::vector<unsigned char> data(4 * 512, 0x5A);
    ASSERT_EQ(ep->write(data.data(), 2 * 512), 2 * 512);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ep->write(data.data(), 2 * 512), -EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fusb_ephandle_win32::write: usb_reap_async: Input/output error\n");
    ep->stop();
    auto log = bulk_of(TX_ENDPOINT);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].result, -EIO);
    EXPECT_EQ(log[1].result, 512);
}

// ---- start, stop, restart, teardown -----------------------------------------------------------

TEST_F(Ring, StartTwiceQueuesNothingMore) {
    ASSERT_TRUE(rx_enable(handle, true));
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(wait_until([] { return bulk_records(EP_IN) == 4; }));
    EXPECT_TRUE(ep->start());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bulk_records(EP_IN), 4u);
    StreamChecker check;
    ASSERT_EQ(read_checked(*ep, check, 4 * 4096), 4 * 4096);
}

// Restart: the reads still queued from the first run are cancelled and reaped, then every block
// is queued once more. The new run delivers an unbroken stream, with no stale or doubled block.
TEST_F(Ring, RestartRetiresTheEarlierRunsReads) {
    ASSERT_TRUE(rx_enable(handle, true));
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    {
        StreamChecker first;
        ASSERT_EQ(read_checked(*ep, first, 4096 + 2048), 4096 + 2048);
    }
    ASSERT_TRUE(ep->stop());
    ASSERT_TRUE(wait_until([] { return bulk_records(EP_IN) == 5; }));
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(wait_until([] { return bulk_records(EP_IN) == 9; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bulk_records(EP_IN), 9u) << "blocks queued more than once";
    StreamChecker second;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(read_checked(*ep, second, 4096), 4096) << "read " << i;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(second.samples(), 10u * 4096 / BYTES_PER_SAMPLE);
}

// Restart while the earlier run is part-way through its queue: blocks 0 and 1 have completed,
// block 2's transfer hangs in a bulk call that will fail, block 3 waits behind it. After the
// restart the blocks must again complete in ring order, with no error from the old run.
TEST_F(Ring, RestartPartWayThroughTheQueueKeepsRingOrder) {
    ASSERT_TRUE(rx_enable(handle, true));
    usbsim::Fault slow{usbsim::FaultKind::timeout};
    slow.wait_ms = 300;
    usbsim::World::instance().fail_bulk_at(2, slow);
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(wait_until([] { return bulk_records(EP_IN) == 2; }));
    ASSERT_TRUE(ep->stop());
    ASSERT_TRUE(ep->start());
    StreamChecker check;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(read_checked(*ep, check, 4096), 4096) << "read " << i;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(check.samples(), 8u * 4096 / BYTES_PER_SAMPLE);
}

// Restart while the earlier run's first read still waits for data in a bulk call: it does not
// hang, and the new run's data is fresh once the stream flows.
TEST_F(Ring, RestartWhileAReadWaitsForData) {
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 4096, 4));
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(ep->stop());
    ASSERT_TRUE(ep->start());
    ASSERT_TRUE(rx_enable(handle, true));
    StreamChecker check;
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(read_checked(*ep, check, 4096), 4096) << "read " << i;
}

// Destroying a started or stopped IN endpoint cancels its queued reads before the ring goes:
// no transfer thread is left, and (under the address sanitizer) nothing writes into freed blocks.
TEST_F(Ring, DestroyingAnEndpointWithQueuedReadsIsSafe) {
    const int base = thread_count();
    {
        ep_ptr waiting(dev->open_endpoint(RX_ENDPOINT, true, 4096, 8));
        ASSERT_TRUE(waiting->start());  // nothing flows: the first read waits in a bulk call
    }
    EXPECT_EQ(thread_count(), base);
    ASSERT_TRUE(rx_enable(handle, true));
    {
        ep_ptr flowing(dev->open_endpoint(RX_ENDPOINT, true, 65536, 16));
        ASSERT_TRUE(flowing->start());
        std::vector<unsigned char> b(65536 + 100);
        ASSERT_EQ(flowing->read(b.data(), static_cast<int>(b.size())), static_cast<int>(b.size()));
        ASSERT_TRUE(flowing->stop());
    }
    {
        ep_ptr started(dev->open_endpoint(RX_ENDPOINT, true, 65536, 16));
        ASSERT_TRUE(started->start());
    }
    EXPECT_EQ(thread_count(), base);
}

TEST_F(Ring, ReadAllocatesNothing) {
    ASSERT_TRUE(rx_enable(handle, true));
    ep_ptr ep(dev->open_endpoint(RX_ENDPOINT, true, 65536, 8));
    ASSERT_TRUE(ep->start());
    std::vector<unsigned char> buf(3 * 65536);
    ASSERT_EQ(ep->read(buf.data(), 65536), 65536);
    const int sizes[] = {65536, 1000, 3 * 65536, 17, 65536 - 1017};
    alloc_count::start();
    bool all = true;
    for (int i = 0; i < 40; ++i)
        all = all && ep->read(buf.data(), sizes[i % 5]) == sizes[i % 5];
    const long allocs = alloc_count::stop();
    EXPECT_TRUE(all);
    EXPECT_EQ(allocs, 0);
    // The counter itself works: a vector made while counting is seen.
    alloc_count::start();
    std::vector<int> v(10);
    EXPECT_EQ(alloc_count::stop(), 1);
}

// ---- integrity -------------------------------------------------------------------------------

TEST_F(Ring, StreamArrivesWholeWhileAnotherThreadSendsControlRequests) {
    run_integrity(*dev, handle, board, 64u << 20);
}
