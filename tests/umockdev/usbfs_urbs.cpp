// URB completion and the pump of one open device node of the emulated usbfs bus.
//
// Bulk URBs are filled by a thread of the open file (its "pump") from the simulator's board
// model, in submission order. A URB that completes goes to a reap parked for it, or waits in the
// file's completed queue for the next reap (the ioctls themselves are in usbfs_client.cpp).
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "surface.h"
#include "usbfs_internal.h"

namespace usbfs {
namespace detail {

namespace sim = usbsim::detail;

// ---- URB completion ----------------------------------------------------------------------------

namespace {

void record_update(const Urb& u) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    if (u.record < s.urbs_dropped)
        return;
    UrbRecord& r = s.urbs[u.record - s.urbs_dropped];
    r.actual = u.done;
    r.status = u.status;
    r.completed_ms = ms_since_origin(Clock::now());
}

// Answers a parked reap with the oldest completed URB, if both exist. Called with c.m held.
void serve_parked_locked(Client& c) {
    if (!c.parked || c.completed.empty())
        return;
    std::shared_ptr<Urb> u = c.completed.front();
    c.completed.pop_front();
    deliver(c.parked, c.parked_arg, u);
    unpark_locked(c);
}

bool any_in_pending(const Client& c) {
    return std::any_of(c.pending.begin(), c.pending.end(),
                       [](const std::shared_ptr<Urb>& u) { return (u->endpoint & 0x80) != 0; });
}

}  // namespace

// Hands a completed URB to a reap: its status and length go into the client's URB, and the
// reap's pointer (resolved on umockdev's thread when the reap came in) is set to it. Resolving
// talks to the client, which only umockdev's thread may do; setting a pointer and completing may
// happen on any thread.
void deliver(UMockdevIoctlClient* client, UMockdevIoctlData* slot, const std::shared_ptr<Urb>& u) {
    {
        State& s = state();
        std::lock_guard<std::mutex> g(s.records_m);
        if (u->record >= s.urbs_dropped) {
            UrbRecord& r = s.urbs[u->record - s.urbs_dropped];
            ++r.reaps;
            r.reaped_ms = ms_since_origin(Clock::now());
        }
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urb_data->data);
    urb->status = u->status;
    urb->actual_length = u->done;
    umockdev_ioctl_data_set_ptr(slot, 0, u->urb_data);
    finish(client, 0, 0);
}

void unpark_locked(Client& c) {
    if (c.parked)
        g_object_unref(c.parked);
    if (c.parked_arg)
        g_object_unref(c.parked_arg);
    c.parked = nullptr;
    c.parked_arg = nullptr;
    ++c.park_token;
}

// Moves a URB from pending to completed. Called with c.m held. The URB is taken by value: a
// reference into c.pending (its front, say) would be shifted onto the next URB by the erase.
void complete_urb_locked(Client& c, std::shared_ptr<Urb> u, int status) {
    c.pending.erase(std::remove(c.pending.begin(), c.pending.end(), u), c.pending.end());
    u->status = status;
    c.completed.push_back(u);
    record_update(*u);
    if ((u->endpoint & 0x80) && !any_in_pending(c)) {
        c.idle = true;
        c.idle_since = Clock::now();
        if (u->done > 0 && status == 0)
            c.idle_after_data = true;
    }
    if ((u->endpoint & 0x80) && u->done > 0) {
        State& s = state();
        std::lock_guard<std::mutex> g(s.records_m);
        ++s.stats.urbs;
    }
    serve_parked_locked(c);
}

// ---- the pump ----------------------------------------------------------------------------------

namespace {

constexpr int CHUNK_MS = 5;              // longest single wait of a pump for the board's stream
constexpr int READ_WINDOW = 256 * 1024;  // most a pump takes from the board in one read
constexpr int PACKET = 512;              // high-speed bulk packet size

long long stream_budget() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    return s.stream_budget;
}

void spend_stream_budget(int n) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    if (s.stream_budget > 0)
        s.stream_budget = std::max(0LL, s.stream_budget - n);
}

int removal_lag_ms() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    return s.removal_lag_ms;
}

}  // namespace

// Fills the file's URBs from the board in submission order. The board hands its stream to
// whatever IN URBs are pending, one after the other, as a host controller does: one read of the
// model covers every pending IN URB (up to READ_WINDOW bytes), so the board's FIFO is held back
// only while no URB is pending at all. An OUT URB is written whole.
void pump(std::shared_ptr<Client> cp) {
    Client& c = *cp;
    std::vector<uint8_t> staging;
    for (;;) {
        std::shared_ptr<Urb> u;
        int handle, want = 0;
        {
            std::unique_lock<std::mutex> lk(c.m);
            c.cv.wait(lk, [&] { return c.closed || !c.pending.empty(); });
            if (c.closed)
                return;
            u = c.pending.front();
            handle = c.handle;
            if (u->endpoint & 0x80) {
                for (const auto& p : c.pending)
                    if ((p->endpoint & 0x80) && want < READ_WINDOW)
                        want += p->length - p->done;
                want = std::min(want, READ_WINDOW);
                const long long budget = stream_budget();
                if (budget == 0) {
                    // The stream is held: the URBs wait, as on a device with nothing to send.
                    c.cv.wait_for(lk, std::chrono::milliseconds(2), [&] { return c.closed; });
                    continue;
                }
                if (budget > 0)
                    want = int(std::min<long long>(want, budget));
            } else {
                want = u->length - u->done;
            }
            staging.resize(size_t(std::max(want, 1)));
            if (!(u->endpoint & 0x80) && want > 0)
                std::memcpy(staging.data(), u->buffer + u->done, size_t(want));
        }
        sim::Result r{0, sim::Err::none};
        try {
            if (want > 0)
                r = sim::api_bulk(handle, u->endpoint, staging.data(), want, CHUNK_MS);
        } catch (const std::exception&) {
            r.err = sim::Err::nodev;  // the world was rebuilt under the read
        }
        if ((u->endpoint & 0x80) && r.err == sim::Err::none && r.value > 0)
            spend_stream_budget(r.value);
        std::unique_lock<std::mutex> lk(c.m);
        if (c.closed)
            continue;
        if (r.err == sim::Err::none) {
            if (!(u->endpoint & 0x80)) {
                if (u->discarded)
                    continue;
                u->done += r.value;
                complete_urb_locked(c, u, want > 0 && r.value == 0 ? -EPIPE : 0);
                continue;
            }
            if (want > 0 && r.value == 0) {
                if (!u->discarded)
                    complete_urb_locked(c, u, -EPIPE);  // the endpoint stalled
                continue;
            }
            // The data goes to the IN URBs pending now (a URB discarded meanwhile gets none).
            int off = 0;
            while (off < r.value) {
                auto it =
                    std::find_if(c.pending.begin(), c.pending.end(),
                                 [](const std::shared_ptr<Urb>& p) { return p->endpoint & 0x80; });
                if (it == c.pending.end())
                    break;  // nobody to take the rest: lost
                std::shared_ptr<Urb> d = *it;
                const int n = std::min(d->length - d->done, r.value - off);
                std::memcpy(d->buffer + d->done, staging.data() + off, size_t(n));
                d->done += n;
                off += n;
                if (d->done >= d->length)
                    complete_urb_locked(c, d, 0);
                else if (off == r.value && r.value % PACKET != 0)
                    complete_urb_locked(c, d, 0);  // ended by a short packet
            }
        } else if (r.err == sim::Err::timeout) {
            // Nothing yet: a URB has no time-out of its own and waits on.
        } else if (r.err == sim::Err::nodev || r.err == sim::Err::badf ||
                   r.err == sim::Err::inval) {
            c.gone = true;  // the device left: every URB of the file ends
            const int lag = removal_lag_ms();
            if (lag > 0)
                c.cv.wait_for(lk, std::chrono::milliseconds(lag), [&] { return c.closed; });
            if (c.closed)
                continue;
            while (!c.pending.empty())
                complete_urb_locked(c, c.pending.front(), -ESHUTDOWN);
        } else if (!u->discarded) {
            complete_urb_locked(c, u, r.err == sim::Err::stall ? -EPIPE : -EPROTO);
        }
    }
}

}  // namespace detail
}  // namespace usbfs
