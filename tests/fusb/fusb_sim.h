// Shared pieces of the fast-USB tests: a simulated board opened on its receive interface, a few
// raw vendor requests, and a checker of the simulated sample stream's continuity.
#pragma once

#include <fusb.h>
#include <usb_api.h>
#include <usbsim.h>

#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace fusb_test {

enum {
    USRP_VENDOR = 0xFFFE,
    USRP_PRODUCT = 0x0002,
    RX_INTERFACE = 2,
    RX_ENDPOINT = 6,
    TX_ENDPOINT = 2,
    REQ_RX_ENABLE = 0x06,
    REQ_SPI_WRITE = 0x09,
    REQ_STATUS = 0x80,
    FPGA_DECIM = 33,
    FPGA_DDC0_FREQ = 34,
    FPGA_RX_MUX = 38,
    FPGA_RX_FORMAT = 49,
};

// One sample instant of a single-channel stream: I then Q, 16-bit little endian.
constexpr int BYTES_PER_SAMPLE = 4;

// Tuning of the single channel: the carrier lands at this offset from the channel's centre.
constexpr double CARRIER_HZ = 7012345.0;
constexpr double DDC_HZ = -7000000.0;

inline int vendor_out(usb_dev_handle* h, int request, int value, int index, const void* data,
                      int length) {
    return usb_control_msg(h, 0x40, request, value, index,
                           const_cast<char*>(static_cast<const char*>(data)), length, 1000);
}

inline bool fpga_write(usb_dev_handle* h, int reg, uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                          static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    return vendor_out(h, REQ_SPI_WRITE, reg & 0x7f, 0x0120, b, 4) == 4;
}

inline bool rx_enable(usb_dev_handle* h, bool on) {
    return vendor_out(h, REQ_RX_ENABLE, on ? 1 : 0, 0, nullptr, 0) == 0;
}

inline int overrun_query(usb_dev_handle* h) {
    char b = 0;
    return usb_control_msg(h, 0xC0, REQ_STATUS, 0, 1, &b, 1, 1000);
}

// Threads of this process: the asynchronous calls run one thread per endpoint in use.
int thread_count();

// Waits (bounded) until pred() holds; true if it did.
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 5000);

// Counts the bulk records of one endpoint (with 0x80 for IN).
size_t bulk_records(int endpoint);

// A fresh simulated world with one warm board streaming one channel: a single steady carrier,
// no noise. The handle is opened on the receive interface; the receive path is left disabled.
class SimBoard : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    usbsim::BoardId board = -1;
    usb_dev_handle* handle = nullptr;
};

// Checks that consecutive samples of the single-channel stream follow one steady rotation, with
// the carrier's amplitude: a lost, repeated, reordered or stale piece of the stream breaks it.
class StreamChecker {
  public:
    // Feeds bytes in stream order; false (with a gtest failure) at the first break.
    bool feed(const unsigned char* bytes, size_t n);
    uint64_t samples() const { return count_; }

  private:
    bool check(std::complex<double> z);

    std::vector<unsigned char> carry_;
    std::vector<std::complex<double>> warmup_;
    std::complex<double> last_{};
    std::complex<double> step_{};
    double amplitude_ = 0;
    double tol2_ = 0, amp_lo2_ = 0, amp_hi2_ = 0;
    bool calibrated_ = false;
    uint64_t count_ = 0;
    bool failed_ = false;
};

// Reads total_bytes through a 32 x 64 KiB ring in reads of mixed sizes, checking the stream's
// continuity, while another thread keeps sending control requests on the same handle.
void run_integrity(fusb_devhandle& dev, usb_dev_handle* h, usbsim::BoardId board,
                   uint64_t total_bytes);

}  // namespace fusb_test
