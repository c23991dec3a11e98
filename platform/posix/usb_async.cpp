// Asynchronous bulk transfers over the synchronous libusb 0.1 calls, with libusb-win32's names and
// argument order. Debian's libusb 0.1 has no asynchronous calls; this file gives the module its
// own.
//
// Model:
// - Every context is bound to one (handle, endpoint) pair. All contexts of the same pair share one
//   transfer engine: a FIFO of submitted transfers and one thread that runs them one after the
//   other with usb_bulk_read / usb_bulk_write, so transfers complete in submission order. The
//   engine is created by the first usb_bulk_setup_async on a pair and ends (its thread joined)
//   when the last of its contexts is freed.
// - The thread moves data through its own staging buffer and copies it into (IN) or out of (OUT)
//   the caller's buffer under the engine's lock. A transfer that is cancelled while the thread is
//   still inside a blocking bulk call therefore never touches the caller's buffer once the cancel
//   (or the reap that cancelled) has returned; whatever that bulk call brings in is dropped.
// - usb_reap_async waits for the transfer up to the time-out. On a time-out it cancels the
//   transfer, as libusb-win32 does, and returns -ETIMEDOUT (-110; libusb-win32 returns -116 for
//   this case). The context is then free to be submitted again.
// - usb_cancel_async ends a queued or running transfer at once; reaping it afterwards returns
//   -ECANCELED. A completed transfer is not affected by a cancel.
// - Reaping a context with nothing submitted returns -EINVAL at once.
// - Control requests on the same handle from other threads are not held up: the engine's lock is
//   never held across a bulk call.
//
// Debian libusb 0.1 behaviours that the engine handles on purpose:
// - A bulk call may move fewer bytes than asked (it works in 16 KiB pieces and stops at a short
//   piece). A stream reader takes every completed transfer as full, so the engine keeps calling
//   until the transfer is full, it fails, or it is cancelled.
// - A stalled bulk endpoint makes the call return 0 bytes with no error. The engine reports a
//   transfer that stops making progress that way as -EPIPE, so that the reaper sees a failure.
// - A bulk time-out returns -110 without setting errno or the library's error text; the engine
//   passes the status through, and callers should take the text from the status itself.
//
// IN endpoints on a real usbfs file (Debian's library, checked by usb_urb::usbfs_fd) do not go
// through the library's bulk calls at all: the library puts one 16 KiB URB on the bus at a time and
// leaves the endpoint with nothing pending between two of them, which a device streaming 8 MB/s
// into a FIFO of a few KiB cannot bridge once the host is late by a millisecond. There the engine
// keeps URBs for every queued transfer in flight on the handle's file (usb_async_urb.h): the URBs
// carry the endpoint's stream, which fills the transfers in order, each to its full size (a short
// URB is just fewer bytes of the stream). The oldest transfer may wait 1000 ms for its data; a
// cancelled transfer leaves the stream to the transfers behind it, and once none is left every URB
// is discarded. The caller's buffer only ever receives a completed transfer's bytes, copied under
// the engine's lock. Handles without such a file (a simulated bus) take the path below.
//
// An IN transfer waits for its data in bulk calls of BULK_PIECE_MS each, so that a cancel (and
// the free that ends the engine) takes effect within one such piece instead of waiting out a
// blocking one-second read once the device has stopped sending. A piece that times out is not a
// failure: the transfer fails with -ETIMEDOUT only when the module's usual 1000 ms pass without
// any data. (A library whose bulk read drops what a timed-out call had received loses that much
// of the stream at such a pause; Debian's library on a usbfs file takes the URB path above.) An
// OUT transfer makes each call with the full 1000 ms, because a write that timed out part-way
// cannot be told apart from one that sent nothing. Freeing an engine waits for a bulk call still
// in progress to return, so that no call runs on a handle after its last context is gone.
#include <usb_api.h>

#include "usb_async_urb.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

enum { BULK_CALL_TIMEOUT_MS = USB_TIMEOUT_MS, BULK_PIECE_MS = 20 };

enum class xfer_state { idle, queued, running, done };

struct engine;

struct context {
    engine* owner = nullptr;
    xfer_state state = xfer_state::idle;
    char* bytes = nullptr;
    int size = 0;
    int status = 0;           // result once done
    context* next = nullptr;  // link in the engine's queue
    uint64_t token = 0;       // its transfer in a URB queue
};

struct engine {
    usb_dev_handle* dev = nullptr;
    unsigned char ep = 0;
    int refs = 0;  // contexts bound to it; guarded by the registry lock

    std::mutex lock;
    std::condition_variable work;  // something queued, or quit
    std::condition_variable done;  // some transfer finished or was cancelled
    context* head = nullptr;
    context* tail = nullptr;
    context* running = nullptr;        // transfer the thread is working on
    std::atomic<bool> dropped{false};  // the running transfer was cancelled or freed
    bool quit = false;

    std::vector<char> staging;  // touched only by the thread
    std::thread thread;

    // URB mode (IN endpoints on a usbfs file): every queued transfer is in flight at once.
    int usbfs = -1;
    uint64_t next_token = 0;
    std::map<uint64_t, context*> flying;  // transfers in the URB queue, by token
    std::vector<uint64_t> to_cancel;
    usb_urb::queue* urbs = nullptr;  // the thread's queue, while it runs

    bool is_in() const { return (ep & 0x80) != 0; }
    void run();
    void run_urbs();
    int transfer(int size);
    void poke() {
        if (urbs)
            urbs->wake();
    }
};

std::mutex registry_lock;
std::vector<engine*>& registry() {
    static std::vector<engine*> engines;
    return engines;
}

void unlink(engine* e, context* c) {
    context** p = &e->head;
    context* prev = nullptr;
    while (*p && *p != c) {
        prev = *p;
        p = &(*p)->next;
    }
    if (!*p)
        return;
    *p = c->next;
    if (e->tail == c)
        e->tail = prev;
    c->next = nullptr;
}

// Ends the context's transfer if it has not finished; called with the engine's lock held.
void cancel_locked(engine* e, context* c) {
    if (c->state == xfer_state::queued) {
        unlink(e, c);
    } else if (c->state == xfer_state::running) {
        if (e->usbfs >= 0) {
            e->flying.erase(c->token);
            e->to_cancel.push_back(c->token);
            e->work.notify_all();
            e->poke();
        } else {
            e->dropped = true;
        }
    } else {
        return;
    }
    c->state = xfer_state::done;
    c->status = -ECANCELED;
    e->done.notify_all();
}

// Runs one transfer of size bytes through the staging buffer. Called without the lock.
int engine::transfer(int size) {
    using clock = std::chrono::steady_clock;
    const auto patience = std::chrono::milliseconds(BULK_CALL_TIMEOUT_MS);
    auto deadline = clock::now() + patience;
    int moved = 0;
    while (moved < size) {
        int r;
        if (is_in()) {
            r = usb_bulk_read(dev, ep, staging.data() + moved, size - moved, BULK_PIECE_MS);
            if (r == -ETIMEDOUT && !dropped && clock::now() < deadline)
                continue;  // nothing yet: keep waiting
        } else {
            r = usb_bulk_write(dev, ep, staging.data() + moved, size - moved, BULK_CALL_TIMEOUT_MS);
        }
        if (r < 0)
            return r;
        if (r == 0)
            return -EPIPE;  // no progress and no error: the endpoint is stalled
        moved += std::min(r, size - moved);
        deadline = clock::now() + patience;
        if (dropped)
            break;
    }
    return moved;
}

void engine::run() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
        work.wait(g, [this] { return quit || head != nullptr; });
        if (!head)
            return;  // quit with nothing queued
        context* c = head;
        head = c->next;
        if (!head)
            tail = nullptr;
        c->next = nullptr;
        c->state = xfer_state::running;
        running = c;
        dropped = false;
        const int size = c->size;
        if (staging.size() < static_cast<size_t>(size))
            staging.resize(size);
        if (!is_in() && size > 0)
            std::memcpy(staging.data(), c->bytes, size);

        g.unlock();
        int status = size > 0 ? transfer(size) : 0;
        g.lock();

        if (!dropped) {
            if (is_in() && status > 0)
                std::memcpy(c->bytes, staging.data(), status);
            c->status = status;
            c->state = xfer_state::done;
        }
        running = nullptr;
        done.notify_all();
    }
}

// URB mode: queued transfers go on the bus at once as URBs of the handle's usbfs file, and are
// collected as the kernel completes them. A cancelled transfer's URBs are discarded; its data never
// reaches the caller's buffer.
void engine::run_urbs() {
    usb_urb::queue q(usbfs, ep, BULK_CALL_TIMEOUT_MS);
    std::vector<usb_urb::finished> finished;
    std::unique_lock<std::mutex> g(lock);
    urbs = &q;
    for (;;) {
        // Cancels first: a transfer cancelled and queued again in the meantime starts afresh.
        for (uint64_t t : to_cancel)
            q.cancel(t);
        to_cancel.clear();
        while (head) {
            context* c = head;
            head = c->next;
            if (!head)
                tail = nullptr;
            c->next = nullptr;
            c->state = xfer_state::running;
            c->token = ++next_token;
            const int r = q.submit(c->token, c->size);
            if (r < 0) {
                c->status = r;
                c->state = xfer_state::done;
                done.notify_all();
            } else {
                flying[c->token] = c;
            }
        }
        if (quit)
            break;
        if (q.idle()) {
            work.wait(g, [this] { return quit || head != nullptr || !to_cancel.empty(); });
            continue;
        }
        g.unlock();
        finished.clear();
        q.wait(50, finished);
        g.lock();
        for (auto& f : finished) {
            auto it = flying.find(f.token);
            if (it == flying.end())
                continue;  // cancelled or freed meanwhile
            context* c = it->second;
            flying.erase(it);
            if (f.status > 0)
                std::memcpy(c->bytes, f.data.data(), static_cast<size_t>(f.status));
            c->status = f.status;
            c->state = xfer_state::done;
        }
        if (!finished.empty())
            done.notify_all();
    }
    urbs = nullptr;
    g.unlock();
    // q's destructor takes back whatever is still in flight.
}

// Waits for the context's transfer; cancels it on a time-out when asked to.
int reap(void* ctx, int timeout, bool cancel_on_timeout) {
    auto* c = static_cast<context*>(ctx);
    if (!c || !c->owner)
        return -EINVAL;
    engine* e = c->owner;
    std::unique_lock<std::mutex> g(e->lock);
    if (c->state == xfer_state::idle)
        return -EINVAL;
    auto finished = [c] { return c->state == xfer_state::done; };
    if (timeout < 0)
        e->done.wait(g, finished);
    else
        e->done.wait_for(g, std::chrono::milliseconds(timeout), finished);
    if (!finished()) {
        if (!cancel_on_timeout)
            return -ETIMEDOUT;
        cancel_locked(e, c);
        c->state = xfer_state::idle;
        return -ETIMEDOUT;
    }
    c->state = xfer_state::idle;
    return c->status;
}

}  // namespace

extern "C" {

int usb_bulk_setup_async(usb_dev_handle* dev, void** context_out, unsigned char ep) {
    if (!dev || !context_out)
        return -EINVAL;
    *context_out = nullptr;
    context* c = nullptr;
    try {
        c = new context;
        std::lock_guard<std::mutex> r(registry_lock);
        auto& engines = registry();
        auto it = std::find_if(engines.begin(), engines.end(),
                               [&](engine* e) { return e->dev == dev && e->ep == ep; });
        engine* e = nullptr;
        if (it != engines.end()) {
            e = *it;
        } else {
            e = new engine;
            e->dev = dev;
            e->ep = ep;
            if (e->is_in())
                e->usbfs = usb_urb::usbfs_fd(dev);
            try {
                engines.push_back(e);
                if (e->usbfs >= 0)
                    e->thread = std::thread([e] { e->run_urbs(); });
                else
                    e->thread = std::thread([e] { e->run(); });
            } catch (...) {
                if (!engines.empty() && engines.back() == e)
                    engines.pop_back();
                delete e;
                delete c;
                return -ENOMEM;
            }
        }
        e->refs += 1;
        c->owner = e;
        *context_out = c;
        return 0;
    } catch (...) {
        delete c;  // the engine could not be made
        return -ENOMEM;
    }
}

int usb_submit_async(void* ctx, char* bytes, int size) {
    auto* c = static_cast<context*>(ctx);
    if (!c || !c->owner || size < 0 || (size > 0 && !bytes))
        return -EINVAL;
    engine* e = c->owner;
    std::lock_guard<std::mutex> g(e->lock);
    if (c->state == xfer_state::queued || c->state == xfer_state::running)
        return -EBUSY;
    c->bytes = bytes;
    c->size = size;
    c->status = 0;
    c->state = xfer_state::queued;
    c->next = nullptr;
    if (e->tail)
        e->tail->next = c;
    else
        e->head = c;
    e->tail = c;
    e->work.notify_one();
    e->poke();
    return 0;
}

int usb_reap_async(void* ctx, int timeout) {
    return reap(ctx, timeout, true);
}

int usb_reap_async_nocancel(void* ctx, int timeout) {
    return reap(ctx, timeout, false);
}

int usb_cancel_async(void* ctx) {
    auto* c = static_cast<context*>(ctx);
    if (!c || !c->owner)
        return -EINVAL;
    std::lock_guard<std::mutex> g(c->owner->lock);
    cancel_locked(c->owner, c);
    return 0;
}

int usb_free_async(void** ctx) {
    if (!ctx || !*ctx)
        return -EINVAL;
    auto* c = static_cast<context*>(*ctx);
    *ctx = nullptr;
    engine* e = c->owner;
    engine* retire = nullptr;
    {
        std::lock_guard<std::mutex> r(registry_lock);
        {
            std::lock_guard<std::mutex> g(e->lock);
            cancel_locked(e, c);
            if (e->running == c)
                e->running = nullptr;  // the thread must not look at it again
        }
        e->refs -= 1;
        if (e->refs == 0) {
            auto& engines = registry();
            engines.erase(std::remove(engines.begin(), engines.end(), e), engines.end());
            retire = e;
        }
    }
    delete c;
    if (retire) {
        {
            std::lock_guard<std::mutex> g(retire->lock);
            retire->quit = true;
            retire->work.notify_all();
            retire->poke();
        }
        if (retire->thread.joinable())
            retire->thread.join();
        delete retire;
    }
    return 0;
}

}  // extern "C"
