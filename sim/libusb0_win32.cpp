// The libusb-win32 API (libusb0.dll 1.2.x) over the simulated world: packed structures, cdecl
// calls under plain names, one virtual bus "bus-0", errno-style negative results with the
// library's Windows mapping (a stall, an I/O failure or a vanished device is -5, a time-out -116),
// errno never touched, the error text kept for usb_strerror(). The asynchronous calls are in
// libusb0_win32_async.cpp.
#include "libusb0_win32.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using namespace usbsim::detail;

namespace {

// A device with its descriptors, allocated in one piece.
struct DeviceBox {
    struct usb_device dev;
    usb_config_descriptor config;
    usb_interface interfaces[3];
    usb_interface_descriptor alts[3];
    usb_endpoint_descriptor endpoints[2];
    uint64_t uid;
};

struct Surface {
    std::mutex m;
    usb_bus bus;             // the one virtual bus
    struct usb_device root;  // its "virtual-hub"
    bool bus_listed = false;
    std::vector<DeviceBox*> devices;  // listed, in order
    std::map<const struct usb_device*, uint64_t> uid_of;
    // Structs of devices that left the list are kept so that a stale pointer stays readable.
    std::vector<std::unique_ptr<DeviceBox>> owned;
    std::mutex error_m;
    char error_text[512] = "";
};

Surface& surface() {
    static Surface* s = [] {
        auto* x = new Surface;
        std::memset(static_cast<void*>(&x->bus), 0, sizeof x->bus);
        std::memset(static_cast<void*>(&x->root), 0, sizeof x->root);
        std::snprintf(x->bus.dirname, sizeof x->bus.dirname, "bus-0");
        std::snprintf(x->root.filename, sizeof x->root.filename, "virtual-hub");
        x->root.descriptor.bLength = 18;
        x->root.descriptor.bDescriptorType = 1;
        x->root.descriptor.bDeviceClass = 9;  // hub
        x->root.bus = &x->bus;
        x->bus.root_dev = &x->root;
        return x;
    }();
    return *s;
}

// What the driver reports, as GetLastError() would give it, and its text.
const char* windows_text(Err e) {
    switch (e) {
        case Err::timeout: return "The semaphore timeout period has expired.";
        case Err::inval: return "The parameter is incorrect.";
        case Err::nodev: return "The device is not connected.";
        default: return "A device attached to the system is not functioning.";
    }
}

DeviceBox* make_device(const DeviceEntry& e, int slot) {
    auto box = std::make_unique<DeviceBox>();
    std::memset(static_cast<void*>(box.get()), 0, sizeof(DeviceBox));
    DeviceBox* d = box.get();
    d->uid = e.uid;
    std::snprintf(d->dev.filename, sizeof d->dev.filename, "\\\\.\\libusb0-%04d--0x%04x-0x%04x",
                  slot, e.vendor, e.product);
    d->dev.bus = &surface().bus;
    usb_device_descriptor& dd = d->dev.descriptor;
    dd.bLength = 18;
    dd.bDescriptorType = 1;
    dd.bcdUSB = 0x0200;
    dd.bDeviceClass = 0xFF;
    dd.bMaxPacketSize0 = 64;
    dd.idVendor = e.vendor;
    dd.idProduct = e.product;
    dd.bcdDevice = e.bcd;
    dd.bNumConfigurations = 1;
    d->dev.devnum = static_cast<unsigned char>(slot);
    d->dev.config = &d->config;

    const bool board = e.vendor == 0xFFFE && e.product == 0x0002;
    const int nif = board ? 3 : 1;
    d->config.bLength = 9;
    d->config.bDescriptorType = 2;
    d->config.bNumInterfaces = static_cast<unsigned char>(nif);
    d->config.bConfigurationValue = 1;
    d->config.bmAttributes = 0x80;
    d->config.MaxPower = 100;
    d->config.interfaces = d->interfaces;
    int total = 9;
    for (int i = 0; i < nif; ++i) {
        usb_interface_descriptor& a = d->alts[i];
        a.bLength = 9;
        a.bDescriptorType = 4;
        a.bInterfaceNumber = static_cast<unsigned char>(i);
        a.bInterfaceClass = 0xFF;
        if (board && i > 0) {
            usb_endpoint_descriptor& ep = d->endpoints[i - 1];
            ep.bLength = 7;
            ep.bDescriptorType = 5;
            ep.bEndpointAddress = i == 1 ? 0x02 : 0x86;
            ep.bmAttributes = 2;  // bulk
            ep.wMaxPacketSize = 512;
            a.bNumEndpoints = 1;
            a.endpoint = &ep;
            total += 7;
        }
        total += 9;
        d->interfaces[i].altsetting = &a;
        d->interfaces[i].num_altsetting = 1;
    }
    d->config.wTotalLength = static_cast<unsigned short>(total);
    surface().uid_of[&d->dev] = e.uid;
    surface().owned.push_back(std::move(box));
    return d;
}

int find_busses(bool counted) {
    std::vector<int> numbers;
    api_find_busses(numbers, counted);
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    // One virtual bus, whatever the machine has.
    const int changes = s.bus_listed ? 0 : 1;
    s.bus_listed = true;
    return changes;
}

int find_devices(bool counted) {
    std::vector<BusEntry> listing;
    const int changes = api_find_devices(listing, counted);
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    std::vector<DeviceBox*> next;
    int slot = 0;
    for (const BusEntry& b : listing) {
        for (const DeviceEntry& de : b.devices) {
            ++slot;
            DeviceBox* found = nullptr;
            for (DeviceBox* d : s.devices)
                if (d->uid == de.uid)
                    found = d;
            next.push_back(found ? found : make_device(de, slot));
        }
    }
    s.devices = next;
    struct usb_device* prev = nullptr;
    for (DeviceBox* d : s.devices) {
        d->dev.prev = prev;
        d->dev.next = nullptr;
        if (prev)
            prev->next = &d->dev;
        prev = &d->dev;
    }
    s.bus.devices = s.devices.empty() ? nullptr : &s.devices.front()->dev;
    return changes;
}

}  // namespace

namespace usbsim {
namespace detail {

int win32_error_code(Err e) {
    switch (e) {
        case Err::none: return 0;
        case Err::timeout: return -WIN32_ETRANSFER_TIMEDOUT;
        case Err::inval: return -22;  // EINVAL
        default: return -5;           // EIO: whatever else the driver reports
    }
}

int win32_fail(const char* where, const char* what, Err e) {
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.error_m);
    std::snprintf(s.error_text, sizeof s.error_text, "libusb0-dll:err [%s] %s, win error: %s",
                  where, what, windows_text(e));
    return win32_error_code(e);
}

void win32_set_error_text(const char* text) {
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.error_m);
    std::snprintf(s.error_text, sizeof s.error_text, "%s", text);
}

int handle_id(usb_dev_handle* h);

void surface_reset() {
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    s.devices.clear();
    s.bus.devices = nullptr;
    s.bus_listed = false;
}

void surface_rescan() {
    find_busses(false);
    find_devices(false);
}

int surface_error_code(Err err) {
    return win32_error_code(err);
}

}  // namespace detail
}  // namespace usbsim

// The library's handle; opaque to its users.
struct usb_dev_handle {
    int id;
    struct usb_device* device;
};

int usbsim::detail::handle_id(usb_dev_handle* h) {
    return h->id;
}

SIM_WIN32_EXPORT void usb_init(void) {
    api_init();
}

SIM_WIN32_EXPORT void usb_set_debug(int) {}

SIM_WIN32_EXPORT int usb_find_busses(void) {
    return find_busses(true);
}

SIM_WIN32_EXPORT int usb_find_devices(void) {
    return find_devices(true);
}

SIM_WIN32_EXPORT struct usb_bus* usb_get_busses(void) {
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    return s.bus_listed ? &s.bus : nullptr;
}

SIM_WIN32_EXPORT usb_dev_handle* usb_open(struct usb_device* dev) {
    uint64_t uid;
    {
        Surface& s = surface();
        std::lock_guard<std::mutex> lk(s.m);
        auto it = s.uid_of.find(dev);
        if (it == s.uid_of.end()) {
            win32_fail("usb_open", "invalid device", Err::inval);
            return nullptr;
        }
        uid = it->second;
    }
    const int id = api_open(uid);
    if (id < 0) {
        win32_fail("usb_open", "failed to open device", Err::nodev);
        return nullptr;
    }
    return new usb_dev_handle{id, dev};
}

SIM_WIN32_EXPORT int usb_close(usb_dev_handle* h) {
    if (!h)
        return -22;
    api_close(h->id);
    delete h;
    return 0;
}

SIM_WIN32_EXPORT struct usb_device* usb_device(usb_dev_handle* h) {
    return h ? h->device : nullptr;
}

SIM_WIN32_EXPORT int usb_set_configuration(usb_dev_handle* h, int configuration) {
    Result r = api_set_configuration(h->id, configuration);
    if (r.err != Err::none)
        return win32_fail("usb_set_configuration", "could not set config", r.err);
    return 0;
}

SIM_WIN32_EXPORT int usb_claim_interface(usb_dev_handle* h, int interface_number) {
    Result r = api_claim_interface(h->id, interface_number);
    if (r.err != Err::none)
        return win32_fail("usb_claim_interface", "could not claim interface", r.err);
    return 0;
}

SIM_WIN32_EXPORT int usb_release_interface(usb_dev_handle* h, int interface_number) {
    Result r = api_release_interface(h->id, interface_number);
    if (r.err != Err::none)
        return win32_fail("usb_release_interface", "could not release interface", r.err);
    return 0;
}

SIM_WIN32_EXPORT int usb_set_altinterface(usb_dev_handle* h, int alternate) {
    Result r = api_set_altinterface(h->id, alternate);
    if (r.err != Err::none)
        return win32_fail("usb_set_altinterface", "could not set alt interface", r.err);
    return 0;
}

// A time-out of 0 or less becomes the driver's default of 5000 ms.
SIM_WIN32_EXPORT int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value,
                                     int index, char* bytes, int size, int timeout) {
    Result r =
        api_control(h->id, requesttype & 0xFF, request & 0xFF, value & 0xFFFF, index & 0xFFFF,
                    reinterpret_cast<uint8_t*>(bytes), size, timeout > 0 ? timeout : 5000);
    if (r.err != Err::none)
        return win32_fail("usb_control_msg", "sending control message failed", r.err);
    return r.value;
}

namespace {

// Synchronous bulk transfers; a time-out of 0 waits for ever. The model reports a stalled bulk
// endpoint as no data and no error (as Debian's library does); the driver here fails it.
int bulk(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    Result r = api_bulk(h->id, ep & 0xFF, reinterpret_cast<uint8_t*>(bytes), size, timeout);
    if (r.err == Err::none && r.value == 0 && size > 0)
        r.err = Err::stall;
    if (r.err != Err::none)
        return win32_fail("_usb_transfer_sync", "transfer failed", r.err);
    return r.value;
}

}  // namespace

SIM_WIN32_EXPORT int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    return bulk(h, ep | 0x80, bytes, size, timeout);
}

SIM_WIN32_EXPORT int usb_bulk_write(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    return bulk(h, ep & 0x7F, bytes, size, timeout);
}

SIM_WIN32_EXPORT int usb_clear_halt(usb_dev_handle*, unsigned int) {
    return 0;
}

SIM_WIN32_EXPORT int usb_resetep(usb_dev_handle*, unsigned int) {
    return 0;
}

SIM_WIN32_EXPORT char* usb_strerror(void) {
    return surface().error_text;
}
