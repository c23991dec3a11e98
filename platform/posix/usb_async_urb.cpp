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
#include <mutex>

namespace usb_urb {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int URB_BYTES = 16384;  // the size Debian's library uses; every kernel takes it
// A bulk IN URB whose length is not a whole number of packets can overflow on the device's last
// packet; every URB is a multiple of the largest bulk packet (512 at high speed, 64 at full).
constexpr int PACKET = 512;
// How long freeing a queue waits for the kernel to give back the URBs it discarded.
constexpr int RELEASE_WAIT_MS = 2000;
// What Debian's libusb 0.1 writes into the usercontext of a URB that another thread reaped for
// it; its own reaper then sees the URB as done.
void* const LIBUSB_REAPED_COOKIE = reinterpret_cast<void*>(1);

int round_up_to_packet(long long n) {
    return int((n + PACKET - 1) / PACKET * PACKET);
}

}  // namespace

// One URB and its buffer. The kernel owns both from the submit until the URB is reaped.
struct queue::slot {
    std::unique_ptr<usbdevfs_urb> urb;
    std::vector<char> buf;
    bool back = false;       // reaped
    bool discarded = false;  // DISCARDURB issued: not counted on for the stream any more
    bool stale = false;      // its bytes belong to no transfer (everything was cancelled): dropped
};

void queue::keep_for_process_life(std::unique_ptr<slot> s) {
    static std::mutex m;
    static std::vector<std::unique_ptr<slot>> kept;
    std::lock_guard<std::mutex> lock(m);
    kept.push_back(std::move(s));
}

// Debian's libusb 0.1 keeps the handle's usbfs file descriptor as the first member of its (opaque)
// struct usb_dev_handle. That is relied on here only after checking that the number is an open
// usbfs file of the very device the handle belongs to: the file must answer CONNECTINFO with the
// device's number. Any other library's handle, or a simulated one, fails the check and is served
// through the library's synchronous calls instead.
int usbfs_fd(usb_dev_handle* dev) {
    if (!dev)
        return -1;
    struct usb_device* d = usb_device(dev);
    if (!d)
        return -1;
    int fd;
    std::memcpy(&fd, static_cast<const void*>(dev), sizeof fd);
    if (fd < 0)
        return -1;
    usbdevfs_connectinfo ci{};
    if (ioctl(fd, USBDEVFS_CONNECTINFO, &ci) != 0)
        return -1;
    return ci.devnum == d->devnum ? fd : -1;
}

queue::queue(int fd, unsigned char ep, int timeout_ms) : fd_(fd), ep_(ep), timeout_ms_(timeout_ms) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

queue::~queue() {
    xfers_.clear();
    discard_all();
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(RELEASE_WAIT_MS);
    while (urbs_held() > 0 && Clock::now() < end) {
        if (gone_) {
            // A removed device's file reports itself ready at once: pace the reaps instead.
            poll(nullptr, 0, 1);
        } else {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 5);
        }
        reap_all();
    }
    // A URB the kernel has not given back keeps its memory for the life of the process: the
    // kernel may still write into its buffer, and a later reap on the same file (the library's,
    // or another queue's) writes the URB itself.
    for (auto& s : urbs_)
        if (!s->back)
            keep_for_process_life(std::move(s));
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

int queue::urbs_held() const {
    return int(std::count_if(urbs_.begin(), urbs_.end(), [](const auto& s) { return !s->back; }));
}

long long queue::demand() const {
    long long n = 0;
    for (const xfer& x : xfers_)
        if (x.status == 0)
            n += x.size - x.filled;
    return n;
}

// Stream bytes still to come from the URBs on hand (or already in the carry).
long long queue::capacity() const {
    long long n = (long long)carry_.size();
    for (const auto& s : urbs_) {
        if (s->stale)
            continue;
        if (s->back)
            n += std::max(0, s->urb->actual_length);
        else if (!s->discarded)
            n += s->urb->buffer_length;
    }
    return n;
}

// Puts URBs on the bus until they can carry what the queued transfers still need.
int queue::top_up() {
    long long missing = demand() - capacity();
    while (missing > 0) {
        auto s = std::make_unique<slot>();
        const int len = std::min(URB_BYTES, round_up_to_packet(missing));
        s->buf.resize(size_t(len));
        s->urb = std::make_unique<usbdevfs_urb>();
        std::memset(s->urb.get(), 0, sizeof *s->urb);
        s->urb->type = USBDEVFS_URB_TYPE_BULK;
        s->urb->endpoint = ep_;
        s->urb->buffer = s->buf.data();
        s->urb->buffer_length = len;
        if (ioctl(fd_, USBDEVFS_SUBMITURB, s->urb.get()) != 0) {
            const int err = errno;
            if (err == ENODEV)
                device_gone();
            return -err;
        }
        urbs_.push_back(std::move(s));
        missing -= len;
    }
    return 0;
}

// Takes back URBs at the end of the queue that the transfers no longer need (after a cancel).
// Whatever such a URB had already received still joins the stream in its place.
void queue::trim() {
    long long spare = capacity() - demand();
    for (auto it = urbs_.rbegin(); it != urbs_.rend(); ++it) {
        slot& s = **it;
        if (s.back)
            break;
        if (s.discarded)
            continue;
        if (spare < s.urb->buffer_length)
            break;
        s.discarded = true;
        ioctl(fd_, USBDEVFS_DISCARDURB, s.urb.get());  // EINVAL: completed already
        spare -= s.urb->buffer_length;
    }
}

// Nothing is queued any more: every URB goes back, and what it brings is dropped.
void queue::discard_all() {
    carry_.clear();
    for (auto& s : urbs_) {
        s->stale = true;
        if (!s->back && !s->discarded) {
            s->discarded = true;
            ioctl(fd_, USBDEVFS_DISCARDURB, s->urb.get());  // EINVAL: completed already
        }
    }
}

void queue::device_gone() {
    if (gone_)
        return;
    gone_ = true;
    for (xfer& x : xfers_)
        if (x.status == 0)
            x.status = -ENODEV;
    discard_all();
}

void queue::start_head_clock() {
    if (xfers_.empty() || xfers_.front().clock_started)
        return;
    xfers_.front().deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    xfers_.front().clock_started = true;
}

// Reports the transfers at the head that are full or have failed.
void queue::finish_ready() {
    while (!xfers_.empty() &&
           (xfers_.front().status != 0 || xfers_.front().filled >= xfers_.front().size)) {
        xfer x = std::move(xfers_.front());
        xfers_.pop_front();
        finished d;
        d.token = x.token;
        if (x.status != 0) {
            d.status = x.status;
        } else {
            d.status = x.size;
            d.data = std::move(x.data);
        }
        ready_.push_back(std::move(d));
    }
    start_head_clock();
}

// Stream bytes, in order, into the transfers; what no transfer wants waits for the next one.
void queue::feed(const char* p, int n) {
    while (n > 0) {
        xfer* head = nullptr;
        for (xfer& x : xfers_)
            if (x.status == 0 && x.filled < x.size) {
                head = &x;
                break;
            }
        if (!head)
            break;
        const int k = std::min(n, head->size - head->filled);
        std::memcpy(head->data.data() + head->filled, p, size_t(k));
        head->filled += k;
        p += k;
        n -= k;
    }
    if (n > 0)
        carry_.insert(carry_.end(), p, p + n);
    finish_ready();
}

int queue::submit(uint64_t token, int size) {
    if (gone_)
        return -ENODEV;
    if (size < 0)
        return -EINVAL;
    xfer x;
    x.token = token;
    x.size = size;
    x.data.resize(size_t(size));
    xfers_.push_back(std::move(x));
    if (!carry_.empty()) {
        std::vector<char> c;
        c.swap(carry_);
        feed(c.data(), int(c.size()));
    }
    start_head_clock();
    finish_ready();
    const int r = top_up();
    if (r < 0 && !gone_) {
        // This transfer cannot have its URBs; the ones that went out for it are taken back.
        for (auto it = xfers_.begin(); it != xfers_.end(); ++it)
            if (it->token == token) {
                xfers_.erase(it);
                break;
            }
        if (xfers_.empty())
            discard_all();
        else
            trim();
        return r;
    }
    if (r < 0)
        return r;  // the device is gone: the queued transfers end with -ENODEV
    return 0;
}

void queue::cancel(uint64_t token) {
    for (auto it = xfers_.begin(); it != xfers_.end(); ++it)
        if (it->token == token) {
            xfers_.erase(it);
            if (xfers_.empty())
                discard_all();
            else
                trim();
            start_head_clock();
            return;
        }
}

void queue::expire_head() {
    if (xfers_.empty())
        return;
    xfers_.front().status = -ETIMEDOUT;
    const bool last = xfers_.size() == 1;
    finish_ready();
    if (last)
        discard_all();
}

void queue::wake() {
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        ssize_t n = write(wake_fd_, &one, sizeof one);
        (void)n;
    }
}

// Reaps one URB without waiting. False when none was ready.
bool queue::reap_one() {
    usbdevfs_urb* u = nullptr;
    if (ioctl(fd_, USBDEVFS_REAPURBNDELAY, &u) != 0) {
        // ENODEV: the device is gone and nothing has completed yet. URBs still held come back
        // later (the kernel completes them as it takes the device down); keep reaping them.
        if (errno == ENODEV)
            device_gone();
        return false;
    }
    if (!u)
        return true;
    for (auto& s : urbs_)
        if (s->urb.get() == u) {
            s->back = true;
            return true;
        }
    // Not ours: a URB of one of the library's own synchronous calls on this file. Hand it back
    // the way the library itself does between threads.
    u->usercontext = LIBUSB_REAPED_COOKIE;
    return true;
}

void queue::reap_all() {
    while (reap_one()) {
    }
}

// Consumes the URBs at the front that are back, in submission order (the order of the stream).
void queue::process() {
    while (!urbs_.empty() && urbs_.front()->back) {
        std::unique_ptr<slot> s = std::move(urbs_.front());
        urbs_.pop_front();
        const int st = s->urb->status;
        const int n = std::max(0, std::min(s->urb->actual_length, s->urb->buffer_length));
        if (st == -ESHUTDOWN || st == -ENODEV) {
            device_gone();
        } else if (!s->stale) {
            if (st == 0 || st == -ENOENT || st == -ECONNRESET) {
                // Complete, short, or taken back after a cancel: its bytes are the stream's next.
                feed(s->buf.data(), n);
            } else {
                // The transfer these bytes were for fails: -EPIPE (stall), -EPROTO/-EILSEQ/-ETIME
                // (bus errors, reported as -EIO), -EOVERFLOW.
                const int err = (st == -EPROTO || st == -EILSEQ || st == -ETIME) ? -EIO : st;
                for (xfer& x : xfers_)
                    if (x.status == 0) {
                        x.status = err;
                        break;
                    }
            }
        }
    }
    finish_ready();
    if (!gone_ && !xfers_.empty()) {
        if (top_up() < 0 && !gone_) {
            // No URB for the newest transfer: it fails when its turn comes.
            xfers_.back().status = -EIO;
        }
        trim();
        finish_ready();
    }
}

void queue::wait(int max_ms, std::vector<finished>& out) {
    reap_all();
    process();
    if (ready_.empty() && !xfers_.empty()) {
        int ms = max_ms;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              xfers_.front().deadline - Clock::now())
                              .count();
        if (left <= 0) {
            expire_head();  // the oldest transfer has waited its time: it ends with -ETIMEDOUT
        } else {
            ms = int(std::min<long long>(ms, left));
            // usbfs reports a completed URB as writable; the event file wakes the wait for new
            // work. A removed device's file is always ready: only the event file is watched then.
            pollfd p[2] = {{gone_ ? -1 : fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
            poll(p, wake_fd_ >= 0 ? 2 : 1, ms);
            if (wake_fd_ >= 0 && (p[1].revents & POLLIN)) {
                uint64_t v;
                ssize_t n = read(wake_fd_, &v, sizeof v);
                (void)n;
            }
            reap_all();
            process();
        }
    }
    for (auto& d : ready_)
        out.push_back(std::move(d));
    ready_.clear();
}

}  // namespace usb_urb
