// The usbfs ioctls of one open device node, answered from the simulator's board model, and the
// handler entry umockdev calls.
//
// umockdev calls the handlers on its own worker thread, which must not block: calls that can
// wait (control requests, claims) run on the bed's executor thread, bulk URBs are filled by a
// thread of the open file (its "pump", in usbfs_urbs.cpp), and a reap that finds nothing
// completed is parked and answered when a URB completes (or, for REAPURBNDELAY, after the bed's
// reap wait).
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "surface.h"
#include "usbfs_internal.h"

namespace usbfs {
namespace detail {

namespace sim = usbsim::detail;

int errno_of(sim::Err e) {
    switch (e) {
        case sim::Err::none: return 0;
        case sim::Err::stall: return EPIPE;
        case sim::Err::timeout: return ETIMEDOUT;
        case sim::Err::io: return EIO;
        case sim::Err::busy: return EBUSY;
        case sim::Err::inval: return EINVAL;
        case sim::Err::noent: return ENOENT;
        // The file was opened while the node existed: a device gone since then is ENODEV.
        case sim::Err::nodev:
        case sim::Err::badf: return ENODEV;
    }
    return EIO;
}

void finish(UMockdevIoctlClient* client, long result, int err) {
    umockdev_ioctl_client_complete(client, result, err);
}

namespace {

constexpr int BUSY_RETRY_MS = 200;  // how long a claim waits for a closed file's release

// ---- helpers over umockdev's API ---------------------------------------------------------------

UMockdevIoctlData* resolve(UMockdevIoctlData* d, size_t offset, size_t len) {
    GError* err = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(d, offset, len, &err);
    if (err) {
        std::fprintf(stderr, "usbfs: resolve failed: %s\n", err->message);
        g_error_free(err);
        return nullptr;
    }
    return r;
}

void count(uint64_t IoctlCounts::*field) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    ++(s.counts.*field);
}

void post(std::function<void()> job) {
    State& s = state();
    {
        std::lock_guard<std::mutex> g(s.jobs_m);
        s.jobs.push_back(std::move(job));
    }
    s.jobs_cv.notify_one();
}

std::shared_ptr<Client> find_client(UMockdevIoctlClient* client, Node* node) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.nodes_m);
    auto it = s.clients.find(client);
    if (it != s.clients.end())
        return it->second;
    auto c = std::make_shared<Client>();
    c->client = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
    c->node = node;
    s.clients[client] = c;
    return c;
}

int ensure_handle(Client& c) {
    std::lock_guard<std::mutex> g(c.m);
    if (c.handle < 0)
        c.handle = sim::api_open(c.node->uid);
    return c.handle;
}

// ---- the ioctls --------------------------------------------------------------------------------

void submit_urb(const std::shared_ptr<Client>& cp, UMockdevIoctlClient* client,
                UMockdevIoctlData* arg) {
    Client& c = *cp;
    UMockdevIoctlData* ud = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!ud)
        return finish(client, -1, EFAULT);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(ud->data);
    const int ep = urb->endpoint;
    const bool board = c.node->board >= 0;
    if (urb->type != USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0) {
        g_object_unref(ud);
        return finish(client, -1, EINVAL);
    }
    if (!board || (ep != 0x86 && ep != 0x02)) {
        g_object_unref(ud);
        return finish(client, -1, ENOENT);
    }
    auto u = std::make_shared<Urb>();
    u->urb_data = ud;
    u->addr = ud->client_addr;
    u->endpoint = ep;
    u->length = urb->buffer_length;
    // The client runs in this process (the testbed lives in it), so its buffer is reachable as
    // it is: the data goes straight into it while the URB is pending, as the kernel does, instead
    // of being copied over umockdev's socket twice per URB.
    u->buffer = static_cast<uint8_t*>(urb->buffer);
    ensure_handle(c);
    State& s = state();
    std::lock_guard<std::mutex> lk(c.m);
    if (c.gone || c.node->removed)
        return finish(client, -1, ENODEV);
    {
        std::lock_guard<std::mutex> g(s.records_m);
        UrbRecord r;
        r.endpoint = ep;
        r.length = u->length;
        r.submitted_ms = ms_since_origin(Clock::now());
        u->record = s.urbs_dropped + s.urbs.size();
        s.urbs.push_back(r);
        if (s.urbs.size() > 100000) {
            s.urbs.pop_front();
            ++s.urbs_dropped;
        }
        if (ep & 0x80) {
            if (c.idle && c.idle_after_data) {
                const double gap =
                    std::chrono::duration<double, std::micro>(Clock::now() - c.idle_since).count();
                ++s.stats.gaps;
                s.stats.gap_total_us += gap;
                s.stats.gap_max_us = std::max(s.stats.gap_max_us, gap);
                s.stats.gaps_over_500us += gap > 500;
                s.stats.gaps_over_1ms += gap > 1000;
                s.stats.gaps_over_2ms += gap > 2000;
            }
            c.idle = false;
        }
    }
    c.pending.push_back(u);
    {
        std::lock_guard<std::mutex> g(s.records_m);
        const uint64_t in = uint64_t(
            std::count_if(c.pending.begin(), c.pending.end(),
                          [](const std::shared_ptr<Urb>& x) { return x->endpoint & 0x80; }));
        s.stats.max_in_flight = std::max(s.stats.max_in_flight, in);
    }
    if (!c.pump.joinable())
        c.pump = std::thread(pump, cp);
    c.cv.notify_all();
    finish(client, 0, 0);
}

void discard_urb(Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    uintptr_t addr = 0;
    std::memcpy(&addr, arg->data, sizeof addr);
    std::lock_guard<std::mutex> lk(c.m);
    auto it = std::find_if(c.pending.begin(), c.pending.end(),
                           [&](const std::shared_ptr<Urb>& u) { return u->addr == addr; });
    if (it == c.pending.end())
        return finish(client, -1, EINVAL);
    std::shared_ptr<Urb> u = *it;
    u->discarded = true;
    complete_urb_locked(c, u, -ENOENT);
    finish(client, 0, 0);
}

void reap_urb(const std::shared_ptr<Client>& cp, UMockdevIoctlClient* client,
              UMockdevIoctlData* arg, bool blocking) {
    Client& c = *cp;
    State& s = state();
    UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
    if (!slot)
        return finish(client, -1, EFAULT);
    std::lock_guard<std::mutex> lk(c.m);
    if (!c.completed.empty()) {
        std::shared_ptr<Urb> u = c.completed.front();
        c.completed.pop_front();
        deliver(client, slot, u);
        g_object_unref(slot);
        return;
    }
    int wait_us;
    {
        std::lock_guard<std::mutex> g(s.records_m);
        wait_us = s.reap_wait_us;
    }
    int error = 0;
    if (c.gone || c.node->removed)
        // As the kernel does: nothing completed and the device gone is ENODEV, even while URBs
        // are still on their way back (they complete as the device is taken down).
        error = ENODEV;
    else if ((!blocking && wait_us <= 0) || c.pending.empty())
        // Nothing will complete (a blocking reap with nothing submitted would wait for ever on
        // the kernel; answering keeps a faulty caller from hanging the test).
        error = EAGAIN;
    else if (c.parked)
        error = EBUSY;  // one reap at a time per file
    if (error) {
        g_object_unref(slot);
        return finish(client, -1, error);
    }
    c.parked = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
    c.parked_arg = slot;
    c.parked_blocking = blocking;
    const uint64_t token = c.park_token;
    if (!blocking) {
        std::lock_guard<std::mutex> g(s.timer_m);
        s.timers.emplace(Clock::now() + std::chrono::microseconds(wait_us),
                         std::make_pair(std::weak_ptr<Client>(cp), token));
        s.timer_cv.notify_one();
    }
}

// Calls on the model's handle that run on the executor. A claim that meets a claim of a file
// that has just been closed waits for umockdev to report the close, as the kernel releases a
// closed file's interfaces before close() returns.
template <class Call>
void handle_call(std::shared_ptr<Client> cp, UMockdevIoctlClient* client, Call call) {
    g_object_ref(client);
    post([cp, client, call] {
        const int h = ensure_handle(*cp);
        sim::Result r = call(h);
        for (int waited = 0; r.err == sim::Err::busy && waited < BUSY_RETRY_MS; waited += 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            r = call(h);
        }
        if (r.err == sim::Err::none)
            finish(client, 0, 0);
        else
            finish(client, -1, errno_of(r.err));
        g_object_unref(client);
    });
}

void control(std::shared_ptr<Client> cp, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* cd = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!cd)
        return finish(client, -1, EFAULT);
    const usbdevfs_ctrltransfer ct = *reinterpret_cast<usbdevfs_ctrltransfer*>(cd->data);
    UMockdevIoctlData* dd = nullptr;
    if (ct.wLength > 0) {
        dd = resolve(cd, offsetof(usbdevfs_ctrltransfer, data), ct.wLength);
        if (!dd) {
            g_object_unref(cd);
            return finish(client, -1, EFAULT);
        }
    }
    g_object_ref(client);
    post([cp, client, cd, dd, ct] {
        const int h = ensure_handle(*cp);
        sim::Result r = sim::api_control(h, ct.bRequestType, ct.bRequest, ct.wValue, ct.wIndex,
                                         dd ? dd->data : nullptr, ct.wLength, int(ct.timeout));
        // A request that made the board leave or re-join the bus shows on the bus before the
        // call returns.
        sync_nodes();
        if (r.err == sim::Err::none)
            finish(client, r.value, 0);
        else
            finish(client, -1, errno_of(r.err));
        if (dd)
            g_object_unref(dd);
        g_object_unref(cd);
        g_object_unref(client);
    });
}

bool tracing() {
    static const bool on = std::getenv("USBFS_TRACE") != nullptr;
    return on;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Node* node = static_cast<Node*>(user);
    std::shared_ptr<Client> c = find_client(client, node);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (tracing())
        std::fprintf(stderr, "usbfs: %s client %p ioctl 0x%lx\n", node->path.c_str(),
                     static_cast<void*>(client), request);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_CONNECTINFO: {
            count(&IoctlCounts::connect_info);
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (!d)
                return finish(client, -1, EFAULT), TRUE;
            auto* ci = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
            ci->devnum = unsigned(node->devnum);
            ci->slow = 0;
            g_object_unref(d);
            finish(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE: {
            const size_t len =
                request == USBDEVFS_SETINTERFACE ? sizeof(usbdevfs_setinterface) : sizeof(unsigned);
            UMockdevIoctlData* d = resolve(arg, 0, len);
            if (!d)
                return finish(client, -1, EFAULT), TRUE;
            unsigned v[2] = {0, 0};
            std::memcpy(v, d->data, len);
            g_object_unref(d);
            if (request == USBDEVFS_SETCONFIGURATION) {
                count(&IoctlCounts::set_configuration);
                handle_call(c, client,
                            [v](int h) { return sim::api_set_configuration(h, int(v[0])); });
            } else if (request == USBDEVFS_CLAIMINTERFACE) {
                count(&IoctlCounts::claim);
                handle_call(c, client,
                            [v](int h) { return sim::api_claim_interface(h, int(v[0])); });
            } else if (request == USBDEVFS_RELEASEINTERFACE) {
                count(&IoctlCounts::release);
                handle_call(c, client,
                            [v](int h) { return sim::api_release_interface(h, int(v[0])); });
            } else {
                count(&IoctlCounts::set_interface);
                handle_call(c, client,
                            [v](int h) { return sim::api_set_altinterface(h, int(v[1])); });
            }
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: finish(client, 0, 0); return TRUE;
        case USBDEVFS_CONTROL:
            count(&IoctlCounts::control);
            control(c, client, arg);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            count(&IoctlCounts::submit);
            submit_urb(c, client, arg);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            count(&IoctlCounts::discard);
            discard_urb(*c, client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
            count(&IoctlCounts::reap);
            reap_urb(c, client, arg, true);
            return TRUE;
        case USBDEVFS_REAPURBNDELAY: {
            State& s = state();
            {
                std::lock_guard<std::mutex> g(s.records_m);
                ++s.counts.reap_ndelay;
                ++s.stats.reap_polls;
            }
            reap_urb(c, client, arg, false);
            return TRUE;
        }
        default: return FALSE;  // umockdev's own answer (ENOTTY for what it does not know)
    }
}

}  // namespace

void close_client(UMockdevIoctlClient* client) {
    State& s = state();
    if (tracing())
        std::fprintf(stderr, "usbfs: client %p closed\n", static_cast<void*>(client));
    std::shared_ptr<Client> c;
    {
        std::lock_guard<std::mutex> g(s.nodes_m);
        auto it = s.clients.find(client);
        if (it == s.clients.end())
            return;
        c = it->second;
        s.clients.erase(it);
        s.closed.push_back(c);
    }
    int handle;
    {
        std::lock_guard<std::mutex> lk(c->m);
        c->closed = true;
        handle = c->handle;
        c->handle = -1;
        unpark_locked(*c);
        c->pending.clear();  // the kernel frees a closed file's URBs
        c->completed.clear();
    }
    c->cv.notify_all();
    if (handle >= 0)
        sim::api_close(handle);  // releases its claims
}

Urb::~Urb() {
    if (urb_data)
        g_object_unref(urb_data);
}

Client::~Client() {
    if (pump.joinable())
        pump.join();
    if (parked)
        g_object_unref(parked);
    if (parked_arg)
        g_object_unref(parked_arg);
    if (client)
        g_object_unref(client);
}

void attach_handlers(Node* node) {
    State& s = state();
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(on_ioctl), node);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(s.testbed, node->path.c_str(), node->handler, &err)) {
        std::fprintf(stderr, "usbfs: cannot attach to %s: %s\n", node->path.c_str(),
                     err ? err->message : "?");
        std::abort();
    }
}

void run_timer_thread() {
    State& s = state();
    std::unique_lock<std::mutex> lk(s.timer_m);
    for (;;) {
        if (s.timers.empty()) {
            s.timer_cv.wait(lk);
            continue;
        }
        auto first = s.timers.begin();
        if (Clock::now() < first->first) {
            s.timer_cv.wait_until(lk, first->first);
            continue;
        }
        auto [weak, token] = first->second;
        s.timers.erase(first);
        lk.unlock();
        if (std::shared_ptr<Client> c = weak.lock()) {
            std::lock_guard<std::mutex> g(c->m);
            if (c->parked && c->park_token == token) {
                finish(c->parked, -1, EAGAIN);
                unpark_locked(*c);
            }
        }
        lk.lock();
    }
}

}  // namespace detail
}  // namespace usbfs
