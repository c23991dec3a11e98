// Bulk IN transfers kept in flight as usbfs URBs on the file behind a Debian libusb 0.1 handle.
//
// Debian's usb_bulk_read puts one 16 KiB URB on the bus at a time and polls for it; between two
// URBs nothing is pending on the endpoint, and the device's FIFO (a few KiB on a receiver board
// streaming 8 MB/s, about a millisecond) must hold the stream until the next URB arrives. A queue
// keeps URBs for every queued transfer on the bus at once, so the device always has somewhere to
// put its data while the host is busy elsewhere.
//
// The URBs carry one byte stream, and the transfers take it in order: each transfer is filled to
// its full size from the URBs as they come back, whatever the size of each URB's share. A URB
// that ends short (the device closed it with a short packet) is just fewer bytes of the stream;
// another URB goes on the bus for the rest. Transfers own their bytes; URBs own theirs, and a
// URB's memory is released only after the kernel has given the URB back.
#pragma once

#include <usb.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

struct usbdevfs_urb;

namespace usb_urb {

// The usbfs file descriptor of a handle opened by Debian's libusb 0.1, or -1 when the handle has
// none (another USB library, or a simulated bus).
int usbfs_fd(usb_dev_handle* dev);

// A finished transfer: its token, and its status (bytes, or -errno) with the bytes in data.
struct finished {
    uint64_t token;
    int status;
    std::vector<char> data;
};

class queue {
  public:
    // fd: the usbfs file; ep: the IN endpoint (with 0x80); timeout_ms: how long the oldest
    // transfer may wait for its data before it ends with -ETIMEDOUT.
    queue(int fd, unsigned char ep, int timeout_ms);
    // Discards whatever is in flight and waits for the kernel to give every URB back.
    ~queue();
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;

    // Queues a transfer of size bytes and puts URBs for it on the bus. 0 or -errno.
    int submit(uint64_t token, int size);
    // Ends a transfer without reporting it; whatever it had received is dropped. The stream goes
    // on to the transfers behind it; when none is left, every URB is discarded.
    void cancel(uint64_t token);
    bool idle() const { return xfers_.empty() && ready_.empty(); }
    // Waits up to max_ms for the bus (or until wake() is called) and collects the transfers that
    // finished, in submission order.
    void wait(int max_ms, std::vector<finished>& out);
    // Makes a wait() in progress return early.
    void wake();

    // URBs the kernel still holds (submitted and not yet reaped).
    int urbs_held() const;

  private:
    struct slot;
    // Keeps a URB the kernel never gave back (still reachable) until the process ends.
    static void keep_for_process_life(std::unique_ptr<slot> s);
    struct xfer {
        uint64_t token = 0;
        int size = 0;
        int filled = 0;
        int status = 0;  // an error that ends it when it reaches the head, or 0
        std::vector<char> data;
        std::chrono::steady_clock::time_point deadline{};
        bool clock_started = false;
    };
    void process();
    void feed(const char* p, int n);
    void finish_ready();
    void device_gone();
    void discard_all();
    void expire_head();
    int top_up();
    void trim();
    long long demand() const;
    long long capacity() const;
    void reap_all();
    bool reap_one();
    void start_head_clock();

    int fd_;
    unsigned char ep_;
    int timeout_ms_;
    int wake_fd_ = -1;
    bool gone_ = false;
    std::deque<std::unique_ptr<slot>> urbs_;  // in submission order, until reaped and consumed
    std::deque<xfer> xfers_;                  // queued transfers, oldest first
    std::vector<char> carry_;                 // stream bytes that came when no transfer wanted them
    std::vector<finished> ready_;             // finished, not yet collected
};

}  // namespace usb_urb
