// Internals of the emulated usbfs bus: nodes, open files (clients) and their URBs.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "surface.h"
#include "usbfs_bed.h"

namespace usbfs {
namespace detail {

using Clock = std::chrono::steady_clock;

// One device node of the testbed: one enumeration of one device.
struct Node {
    std::string path;     // /dev/bus/usb/BBB/DDD
    std::string syspath;  // the testbed's sysfs path of the device
    uint64_t uid = 0;     // the model's enumeration instance
    int board = -1;       // model board id, or -1 for an unrelated device
    int devnum = 0;
    UMockdevIoctlBase* handler = nullptr;
    std::atomic<bool> removed{false};  // set by the hub thread, read by the ioctl handlers
};

struct Urb {
    UMockdevIoctlData* urb_data = nullptr;  // the client's struct usbdevfs_urb (held)
    uint8_t* buffer = nullptr;              // the client's buffer (same process)
    uintptr_t addr = 0;                     // the client's address of the URB
    int endpoint = 0;
    int length = 0;
    int done = 0;
    int status = 0;
    bool discarded = false;
    size_t record = 0;  // index into the bed's URB log (absolute)
    ~Urb();
};

// One open file of a node.
struct Client {
    UMockdevIoctlClient* client = nullptr;  // held
    Node* node = nullptr;                   // nodes live as long as the bed

    std::mutex m;
    std::condition_variable cv;  // URB submitted, or the file closed
    int handle = -1;             // the model's handle, opened at the first call that needs it
    bool closed = false;         // the file was closed
    bool gone = false;           // the device left while this file was open
    std::deque<std::shared_ptr<Urb>> pending;    // submitted, in order
    std::deque<std::shared_ptr<Urb>> completed;  // waiting to be reaped
    UMockdevIoctlClient* parked = nullptr;       // a reap waiting for a completion (held)
    UMockdevIoctlData* parked_arg = nullptr;
    bool parked_blocking = false;
    uint64_t park_token = 0;
    bool idle = true;  // no IN URB pending
    Clock::time_point idle_since{};
    bool idle_after_data = false;  // the queue ran empty after delivering data
    std::thread pump;

    ~Client();
};

// The shared state of the bed (one per process).
struct State {
    UMockdevTestbed* testbed = nullptr;
    Clock::time_point origin = Clock::now();

    mutable std::mutex nodes_m;                // nodes, clients (the maps), next_devnum
    std::vector<std::unique_ptr<Node>> nodes;  // every node ever made
    std::map<uint64_t, Node*> live;            // uid -> node present now
    std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients;
    std::vector<std::shared_ptr<Client>> closed;  // pumps to join
    int next_devnum = 2;

    mutable std::mutex records_m;
    std::deque<UrbRecord> urbs;
    size_t urbs_dropped = 0;  // records that fell off the front
    QueueStats stats;
    IoctlCounts counts;
    int reap_wait_us = 1000;
    long long stream_budget = -1;  // bytes the board may still send; -1: no limit
    int removal_lag_ms = 0;

    // The executor runs the calls that may block (control requests, claims) off umockdev's thread.
    std::mutex jobs_m;
    std::condition_variable jobs_cv;
    std::deque<std::function<void()>> jobs;

    // Parked non-blocking reaps, answered EAGAIN at their deadline.
    std::mutex timer_m;
    std::condition_variable timer_cv;
    std::multimap<Clock::time_point, std::pair<std::weak_ptr<Client>, uint64_t>> timers;

    std::thread executor, timer, hub;
};

State& state();
double ms_since_origin(Clock::time_point t);

// Node handling (usbfs_bed.cpp).
void sync_nodes();

// URB completion and the pump (usbfs_urbs.cpp). The *_locked calls are made with c.m held.
// Hands a completed URB to the reap of this client whose pointer slot is given.
void deliver(UMockdevIoctlClient* client, UMockdevIoctlData* slot, const std::shared_ptr<Urb>& u);
// Lets go of the client's parked reap, if any; a timer armed for it finds its token stale.
void unpark_locked(Client& c);
void complete_urb_locked(Client& c, std::shared_ptr<Urb> u, int status);
// The thread of an open file that fills its URBs from the board, until the file is closed.
void pump(std::shared_ptr<Client> cp);

// Ioctl handling (usbfs_client.cpp).
// Completes the client's current ioctl with this result and errno.
void finish(UMockdevIoctlClient* client, long result, int err);
// The errno that usbfs gives for a model error.
int errno_of(usbsim::detail::Err e);
void attach_handlers(Node* node);
// The file of this client was closed: its URBs go, its model handle closes (releasing claims).
void close_client(UMockdevIoctlClient* client);
void run_timer_thread();

}  // namespace detail
}  // namespace usbfs
