// Bulk transfers: the library's conventions, pacing and overrun, faults, endpoint 2, and control
// requests made while a read waits.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "stream_util.h"

using namespace usbsim;
using Ms = std::chrono::milliseconds;

namespace {

class BulkTest : public SimTest {
  protected:
    BoardId board = -1;
    usb_dev_handle* h = nullptr;

    void start(BoardConfig c = {}, bool enable = true) {
        board = warm_board(c);
        h = open_board();
        ASSERT_NE(h, nullptr);
        RxSetup r;
        r.channels = 4;
        ASSERT_TRUE(program_rx(h, r, enable));
    }
    void TearDown() override {
        if (h)
            usb_close(h);
        SimTest::TearDown();
    }
    int read(std::vector<char>& buf, int timeout = 1000) {
        return usb_bulk_read(h, 6, buf.data(), int(buf.size()), timeout);
    }
    bool overrun_query() {
        char s = 0x55;
        EXPECT_EQ(usb_control_msg(h, 0xC0, 0x80, 0, 1, &s, 1, 1000), 1);
        return s != 0;
    }
};

}  // namespace

TEST_F(BulkTest, NoStreamMeansATimeOutThatLeavesErrnoAndTextAlone) {
    start({}, false);
    usb_control_msg(h, 0x40, 0x01, 0, 9, nullptr, 0, 1000);  // a stall sets the text
    const std::string text = usb_strerror();
    std::vector<char> buf(512);
    errno = 1234;
    EXPECT_EQ(read(buf, 20), -ETIMEDOUT);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(text, usb_strerror());
    // Enabled but the FPGA held in reset, or another format: still nothing.
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000), 0);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x04, 1, 0, nullptr, 0, 1000), 0);
    EXPECT_EQ(read(buf, 10), -ETIMEDOUT);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x04, 0, 0, nullptr, 0, 1000), 0);
    ASSERT_TRUE(fpga_reg(h, 49, 0));
    EXPECT_EQ(read(buf, 10), -ETIMEDOUT);
    ASSERT_TRUE(fpga_reg(h, 49, 0x300));
    EXPECT_EQ(read(buf, 10), 512);

    auto log = world.bulk_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].endpoint, 0x86);  // usb_bulk_read sets the direction bit
    EXPECT_EQ(log[0].result, -ETIMEDOUT);
    EXPECT_EQ(log[3].result, 512);
}

TEST_F(BulkTest, InjectedBulkFaults) {
    start();
    std::vector<char> buf(4096);
    Fault slow{FaultKind::timeout};
    slow.wait_ms = 1;
    Fault shorter{FaultKind::short_data};
    shorter.short_by = 1024;
    world.fail_bulk_at(1, {FaultKind::stall});
    world.fail_bulk_at(2, slow);
    world.fail_bulk_at(3, {FaultKind::io_error});
    world.fail_bulk_at(4, shorter);
    EXPECT_EQ(read(buf), 4096);
    errno = 0;
    EXPECT_EQ(read(buf), 0);  // a stalled endpoint reads as nothing, no error
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(read(buf), -ETIMEDOUT);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(read(buf), -EIO);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(read(buf), 3072);
    EXPECT_EQ(world.stream_bytes_read(board), 4096u + 3072u);  // nothing lost to the faults
    world.fail_bulk_at(0, {FaultKind::detach});
    EXPECT_EQ(read(buf), -ENODEV);
    EXPECT_FALSE(world.on_bus(board));
    EXPECT_EQ(read(buf), -ENODEV);
}

TEST_F(BulkTest, EndpointTwoRecordsWhatIsWritten) {
    start();
    const char data[] = "0123456789abcdef";
    EXPECT_EQ(usb_bulk_write(h, 2, data, 16, 1000), 16);
    EXPECT_EQ(usb_bulk_write(h, 2, data, 4, 1000), 4);
    auto got = world.bulk_out_data(board);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(std::memcmp(got.data(), "0123456789abcdef0123", 20), 0);
    EXPECT_EQ(usb_bulk_write(h, 3, data, 4, 1000), -ENOENT);
    EXPECT_EQ(on_endpoint(world.bulk_log(), 0x02).size(), 2u);
}

TEST_F(BulkTest, EndpointOfAnInterfaceClaimedElsewhereIsBusy) {
    start();
    usb_dev_handle* other = open_board(0, 0);
    ASSERT_NE(other, nullptr);
    std::vector<char> buf(512);
    EXPECT_EQ(usb_bulk_read(other, 6, buf.data(), 512, 100), -EBUSY);
    usb_close(other);
}

TEST_F(BulkTest, RealTimeStreamComesAtItsRateAndReturnsWhatItHasAtTheTimeOut) {
    BoardConfig c;
    c.pacing = Pacing::real_time;
    c.fifo_bytes = 1 << 20;
    const auto t0 = std::chrono::steady_clock::now();
    start(c);
    std::vector<char> buf(4 << 20);  // half a second of stream at 8 MB/s
    int r = read(buf, 30);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GT(r, 0);
    EXPECT_LT(r, int(buf.size()));
    EXPECT_EQ(r % 512, 0);
    EXPECT_LE(double(r), elapsed * 8e6 + 512);  // never ahead of the wall clock
    EXPECT_FALSE(overrun_query());
}

TEST_F(BulkTest, AWaitingReadDrainsTheFifoSoReadsMayBeLargerThanIt) {
    BoardConfig c;
    c.pacing = Pacing::real_time;
    c.fifo_bytes = 65536;
    start(c);
    std::vector<char> buf(262144);  // four FIFOs' worth: 33 ms of stream
    EXPECT_EQ(read(buf, 5000), 262144);
}

TEST_F(BulkTest, FallingBehindTheFifoDropsSamplesAndSetsTheOverrunFlag) {
    BoardConfig c;
    c.pacing = Pacing::real_time;
    c.fifo_bytes = 32768;
    start(c);
    std::vector<char> buf(16384);
    ASSERT_EQ(read(buf), 16384);
    std::this_thread::sleep_for(Ms(30));  // 240 kB at 8 MB/s: far beyond the FIFO
    EXPECT_TRUE(overrun_query());
    EXPECT_GT(world.samples_dropped(board), 0u);
    // The FIFO's worth is there at once, then the stream goes on in whole instants.
    EXPECT_EQ(read(buf, 1000), 16384);
    EXPECT_EQ(world.stream_bytes_read(board) % 16, 0u);
}

TEST_F(BulkTest, FreeRunningNeverOverruns) {
    start();
    std::this_thread::sleep_for(Ms(20));
    EXPECT_FALSE(overrun_query());
    EXPECT_EQ(world.samples_dropped(board), 0u);
}

TEST_F(BulkTest, ControlRequestsGoThroughWhileAReadWaits) {
    start({}, false);
    std::atomic<int> result{0};
    std::thread reader([&] {
        std::vector<char> buf(65536);
        result = usb_bulk_read(h, 6, buf.data(), int(buf.size()), 5000);
    });
    // Many requests on the same handle while the read waits for the stream to start.
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(fpga_reg(h, 34, uint32_t(i)));
    EXPECT_EQ(result.load(), 0);
    ASSERT_EQ(usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000), 0);
    reader.join();
    EXPECT_EQ(result.load(), 65536);
    EXPECT_EQ(world.fpga_register(board, 34), 199u);
}

TEST_F(BulkTest, RealTimeReaderAndRetuningThreadShareTheHandle) {
    BoardConfig c;
    c.pacing = Pacing::real_time;
    c.fifo_bytes = 1 << 20;
    start(c);
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0};
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (!stop) {
            int r = usb_bulk_read(h, 6, buf.data(), int(buf.size()), 1000);
            if (r > 0)
                bytes += r;
        }
    });
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(fpga_reg(h, 34 + i % 4, freq_word(-3.6e6 + i * 1000)));
        std::this_thread::sleep_for(Ms(1));
    }
    stop = true;
    reader.join();
    EXPECT_GT(bytes.load(), 0);
    EXPECT_EQ(uint64_t(bytes.load()), world.stream_bytes_read(board));
}

// The unplug schedule counts from the first stream; each stretch ends with the board back on the
// bus as the rule says: warm (firmware and FPGA kept) or cold (as after a power cut).
TEST_F(BulkTest, UnplugScheduleTakesTheBoardAwayAndBringsItBackWarmThenCold) {
    BoardConfig c;
    Unplug warm;
    warm.at_s = 0.05;
    warm.for_s = 0.2;
    warm.back_warm = true;
    Unplug cold;
    cold.at_s = 1.5;
    cold.for_s = 0.2;
    c.unplugs = {warm, cold};
    start(c);
    auto away_then_back = [&] {
        std::vector<char> buf(16384);
        int r = 0;
        for (int i = 0; i < 400 && (r = read(buf)) > 0; ++i)
            std::this_thread::sleep_for(Ms(10));
        EXPECT_EQ(r, -ENODEV);
        EXPECT_FALSE(world.on_bus(board));
        usb_close(h);
        h = nullptr;
        rescan();
        EXPECT_EQ(nth_board(0), nullptr);
        for (int i = 0; i < 400 && !nth_board(0); ++i) {
            std::this_thread::sleep_for(Ms(10));
            rescan();
        }
        ASSERT_NE(nth_board(0), nullptr);
    };
    away_then_back();
    EXPECT_EQ(world.unplugs_done(board), 1);
    EXPECT_TRUE(world.firmware_running(board));
    EXPECT_TRUE(world.fpga_configured(board));
    h = open_board();
    ASSERT_NE(h, nullptr);
    RxSetup r;
    r.channels = 4;
    ASSERT_TRUE(program_rx(h, r));
    away_then_back();
    EXPECT_EQ(world.unplugs_done(board), 2);
    EXPECT_FALSE(world.firmware_running(board));
    EXPECT_FALSE(world.fpga_configured(board));
}
