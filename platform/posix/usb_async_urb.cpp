// Bulk IN transfers as usbfs URBs kept in flight; see usb_async_urb.h.
#include "usb_async_urb.h"

#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace usb_urb {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int URB_BYTES = 16384;  // the size Debian's library uses; every kernel takes it
// What Debian's libusb 0.1 writes into the usercontext of a URB that another thread reaped for
// it; its own reaper then sees the URB as done.
void* const LIBUSB_REAPED_COOKIE = reinterpret_cast<void*>(1);

}  // namespace

// Debian's libusb 0.1 keeps the handle's usbfs file descriptor as the first member of its (opaque)
// struct usb_dev_handle. That is relied on here only after checking that the number is an open
// usbfs file of the very device the handle belongs to: the file must answer CONNECTINFO with the
// device's number. Any other library's handle, or a simulated one, fails the check and is served
// through the library's synchronous calls instead.
int usbfs_fd(usb_dev_handle* dev) {
    if (!dev) return -1;
    struct usb_device* d = usb_device(dev);
    if (!d) return -1;
    int fd;
    std::memcpy(&fd, static_cast<const void*>(dev), sizeof fd);
    if (fd < 0) return -1;
    usbdevfs_connectinfo ci{};
    if (ioctl(fd, USBDEVFS_CONNECTINFO, &ci) != 0) return -1;
    return ci.devnum == d->devnum ? fd : -1;
}

struct queue::flight {
    uint64_t token = 0;
    int size = 0;
    std::vector<char> data;
    std::vector<std::unique_ptr<usbdevfs_urb>> urbs;
    std::vector<bool> back;  // given back by the kernel
    int outstanding = 0;
    int status = 0;          // first error, or 0
    bool cancelled = false;
    bool discarded = false;
    bool timed_out = false;
    Clock::time_point deadline{};
    bool deadline_set = false;
};

queue::queue(int fd, unsigned char ep, int timeout_ms) : fd_(fd), ep_(ep), timeout_ms_(timeout_ms) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

queue::~queue() {
    for (auto& f : flights_) discard(*f);
    // The kernel may write into a URB's buffer until it has been reaped.
    const Clock::time_point end = Clock::now() + std::chrono::seconds(2);
    while (!gone_ && Clock::now() < end &&
           std::any_of(flights_.begin(), flights_.end(), [](const auto& f) { return f->outstanding > 0; })) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 5);
        bool device_gone = false;
        while (reap_one(&device_gone)) {
        }
        if (device_gone) gone_ = true;
    }
    if (wake_fd_ >= 0) close(wake_fd_);
}

int queue::submit(uint64_t token, int size) {
    if (gone_) return -ENODEV;
    auto f = std::make_unique<flight>();
    f->token = token;
    f->size = size;
    f->data.resize(size_t(std::max(size, 1)));
    for (int off = 0; off < size || (size == 0 && off == 0); off += URB_BYTES) {
        auto u = std::make_unique<usbdevfs_urb>();
        std::memset(u.get(), 0, sizeof *u);
        u->type = USBDEVFS_URB_TYPE_BULK;
        u->endpoint = ep_;
        u->buffer = f->data.data() + off;
        u->buffer_length = std::min(URB_BYTES, size - off);
        u->usercontext = f.get();
        if (ioctl(fd_, USBDEVFS_SUBMITURB, u.get()) != 0) {
            const int err = errno;
            if (err == ENODEV) gone_ = true;
            if (f->urbs.empty()) return -err;
            f->status = -err;  // what went out is taken back; the transfer ends with the error
            discard(*f);
            break;
        }
        f->urbs.push_back(std::move(u));
        f->back.push_back(false);
        ++f->outstanding;
        if (size == 0) break;
    }
    if (flights_.empty()) {
        f->deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
        f->deadline_set = true;
    }
    flights_.push_back(std::move(f));
    return 0;
}

void queue::discard(flight& f) {
    if (f.discarded) return;
    f.discarded = true;
    for (size_t i = 0; i < f.urbs.size(); ++i)
        if (!f.back[i]) ioctl(fd_, USBDEVFS_DISCARDURB, f.urbs[i].get());  // EINVAL: already done
}

void queue::cancel(uint64_t token) {
    for (auto& f : flights_)
        if (f->token == token) {
            f->cancelled = true;
            discard(*f);
        }
}

void queue::wake() {
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        ssize_t n = write(wake_fd_, &one, sizeof one);
        (void)n;
    }
}

// Reaps one URB without waiting. False when none was ready.
bool queue::reap_one(bool* device_gone) {
    usbdevfs_urb* u = nullptr;
    if (ioctl(fd_, USBDEVFS_REAPURBNDELAY, &u) != 0) {
        if (errno == ENODEV) *device_gone = true;
        return false;
    }
    if (!u) return true;
    for (auto& f : flights_)
        for (size_t i = 0; i < f->urbs.size(); ++i)
            if (f->urbs[i].get() == u && !f->back[i]) {
                f->back[i] = true;
                --f->outstanding;
                const int s = u->status;
                if (s != 0 && f->status == 0 && !f->cancelled) {
                    if (s == -ENOENT || s == -ECONNRESET) {
                        // Discarded: by the time-out, or after a short URB (no error then).
                        if (f->timed_out) f->status = -ETIMEDOUT;
                    } else if (s == -ESHUTDOWN || s == -ENODEV) {
                        f->status = -ENODEV;
                    } else if (s == -EPROTO || s == -EILSEQ || s == -ETIME) {
                        f->status = -EIO;
                    } else {
                        f->status = s;  // -EPIPE: the endpoint stalled
                    }
                }
                // A short URB ends the data of the transfer; what follows it belongs to later
                // reads of the stream, so the rest of this transfer goes back unfilled.
                if (u->status == 0 && u->actual_length < u->buffer_length) discard(*f);
                return true;
            }
    // Not ours: a URB of one of the library's own synchronous calls on this file. Hand it back
    // the way the library itself does between threads.
    u->usercontext = LIBUSB_REAPED_COOKIE;
    return true;
}

void queue::collect(std::vector<finished>& out) {
    while (!flights_.empty() && flights_.front()->outstanding == 0) {
        std::unique_ptr<flight> f = std::move(flights_.front());
        flights_.pop_front();
        finished d;
        d.token = f->token;
        if (f->cancelled) {
            d.status = -ECANCELED;
        } else if (f->status != 0) {
            d.status = f->status;
        } else {
            // The bytes of each URB, one after the other (URBs after a short one moved none).
            int total = 0;
            for (auto& u : f->urbs) {
                const int n = std::max(0, u->actual_length);
                std::memmove(f->data.data() + total, u->buffer, size_t(n));
                total += n;
            }
            f->data.resize(size_t(total));
            d.status = total;
            d.data = std::move(f->data);
        }
        out.push_back(std::move(d));
        if (!flights_.empty() && !flights_.front()->deadline_set) {
            flights_.front()->deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
            flights_.front()->deadline_set = true;
        }
    }
}

void queue::reap_all(std::vector<finished>* out) {
    bool device_gone = false;
    while (reap_one(&device_gone)) {
    }
    if (device_gone) {
        // Nothing more will come back: the device is gone and the kernel has let go of the URBs.
        gone_ = true;
        for (auto& f : flights_) {
            for (size_t i = 0; i < f->back.size(); ++i) f->back[i] = true;
            f->outstanding = 0;
            if (f->status == 0 && !f->cancelled) f->status = -ENODEV;
        }
    }
    if (out) collect(*out);
}

void queue::wait(int max_ms, std::vector<finished>& out) {
    reap_all(&out);
    if (flights_.empty() || !out.empty()) return;
    flight& head = *flights_.front();
    int ms = max_ms;
    if (head.deadline_set && !head.discarded) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(head.deadline - Clock::now()).count();
        if (left <= 0) {
            head.timed_out = true;
            discard(head);  // the oldest transfer has waited its time: it ends with -ETIMEDOUT
            ms = 0;
        } else {
            ms = int(std::min<long long>(ms, left));
        }
    }
    // usbfs reports a completed URB as writable; the event file wakes the wait for new work.
    pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    poll(p, wake_fd_ >= 0 ? 2 : 1, ms);
    if (wake_fd_ >= 0 && (p[1].revents & POLLIN)) {
        uint64_t v;
        ssize_t n = read(wake_fd_, &v, sizeof v);
        (void)n;
    }
    reap_all(&out);
}

}  // namespace usb_urb
