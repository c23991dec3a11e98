// Bulk IN transfers kept in flight as usbfs URBs on the file behind a Debian libusb 0.1 handle.
//
// Debian's usb_bulk_read puts one 16 KiB URB on the bus at a time and polls for it; between two
// URBs nothing is pending on the endpoint, and the device's FIFO (a few KiB on a receiver board
// streaming 8 MB/s, about a millisecond) must hold the stream until the next URB arrives. A queue
// submits every URB of every queued transfer at once, so the device always has somewhere to put
// its data while the host is busy elsewhere.
#pragma once

#include <usb.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

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
    // Discards whatever is in flight and waits for the kernel to give it back.
    ~queue();
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;

    // Puts a transfer of size bytes on the bus as URBs of at most 16 KiB. 0 or -errno.
    int submit(uint64_t token, int size);
    // Ends a transfer: its URBs are discarded; it finishes with -ECANCELED.
    void cancel(uint64_t token);
    bool idle() const { return flights_.empty(); }
    // Waits up to max_ms for the bus (or until wake() is called) and collects the transfers that
    // finished, in submission order.
    void wait(int max_ms, std::vector<finished>& out);
    // Makes a wait() in progress return early.
    void wake();

private:
    struct flight;
    void collect(std::vector<finished>& out);
    void discard(flight& f);
    void reap_all(std::vector<finished>* out);
    bool reap_one(bool* device_gone);

    int fd_;
    unsigned char ep_;
    int timeout_ms_;
    int wake_fd_ = -1;
    bool gone_ = false;
    std::deque<std::unique_ptr<flight>> flights_;
};

}  // namespace usb_urb
