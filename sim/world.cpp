// The simulated world: buses, devices, boards, handles and faults, and the calls of the USB
// library surface that are not control requests or bulk transfers.
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "model.h"

namespace usbsim {
namespace detail {

Impl& impl() {
    static Impl* instance = [] {
        Impl* i = new Impl;  // never destroyed: in use until the very end of the process
        const char* t = std::getenv("USBSIM_TRACE");
        i->trace = t ? std::atoi(t) : 0;
        return i;
    }();
    return *instance;
}

Board& Impl::board(BoardId b) {
    if (b < 0 || size_t(b) >= boards.size())
        throw std::out_of_range("usbsim: no such board");
    return *boards[size_t(b)];
}

const Board& Impl::board(BoardId b) const {
    if (b < 0 || size_t(b) >= boards.size())
        throw std::out_of_range("usbsim: no such board");
    return *boards[size_t(b)];
}

void Impl::poll_timers(Clock::time_point now) {
    for (auto& bp : boards) {
        Board& b = *bp;
        if (b.leave_at && now >= *b.leave_at)
            re_enumerate(b);
        if (b.detach_at && now >= *b.detach_at) {
            b.detach_at.reset();
            b.plugged = false;
            leave_bus(b);
        }
        poll_unplugs(b, now);
    }
}

void Impl::leave_bus(Board& b) {
    b.present = false;
    b.uid = 0;
    b.rejoin_rescans_left = 0;
    b.rejoin_at.reset();
    b.leave_at.reset();
    b.pacing.running = false;
}

void Impl::join_bus(Board& b) {
    b.present = true;
    b.uid = next_uid++;
    devnums[b.uid] = bus_devnum[size_t(b.bus)]++;
    uid_slot[b.uid] = b.slot;
    b.rejoin_rescans_left = 0;
    b.rejoin_at.reset();
}

void Impl::start_firmware(Board& b) {
    b.firmware_running = true;
    b.fpga_configured = false;
    b.fpga_reset = false;
    b.config_open = false;
    b.regs.fill(0);
    for (auto& c : b.codec)
        c.fill(0);
    b.tx_enable = b.rx_enable = b.tx_reset = b.rx_reset = false;
    b.overrun = false;
    changed(b);
    // The new firmware re-enumerates: the board leaves the bus (at once, or once the host has
    // noticed) and comes back later.
    if (b.config.leave_after_ms > 0)
        b.leave_at = Clock::now() + std::chrono::milliseconds(b.config.leave_after_ms);
    else
        re_enumerate(b);
}

void Impl::re_enumerate(Board& b) {
    leave_bus(b);
    if (b.config.rejoin_after_ms > 0)
        b.rejoin_at = Clock::now() + std::chrono::milliseconds(b.config.rejoin_after_ms);
    else if (b.config.rejoin_after_ms != BoardConfig::REJOIN_NEVER)
        b.rejoin_rescans_left = std::max(1, b.config.rejoin_after_rescans);
}

bool Impl::handle_alive(const Handle& h) const {
    if (h.dead)
        return false;
    if (h.board < 0)
        return true;
    const Board& b = *boards[size_t(h.board)];
    return b.present && b.uid == h.uid;
}

Err Impl::handle_error(const Handle& h) const {
    return h.dead ? Err::badf : Err::nodev;
}

std::optional<Fault> Impl::take_call_fault(UsbCall call) {
    auto it = call_faults.find(call);
    if (it == call_faults.end())
        return std::nullopt;
    Fault f = it->second;
    call_faults.erase(it);
    return f;
}

static Err fault_error(const Fault& f) {
    switch (f.kind) {
        case FaultKind::stall: return Err::stall;
        case FaultKind::timeout: return Err::timeout;
        case FaultKind::detach: return Err::nodev;
        default: return Err::io;
    }
}

template <class T> static void push_capped(std::deque<T>& log, T r) {
    if (log.size() >= LOG_LIMIT)
        log.pop_front();
    log.push_back(std::move(r));
}

void Impl::log_call(UsbCall call, int handle, int board, int arg, int result) {
    ++seq;
    if (logging)
        push_capped(call_log, CallRecord{seq, call, handle, board, arg, result});
}
void Impl::log_control(ControlRecord r) {
    if (logging)
        push_capped(control_log, std::move(r));
}
void Impl::log_bulk(BulkRecord r) {
    if (logging)
        push_capped(bulk_log, std::move(r));
}

void Impl::clear() {
    buses.clear();
    slots.clear();
    boards.clear();
    handles.clear();
    devnums.clear();
    bus_devnum.clear();
    listed_buses.clear();
    listed.clear();
    uid_slot.clear();
    control_faults.clear();
    bulk_faults.clear();
    call_faults.clear();
    control_log.clear();
    bulk_log.clear();
    call_log.clear();
    control_count = bulk_count = 0;
    init_calls = find_busses_calls = find_devices_calls = 0;
}

// ---- the library calls -----------------------------------------------------------------------

void api_init() {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    if (!w.touched)
        w.populate_default();
    ++w.init_calls;
}

int api_find_busses(std::vector<int>& buses, bool counted) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    if (!w.touched)
        w.populate_default();
    if (counted)
        ++w.find_busses_calls;
    buses.clear();
    if (w.buses.empty()) {
        w.listed_buses.clear();
        w.listed.clear();
        return -1;
    }
    int changes = 0;
    for (size_t i = 0; i < w.buses.size(); ++i) {
        buses.push_back(int(i) + 1);
        if (i >= w.listed_buses.size())
            ++changes;
    }
    w.listed_buses = buses;
    w.listed.resize(buses.size());
    return changes;
}

int api_find_devices(std::vector<BusEntry>& listing, bool counted) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    const Clock::time_point now = Clock::now();
    w.poll_timers(now);
    if (counted)
        ++w.find_devices_calls;
    // Boards waiting to (re-)join the bus.
    for (auto& bp : w.boards) {
        Board& b = *bp;
        if (b.present || !b.plugged)
            continue;
        if (b.rejoin_at) {
            if (now >= *b.rejoin_at)
                w.join_bus(b);
        } else if (b.rejoin_rescans_left > 0 && --b.rejoin_rescans_left == 0) {
            w.join_bus(b);
        }
    }
    listing.clear();
    int changes = 0;
    for (size_t bi = 0; bi < w.listed_buses.size(); ++bi) {
        BusEntry e{int(bi) + 1, {}};
        std::vector<uint64_t> uids;
        for (int si : w.buses[bi].slots) {
            const Slot& s = w.slots[size_t(si)];
            uint64_t uid;
            uint16_t bcd = s.bcd;
            bool has_serial = false;
            if (s.board >= 0) {
                const Board& b = w.board(s.board);
                if (!b.present)
                    continue;
                uid = b.uid;
                bcd = b.config.bcd_device;
                has_serial = !b.config.serial.empty();
            } else {
                uid = s.uid;
            }
            e.devices.push_back(
                DeviceEntry{uid, s.vendor, s.product, bcd, w.devnums[uid], has_serial});
            uids.push_back(uid);
        }
        const std::vector<uint64_t>& old = w.listed[bi];
        for (uint64_t u : uids)
            if (std::find(old.begin(), old.end(), u) == old.end())
                ++changes;
        for (uint64_t u : old)
            if (std::find(uids.begin(), uids.end(), u) == uids.end())
                ++changes;
        w.listed[bi] = uids;
        listing.push_back(std::move(e));
    }
    return changes;
}

int api_open(uint64_t uid) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.poll_timers(Clock::now());
    auto sit = w.uid_slot.find(uid);
    int slot = sit == w.uid_slot.end() ? -1 : sit->second;
    int board = slot >= 0 ? w.slots[size_t(slot)].board : -1;
    if (w.take_call_fault(UsbCall::open)) {
        w.log_call(UsbCall::open, -1, board, 0, -1);
        return -1;
    }
    Handle h;
    h.id = w.next_handle++;
    h.slot = slot;
    h.board = board;
    h.uid = uid;
    h.dead = slot < 0 || (board >= 0 && !(w.board(board).present && w.board(board).uid == uid));
    w.handles[h.id] = h;
    w.log_call(UsbCall::open, h.id, board, 0, 0);
    return h.id;
}

Result api_close(int handle) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    auto it = w.handles.find(handle);
    if (it == w.handles.end())
        return {};  // a handle of a world since reset
    int board = it->second.board;
    w.handles.erase(it);
    w.log_call(UsbCall::close, handle, board, 0, 0);
    return {};
}

namespace {

// Common prologue of the handle calls: finds the handle, applies an injected fault and checks
// that the device is still there. Returns the handle, or null with the error in `r`.
Handle* begin_call(Impl& w, UsbCall call, int handle, int arg, Result& r) {
    w.poll_timers(Clock::now());
    auto it = w.handles.find(handle);
    if (it == w.handles.end()) {
        r.err = Err::inval;
        return nullptr;
    }
    Handle& h = it->second;
    if (auto f = w.take_call_fault(call)) {
        r.err = fault_error(*f);
        if (f->kind == FaultKind::detach && h.board >= 0) {
            w.board(h.board).plugged = false;
            w.leave_bus(w.board(h.board));
        }
    } else if (!w.handle_alive(h)) {
        r.err = w.handle_error(h);
    }
    if (r.err != Err::none) {
        w.log_call(call, handle, h.board, arg, surface_error_code(r.err));
        return nullptr;
    }
    return &h;
}

int interface_count(const Handle& h) {
    return h.board >= 0 ? 3 : 1;
}

}  // namespace

Result api_set_configuration(int handle, int configuration) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Result r;
    Handle* h = begin_call(w, UsbCall::set_configuration, handle, configuration, r);
    if (!h)
        return r;
    if (configuration != 0 && configuration != 1) {
        r.err = Err::inval;
    } else {
        for (auto& [id, other] : w.handles)
            if (id != handle && other.slot == h->slot && other.uid == h->uid &&
                !other.claimed.empty())
                r.err = Err::busy;
    }
    if (r.err == Err::none)
        h->configuration = configuration;
    w.log_call(UsbCall::set_configuration, handle, h->board, configuration,
               r.err == Err::none ? 0 : surface_error_code(r.err));
    return r;
}

Result api_claim_interface(int handle, int interface) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Result r;
    Handle* h = begin_call(w, UsbCall::claim_interface, handle, interface, r);
    if (!h)
        return r;
    if (interface < 0 || interface >= interface_count(*h)) {
        r.err = Err::noent;
    } else {
        for (auto& [id, other] : w.handles)
            if (id != handle && other.slot == h->slot && other.uid == h->uid &&
                std::count(other.claimed.begin(), other.claimed.end(), interface))
                r.err = Err::busy;
    }
    if (r.err == Err::none && !std::count(h->claimed.begin(), h->claimed.end(), interface))
        h->claimed.push_back(interface);
    w.log_call(UsbCall::claim_interface, handle, h->board, interface,
               r.err == Err::none ? 0 : surface_error_code(r.err));
    return r;
}

Result api_release_interface(int handle, int interface) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Result r;
    Handle* h = begin_call(w, UsbCall::release_interface, handle, interface, r);
    if (!h)
        return r;
    auto it = std::find(h->claimed.begin(), h->claimed.end(), interface);
    if (it == h->claimed.end())
        r.err = Err::inval;
    else
        h->claimed.erase(it);
    w.log_call(UsbCall::release_interface, handle, h->board, interface,
               r.err == Err::none ? 0 : surface_error_code(r.err));
    return r;
}

Result api_set_altinterface(int handle, int alternate) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Result r;
    Handle* h = begin_call(w, UsbCall::set_altinterface, handle, alternate, r);
    if (!h)
        return r;
    if (h->claimed.empty() || alternate != 0)
        r.err = Err::inval;  // the library needs a claimed interface; each has setting 0 only
    else
        h->altsetting = alternate;
    w.log_call(UsbCall::set_altinterface, handle, h->board, alternate,
               r.err == Err::none ? 0 : surface_error_code(r.err));
    return r;
}

}  // namespace detail
}  // namespace usbsim
