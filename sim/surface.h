// What a USB library surface (libusb 0.1 on Linux, later libusb-win32) calls in the model, and
// what the model calls back. Errors come back as kinds; each surface turns them into its own
// library's codes and texts.
#pragma once

#include <cstdint>
#include <vector>

namespace usbsim {
namespace detail {

enum class Err {
    none,
    stall,    // the device stalled the request
    timeout,  // nothing within the time-out
    io,       // any other transfer failure
    nodev,    // the device has left the bus
    busy,     // the interface is claimed through another handle
    inval,    // an argument the library or kernel refuses
    badf,     // the handle was opened on a device that was already gone
    noent,    // no such endpoint
};

struct Result {
    int value = 0;  // bytes moved (or 0) when err is none
    Err err = Err::none;
};

struct DeviceEntry {
    uint64_t uid;  // one enumeration of one device; a re-enumerated board gets a new one
    uint16_t vendor, product, bcd;
    int devnum;
    bool has_serial;  // a board: its serial-number string is string descriptor 3
};

struct BusEntry {
    int number;  // 1, 2, ...
    std::vector<DeviceEntry> devices;
};

void api_init();
// Changes of the bus list since the last scan, or -1 when the world has no bus at all (no USB
// file system). counted: the call counts as a usb_find_busses call.
int api_find_busses(std::vector<int>& buses, bool counted);
// Changes of the device lists since the last scan; the listing as it is now.
int api_find_devices(std::vector<BusEntry>& listing, bool counted);
// A handle id, or -1 when an injected fault makes the open fail.
int api_open(uint64_t uid);
Result api_close(int handle);
Result api_set_configuration(int handle, int configuration);
Result api_claim_interface(int handle, int interface);
Result api_release_interface(int handle, int interface);
Result api_set_altinterface(int handle, int alternate);
Result api_control(int handle, int type, int request, int value, int index, uint8_t* data,
                   int length, int timeout_ms);
// ep carries the direction bit (0x80: IN).
Result api_bulk(int handle, int ep, uint8_t* data, int length, int timeout_ms);

// Implemented by the surface: forget every listed bus and device (the world was reset), and
// rescan without counting (World::rescan).
void surface_reset();
void surface_rescan();
// The surface's return value for an error (negative), as recorded in the logs.
int surface_error_code(Err err);

}  // namespace detail
}  // namespace usbsim
