// An emulated usbfs bus for the real libusb 0.1: a umockdev testbed whose /dev/bus/usb nodes
// mirror the simulated world's buses (usbsim.h), with every usbfs ioctl on a node answered live by
// the simulator's board model.
//
// The process must run with umockdev's preload library in front of the C library (link
// -lumockdev-preload first, or run under umockdev-wrapper). The bed must exist before the USB
// library's usb_init(): that call picks /dev/bus/usb only if it is there and not empty, which the
// bed guarantees by keeping one node on bus 1 at all times once built with a device in the world.
//
// What a node answers:
// - read(): the device and configuration descriptors, as the kernel's usbfs node does;
// - CONNECTINFO, SETCONFIGURATION, CLAIMINTERFACE, RELEASEINTERFACE, SETINTERFACE, CLEAR_HALT,
//   RESETEP: through the model's handle of that open file (opened at its first such call);
// - CONTROL: the model's control request, result as the kernel gives it (-1 and errno: EPIPE for a
//   stall, ETIMEDOUT, ENODEV once the device is gone);
// - SUBMITURB / DISCARDURB / REAPURB / REAPURBNDELAY for bulk endpoints: each URB is filled from
//   the model's stream by a thread of the open file, in submission order, and completes when full;
//   a discarded URB completes with -ENOENT; a removed device completes pending URBs with
//   -ESHUTDOWN and then fails further calls with ENODEV.
//
// Re-enumeration: a board that leaves the bus in the model (firmware start, detach) loses its node
// before the request that caused it returns; a board that joins gets a new node with a new device
// number. Joining is checked after every control request, on World::rescan(), on sync(), and every
// few milliseconds by the bed's own thread (for boards that re-join after a delay).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbfs {

// One URB as the emulated kernel saw it.
struct UrbRecord {
    int endpoint = 0;          // with 0x80 for IN
    int length = 0;            // buffer length submitted
    int actual = 0;            // bytes the URB carried back (IN) or took (OUT)
    int status = 0;            // 0, -ENOENT (discarded), -EPIPE (stall), -ESHUTDOWN (device gone)
    double submitted_ms = 0;   // since the bed was built
    double completed_ms = -1;  // -1: not completed
    double reaped_ms = -1;     // -1: not reaped (the kernel still holds it)
    int reaps = 0;             // times a reap handed it back (1 once reaped)
};

// Timing of the IN endpoint's URB queue: the device can deliver data only while a URB is pending.
struct QueueStats {
    uint64_t urbs = 0;        // IN URBs completed with data
    uint64_t gaps = 0;        // times the queue ran empty and was refilled
    double gap_total_us = 0;  // summed length of those empty spells
    double gap_max_us = 0;
    uint64_t gaps_over_500us = 0;
    uint64_t gaps_over_1ms = 0;
    uint64_t gaps_over_2ms = 0;
    uint64_t max_in_flight = 0;  // most URBs pending at once on the endpoint
    uint64_t reap_polls = 0;     // REAPURBNDELAY calls
};

// Counts of the ioctls the library made, by kind.
struct IoctlCounts {
    uint64_t control = 0, submit = 0, discard = 0, reap = 0, reap_ndelay = 0, claim = 0,
             release = 0, set_interface = 0, set_configuration = 0, connect_info = 0;
};

class Bed {
  public:
    // The process's bed; built at the first call. Aborts the process if umockdev is unusable.
    static Bed& instance();

    // Makes the nodes match the model's buses now.
    void sync();
    // Paths of the nodes that exist now (under /dev/bus/usb, as the library sees them).
    std::vector<std::string> nodes() const;
    // Every node ever made, in order.
    std::vector<std::string> node_history() const;

    std::vector<UrbRecord> urb_log() const;  // the last 100 000 URBs
    QueueStats queue_stats() const;
    IoctlCounts ioctl_counts() const;
    void clear_records();

    // A waiting REAPURBNDELAY is answered when a URB completes or after this long, which is how
    // the library's poll between reaps behaves on a real usbfs file (select() on it wakes when a
    // URB completes, else after 1 ms).
    void set_reap_wait_us(int us);

    // The board sends at most this many more bytes of its stream, then holds it (the URBs stay
    // pending) until the budget is raised; -1: no limit. A budget that is not a whole number of
    // 512-byte packets ends with a short packet, which completes the URB it lands in.
    void set_stream_budget(long long bytes);
    // A device that leaves the bus fails the file's calls with ENODEV at once, but its pending
    // URBs complete (with -ESHUTDOWN) only this much later, as the kernel takes the device down.
    void set_removal_lag_ms(int ms);

    double now_ms() const;

    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

  private:
    Bed();
};

}  // namespace usbfs
