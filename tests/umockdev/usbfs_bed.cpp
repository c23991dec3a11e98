// The emulated usbfs bus: the umockdev testbed, its device nodes kept in step with the simulated
// world, and the hooks the simulator's model expects from a USB library surface.
#include "usbfs_bed.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "surface.h"
#include "usbfs_internal.h"

namespace usbfs {
namespace detail {

namespace sim = usbsim::detail;

State& state() {
    static State* s = new State;  // used by umockdev's thread until the process ends
    return *s;
}

double ms_since_origin(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - state().origin).count();
}

namespace {

void put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(uint8_t(x & 0xFF));
    v.push_back(uint8_t(x >> 8));
}

bool is_board(const sim::DeviceEntry& d) {
    return d.vendor == 0xFFFE && d.product == 0x0002;
}

// What the kernel's usbfs node reads back: the device descriptor, then the configuration with
// its interfaces and endpoints. The board: interface 0 (commands), 1 (bulk OUT endpoint 2) and
// 2 (bulk IN endpoint 6), 512-byte packets; anything else: one interface without endpoints.
std::vector<uint8_t> descriptors(const sim::DeviceEntry& d) {
    std::vector<uint8_t> v = {18, 1};
    put16(v, 0x0200);
    v.insert(v.end(), {0xFF, 0, 0, 64});
    put16(v, d.vendor);
    put16(v, d.product);
    put16(v, d.bcd);
    v.insert(v.end(), {0, 0, 0, 1});
    const bool board = is_board(d);
    const int interfaces = board ? 3 : 1;
    const int total = 9 + 9 * interfaces + (board ? 2 * 7 : 0);
    v.insert(v.end(), {9, 2});
    put16(v, unsigned(total));
    v.insert(v.end(), {uint8_t(interfaces), 1, 0, 0x80, 50});
    for (int i = 0; i < interfaces; ++i) {
        const bool ep = board && i > 0;
        v.insert(v.end(), {9, 4, uint8_t(i), 0, uint8_t(ep ? 1 : 0), 0xFF, 0, 0, 0});
        if (ep) {
            v.insert(v.end(), {7, 5, uint8_t(i == 1 ? 0x02 : 0x86), 2});
            put16(v, 512);
            v.push_back(0);
        }
    }
    return v;
}

void add_node_locked(State& s, int bus, const sim::DeviceEntry& d) {
    auto n = std::make_unique<Node>();
    n->uid = d.uid;
    n->board = is_board(d) ? 0 : -1;
    n->devnum = s.next_devnum++;
    char rel[64], path[96], sys[96];
    std::snprintf(rel, sizeof rel, "bus/usb/%03d/%03d", bus, n->devnum);
    std::snprintf(path, sizeof path, "/dev/%s", rel);
    std::snprintf(sys, sizeof sys, "/devices/usbsim/usb%d/%d-%d", bus, bus, n->devnum);
    n->path = path;
    n->syspath = std::string("/sys") + sys;
    std::string hex;
    for (uint8_t b : descriptors(d)) {
        char h[3];
        std::snprintf(h, sizeof h, "%02X", b);  // umockdev accepts upper case only
        hex += h;
    }
    char attrs[256];
    std::snprintf(attrs, sizeof attrs,
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\nA: busnum=%d\n"
                  "A: devnum=%d\nA: idVendor=%04x\nA: idProduct=%04x\n",
                  path, bus, n->devnum, d.vendor, d.product);
    const std::string text = std::string("P: ") + sys + "\nN: " + rel + "=" + hex + "\n" + attrs;
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(s.testbed, text.c_str(), &err)) {
        std::fprintf(stderr, "usbfs: cannot add %s: %s\n", path, err ? err->message : "?");
        std::abort();
    }
    attach_handlers(n.get());
    s.live[n->uid] = n.get();
    s.nodes.push_back(std::move(n));
}

void remove_node_locked(State& s, Node* n) {
    n->removed = true;
    umockdev_testbed_remove_device(s.testbed, n->syspath.c_str());
    // The node file itself, in case the testbed keeps it (its ioctl socket stays for files that
    // are still open, as a removed device's open files stay valid and fail with ENODEV).
    gchar* root = umockdev_testbed_get_root_dir(s.testbed);
    std::remove((std::string(root) + n->path).c_str());
    g_free(root);
    s.live.erase(n->uid);
}

void join_closed_clients() {
    State& s = state();
    std::vector<std::shared_ptr<Client>> done;
    {
        std::lock_guard<std::mutex> g(s.nodes_m);
        done.swap(s.closed);
    }
    for (auto& c : done)
        if (c->pump.joinable())
            c->pump.join();
}

// umockdev marks a client whose file was closed as no longer connected; this is where the bed
// learns of a close.
void close_disconnected_clients() {
    State& s = state();
    std::vector<UMockdevIoctlClient*> closed;
    {
        std::lock_guard<std::mutex> g(s.nodes_m);
        for (auto& [cl, c] : s.clients)
            if (!umockdev_ioctl_client_get_connected(cl))
                closed.push_back(cl);
    }
    for (UMockdevIoctlClient* cl : closed)
        close_client(cl);
}

void run_executor() {
    State& s = state();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lk(s.jobs_m);
            s.jobs_cv.wait(lk, [&] { return !s.jobs.empty(); });
            job = std::move(s.jobs.front());
            s.jobs.pop_front();
        }
        job();
    }
}

void run_hub() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sync_nodes();
        close_disconnected_clients();
        join_closed_clients();
    }
}

}  // namespace

void sync_nodes() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.nodes_m);
    if (!s.testbed)
        return;  // no bed yet: nothing to mirror
    std::vector<int> buses;
    std::vector<sim::BusEntry> listing;
    sim::api_find_busses(buses, false);
    sim::api_find_devices(listing, false);
    std::set<uint64_t> present;
    for (const sim::BusEntry& bus : listing)
        for (const sim::DeviceEntry& d : bus.devices) {
            present.insert(d.uid);
            if (!s.live.count(d.uid))
                add_node_locked(s, bus.number, d);
        }
    std::vector<Node*> gone;
    for (auto& [uid, n] : s.live)
        if (!present.count(uid))
            gone.push_back(n);
    for (Node* n : gone)
        remove_node_locked(s, n);
}

}  // namespace detail

using namespace detail;

Bed::Bed() {
    State& s = state();
    unsetenv("USB_DEVFS_PATH");  // the library must take /dev/bus/usb
    s.testbed = umockdev_testbed_new();
    s.executor = std::thread(run_executor);
    s.timer = std::thread(run_timer_thread);
    s.hub = std::thread(run_hub);
    // These threads serve umockdev's until the process ends.
    s.executor.detach();
    s.timer.detach();
    s.hub.detach();
}

Bed& Bed::instance() {
    static Bed* bed = new Bed;
    return *bed;
}

void Bed::sync() {
    sync_nodes();
}

std::vector<std::string> Bed::nodes() const {
    State& s = state();
    std::lock_guard<std::mutex> g(s.nodes_m);
    std::vector<std::string> v;
    for (auto& [uid, n] : s.live)
        v.push_back(n->path);
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> Bed::node_history() const {
    State& s = state();
    std::lock_guard<std::mutex> g(s.nodes_m);
    std::vector<std::string> v;
    for (auto& n : s.nodes)
        v.push_back(n->path);
    return v;
}

std::vector<UrbRecord> Bed::urb_log() const {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    return std::vector<UrbRecord>(s.urbs.begin(), s.urbs.end());
}

QueueStats Bed::queue_stats() const {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    return s.stats;
}

IoctlCounts Bed::ioctl_counts() const {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    return s.counts;
}

void Bed::clear_records() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    s.urbs_dropped += s.urbs.size();
    s.urbs.clear();
    s.stats = QueueStats{};
    s.counts = IoctlCounts{};
}

void Bed::set_reap_wait_us(int us) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    s.reap_wait_us = us;
}

void Bed::set_stream_budget(long long bytes) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    s.stream_budget = bytes;
}

void Bed::set_removal_lag_ms(int ms) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.records_m);
    s.removal_lag_ms = ms;
}

double Bed::now_ms() const {
    return ms_since_origin(Clock::now());
}

}  // namespace usbfs

// The hooks of a USB library surface: here the surface is the emulated usbfs bus.
namespace usbsim {
namespace detail {

void surface_reset() {
    usbfs::detail::sync_nodes();
}
void surface_rescan() {
    usbfs::detail::sync_nodes();
}
int surface_error_code(Err err) {
    return -usbfs::detail::errno_of(err);
}

}  // namespace detail
}  // namespace usbsim
