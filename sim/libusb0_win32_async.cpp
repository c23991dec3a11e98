// libusb-win32's asynchronous bulk calls over the simulated world, with the library's behaviour:
// - usb_reap_async waits up to its time-out; when the transfer has not ended by then it aborts
//   the endpoint (every pending transfer on it, of every context) and returns -116.
// - usb_reap_async_nocancel waits the same way but leaves the transfer pending.
// - usb_cancel_async aborts the endpoint and returns at once (1.2.6): a transfer that was moving
//   data ends a little later, and may still write into its buffer until then. Only a reap tells
//   that it is over.
// - usb_free_async does not cancel.
// - A context that was never submitted reaps as a time-out after the full wait; a context whose
//   transfer has ended and was reaped reaps again with the same result.
// - errno is never touched; failures leave a text for usb_strerror().
//
// Every (handle, endpoint) pair has one engine: a queue of submitted transfers and one thread
// that runs them in submission order through the model's bulk call, in pieces of PIECE_MS so
// that an abort takes effect within a piece. An asynchronous transfer has no time-out of its
// own: it waits for data until it is full or aborted. Uses that the real library does not
// survive (submitting a pending context, freeing one) are refused and counted for the tests.
#define USBSIM_WIN32_BUILDING
#include "libusb0_win32.h"
#include "usbsim_win32.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace usbsim::detail;

namespace {

enum { PIECE_MS = 20 };

enum class state { fresh, pending, done };

struct engine;

struct context {
    engine* owner = nullptr;
    state st = state::fresh;
    char* bytes = nullptr;
    int size = 0;
    int status = 0;
    bool aborted = false;
};

struct engine {
    usb_dev_handle* dev = nullptr;
    int id = 0;
    unsigned char ep = 0;
    int refs = 0;  // guarded by the registry lock

    std::mutex m;
    std::condition_variable work;
    std::condition_variable done;
    std::deque<context*> queue;  // pending, not yet running
    context* running = nullptr;
    bool abort_running = false;
    bool quit = false;
    std::vector<uint8_t> staging;
    std::thread thread;

    bool is_in() const { return (ep & 0x80) != 0; }
    void run();
};

// Lock order: registry_m, then an engine's m, then stats_m.
std::mutex registry_m;
std::vector<engine*> engines;
std::mutex stats_m;
usbsim_async_stats stats{};

void count(int usbsim_async_stats::*field, int by = 1) {
    std::lock_guard<std::mutex> lk(stats_m);
    stats.*field += by;
}

// Ends the transfer: called with the engine's lock held.
void finish(engine* e, context* c, int status, bool aborted) {
    c->status = status;
    c->aborted = aborted;
    c->st = state::done;
    e->done.notify_all();
    count(&usbsim_async_stats::transfers_done);
    if (aborted)
        count(&usbsim_async_stats::transfers_aborted);
}

// Aborts every pending transfer of the endpoint; called with the engine's lock held.
void abort_endpoint(engine* e) {
    for (context* c : e->queue)
        finish(e, c, -WIN32_ETRANSFER_TIMEDOUT, true);
    e->queue.clear();
    if (e->running)
        e->abort_running = true;
    count(&usbsim_async_stats::endpoint_aborts);
}

void engine::run() {
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
        work.wait(lk, [this] { return quit || !queue.empty(); });
        if (queue.empty())
            return;
        context* c = queue.front();
        queue.pop_front();
        running = c;
        abort_running = false;
        const int size = c->size;
        if (staging.size() < size_t(size))
            staging.resize(size);
        if (!is_in() && size > 0)
            std::memcpy(staging.data(), c->bytes, size);
        int moved = 0;
        Err err = Err::none;
        while (moved < size && !abort_running) {
            lk.unlock();
            Result r = api_bulk(id, ep, staging.data() + moved, size - moved, PIECE_MS);
            lk.lock();
            if (running != c)
                break;  // freed meanwhile: nothing of it may be touched
            if (r.err == Err::none && r.value > 0) {
                // Data that arrived is in the caller's buffer, aborted or not.
                if (is_in())
                    std::memcpy(c->bytes + moved, staging.data() + moved, r.value);
                moved += r.value;
            } else if (r.err == Err::timeout) {
                continue;  // nothing yet: the transfer keeps waiting
            } else {
                err = r.err == Err::none ? Err::stall : r.err;  // no data and no error: stalled
                break;
            }
        }
        if (running == c) {
            if (abort_running)
                finish(this, c, -WIN32_ETRANSFER_TIMEDOUT, true);
            else if (err != Err::none)
                finish(this, c, win32_error_code(err), false);
            else
                finish(this, c, moved, false);
        }
        running = nullptr;
        abort_running = false;
    }
}

context* as_context(void* p) {
    return static_cast<context*>(p);
}

int reap(void* p, int timeout, bool cancel) {
    context* c = as_context(p);
    if (!c || !c->owner)
        return -22;
    engine* e = c->owner;
    std::unique_lock<std::mutex> lk(e->m);
    auto over = [c] { return c->st == state::done; };
    if (timeout < 0)
        e->done.wait(lk, over);
    else
        e->done.wait_for(lk, std::chrono::milliseconds(timeout), over);
    if (!over()) {
        if (cancel)
            abort_endpoint(e);
        lk.unlock();
        win32_set_error_text("libusb0-dll:err [_usb_reap_async] timeout error");
        return -WIN32_ETRANSFER_TIMEDOUT;
    }
    const int status = c->status;
    const bool aborted = c->aborted;
    lk.unlock();
    if (aborted)
        win32_set_error_text(
            "libusb0-dll:err [_usb_reap_async] reaping request failed, win error: The I/O "
            "operation has been aborted because of either a thread exit or an application "
            "request.");
    else if (status < 0)
        win32_set_error_text(
            "libusb0-dll:err [_usb_reap_async] reaping request failed, win error: A device "
            "attached to the system is not functioning.");
    return status;
}

}  // namespace

SIM_WIN32_EXPORT int usb_bulk_setup_async(usb_dev_handle* dev, void** out, unsigned char ep) {
    if (!dev || !out)
        return -22;
    *out = nullptr;
    std::lock_guard<std::mutex> lk(registry_m);
    engine* e = nullptr;
    for (engine* x : engines)
        if (x->dev == dev && x->ep == ep)
            e = x;
    if (!e) {
        e = new engine;
        e->dev = dev;
        e->id = handle_id(dev);
        e->ep = ep;
        e->thread = std::thread([e] { e->run(); });
        engines.push_back(e);
        count(&usbsim_async_stats::engines);
    }
    e->refs += 1;
    auto* c = new context;
    c->owner = e;
    count(&usbsim_async_stats::contexts);
    *out = c;
    return 0;
}

SIM_WIN32_EXPORT int usb_submit_async(void* p, char* bytes, int size) {
    context* c = as_context(p);
    if (!c || !c->owner || size < 0 || (size > 0 && !bytes))
        return -22;
    engine* e = c->owner;
    std::lock_guard<std::mutex> lk(e->m);
    if (c->st == state::pending) {
        count(&usbsim_async_stats::submits_while_pending);
        win32_set_error_text("libusb0-dll:err [usb_submit_async] request still pending");
        return -22;
    }
    c->bytes = bytes;
    c->size = size;
    c->status = 0;
    c->aborted = false;
    c->st = state::pending;
    e->queue.push_back(c);
    e->work.notify_one();
    return 0;
}

SIM_WIN32_EXPORT int usb_reap_async(void* context, int timeout) {
    return reap(context, timeout, true);
}

SIM_WIN32_EXPORT int usb_reap_async_nocancel(void* context, int timeout) {
    return reap(context, timeout, false);
}

SIM_WIN32_EXPORT int usb_cancel_async(void* p) {
    context* c = as_context(p);
    if (!c || !c->owner)
        return -22;
    std::lock_guard<std::mutex> lk(c->owner->m);
    abort_endpoint(c->owner);
    return 0;
}

SIM_WIN32_EXPORT int usb_free_async(void** p) {
    if (!p || !*p)
        return -22;
    context* c = as_context(*p);
    *p = nullptr;
    engine* e = c->owner;
    engine* retire = nullptr;
    {
        std::lock_guard<std::mutex> r(registry_m);
        {
            std::lock_guard<std::mutex> lk(e->m);
            if (c->st == state::pending) {
                count(&usbsim_async_stats::frees_while_pending);
                e->queue.erase(std::remove(e->queue.begin(), e->queue.end(), c), e->queue.end());
                if (e->running == c)
                    e->running = nullptr;
            }
        }
        count(&usbsim_async_stats::contexts, -1);
        if (--e->refs == 0) {
            engines.erase(std::remove(engines.begin(), engines.end(), e), engines.end());
            count(&usbsim_async_stats::engines, -1);
            retire = e;
        }
    }
    delete c;
    if (retire) {
        {
            std::lock_guard<std::mutex> lk(retire->m);
            retire->quit = true;
            retire->work.notify_all();
        }
        retire->thread.join();
        delete retire;
    }
    return 0;
}

extern "C" USBSIM_WIN32_API void usbsim_win32_async_stats(usbsim_async_stats* out) {
    std::lock_guard<std::mutex> lk(stats_m);
    if (out)
        *out = stats;
}

extern "C" USBSIM_WIN32_API void usbsim_win32_reset_async_stats(void) {
    std::lock_guard<std::mutex> lk(stats_m);
    const int contexts = stats.contexts, live = stats.engines;
    stats = usbsim_async_stats{};
    stats.contexts = contexts;
    stats.engines = live;
}
