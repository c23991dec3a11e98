// The libusb 0.1 API as Debian's library presents it (<usb.h> layouts, -errno results, errno and
// usb_strerror() text), over the simulated world. Only this file knows the library's types.
#include <usb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "surface.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

using namespace usbsim::detail;

// The library's handle; opaque to its users.
struct usb_dev_handle {
    int id;
    struct usb_device* device;
};

// Declared by <usb.h> outside its extern "C" block; a global variable's name is not mangled.
__attribute__((visibility("default"))) struct usb_bus* usb_busses = nullptr;

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

struct BusBox {
    usb_bus bus;
    int number;
};

struct Surface {
    std::mutex m;
    std::vector<std::unique_ptr<BusBox>> buses;           // listed, in order
    std::map<int, std::vector<DeviceBox*>> devices;       // per bus number, listed
    std::map<const struct usb_device*, uint64_t> uid_of;  // every device struct ever handed out
    // Structs of devices and buses that left the lists: kept (not freed) so that a stale pointer
    // held by a caller stays readable, as it is harmless in the tests that use it.
    std::vector<std::unique_ptr<DeviceBox>> owned_devices;
    std::vector<std::unique_ptr<BusBox>> retired_buses;
    std::mutex error_m;
    char error_text[512] = "No error";
};

Surface& surface() {
    static Surface* s = new Surface;
    return *s;
}

int errno_of(Err e) {
    switch (e) {
        case Err::none: return 0;
        case Err::stall: return EPIPE;
        case Err::timeout: return ETIMEDOUT;
        case Err::io: return EIO;
        case Err::nodev: return ENODEV;
        case Err::busy: return EBUSY;
        case Err::inval: return EINVAL;
        case Err::badf: return EBADF;
        case Err::noent: return ENOENT;
    }
    return EIO;
}

// The library keeps one error text for the whole process, unguarded: a failure on one thread
// rewrites the text that another thread may be reading after a failure of its own (the module's
// transfer thread and its worker both call the library). Writers here take a lock, but a reader
// holds only the pointer usb_strerror() gave it, so ThreadSanitizer sees the race the real
// library has; tests/tsan.supp names this function for that one report.
__attribute__((noinline)) void record_library_error_text(Surface& s, const char* text) {
    std::lock_guard<std::mutex> lk(s.error_m);
    std::snprintf(s.error_text, sizeof s.error_text, "%s", text);
}

// Sets errno and the error text as the library does for a failed system call; returns -errno.
template <class... A> int fail(Err e, const char* format, A... args) {
    const int code = errno_of(e);
    char text[sizeof surface().error_text];
    std::snprintf(text, sizeof text, format, args..., std::strerror(code));
    record_library_error_text(surface(), text);
    errno = code;
    return -code;
}

DeviceBox* make_device(usb_bus* bus, const DeviceEntry& e) {
    auto box = std::make_unique<DeviceBox>();
    std::memset(static_cast<void*>(box.get()), 0, sizeof(DeviceBox));
    DeviceBox* d = box.get();
    d->uid = e.uid;
    std::snprintf(d->dev.filename, sizeof d->dev.filename, "%03d", e.devnum);
    d->dev.bus = bus;
    usb_device_descriptor& dd = d->dev.descriptor;
    dd.bLength = USB_DT_DEVICE_SIZE;
    dd.bDescriptorType = USB_DT_DEVICE;
    dd.bcdUSB = 0x0200;
    dd.bDeviceClass = 0xFF;
    dd.bMaxPacketSize0 = 64;
    dd.idVendor = e.vendor;
    dd.idProduct = e.product;
    dd.bcdDevice = e.bcd;
    dd.bNumConfigurations = 1;
    dd.iSerialNumber = e.has_serial ? 3 : 0;
    d->dev.devnum = uint8_t(e.devnum);
    d->dev.config = &d->config;

    const bool board = e.vendor == 0xFFFE && e.product == 0x0002;
    const int nif = board ? 3 : 1;
    d->config.bLength = USB_DT_CONFIG_SIZE;
    d->config.bDescriptorType = USB_DT_CONFIG;
    d->config.bNumInterfaces = uint8_t(nif);
    d->config.bConfigurationValue = 1;
    d->config.bmAttributes = 0x80;
    d->config.MaxPower = 100;
    d->config.interface = d->interfaces;
    int total = USB_DT_CONFIG_SIZE;
    for (int i = 0; i < nif; ++i) {
        usb_interface_descriptor& a = d->alts[i];
        a.bLength = USB_DT_INTERFACE_SIZE;
        a.bDescriptorType = USB_DT_INTERFACE;
        a.bInterfaceNumber = uint8_t(i);
        a.bInterfaceClass = 0xFF;
        // Interface 1 transmits on endpoint 2 OUT, interface 2 receives on endpoint 6 IN.
        if (board && i > 0) {
            usb_endpoint_descriptor& ep = d->endpoints[i - 1];
            ep.bLength = USB_DT_ENDPOINT_SIZE;
            ep.bDescriptorType = USB_DT_ENDPOINT;
            ep.bEndpointAddress = i == 1 ? 0x02 : 0x86;
            ep.bmAttributes = USB_ENDPOINT_TYPE_BULK;
            ep.wMaxPacketSize = 512;
            a.bNumEndpoints = 1;
            a.endpoint = &ep;
            total += USB_DT_ENDPOINT_SIZE;
        }
        total += USB_DT_INTERFACE_SIZE;
        d->interfaces[i].altsetting = &a;
        d->interfaces[i].num_altsetting = 1;
    }
    d->config.wTotalLength = uint16_t(total);
    surface().uid_of[&d->dev] = e.uid;
    surface().owned_devices.push_back(std::move(box));
    return d;
}

void link_buses(Surface& s) {
    usb_bus* prev = nullptr;
    for (auto& b : s.buses) {
        b->bus.prev = prev;
        b->bus.next = nullptr;
        if (prev)
            prev->next = &b->bus;
        prev = &b->bus;
    }
    usb_busses = s.buses.empty() ? nullptr : &s.buses.front()->bus;
}

int find_busses(bool counted) {
    std::vector<int> numbers;
    const int changes = api_find_busses(numbers, counted);
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    std::vector<std::unique_ptr<BusBox>> next;
    for (int n : numbers) {
        std::unique_ptr<BusBox> box;
        for (auto& old : s.buses)
            if (old && old->number == n)
                box = std::move(old);
        if (!box) {
            box = std::make_unique<BusBox>();
            std::memset(static_cast<void*>(box.get()), 0, sizeof(BusBox));
            box->number = n;
            std::snprintf(box->bus.dirname, sizeof box->bus.dirname, "%03d", n);
            box->bus.location = uint32_t(n);
        }
        next.push_back(std::move(box));
    }
    for (auto& old : s.buses)
        if (old)
            s.retired_buses.push_back(std::move(old));
    s.buses = std::move(next);
    link_buses(s);
    if (changes < 0)
        return fail(Err::noent, "couldn't opendir(): %s");
    return changes;
}

int find_devices(bool counted) {
    std::vector<BusEntry> listing;
    const int changes = api_find_devices(listing, counted);
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    for (auto& bus : s.buses) {
        std::vector<DeviceBox*>& list = s.devices[bus->number];
        std::vector<DeviceBox*> next;
        for (const BusEntry& e : listing) {
            if (e.number != bus->number)
                continue;
            for (const DeviceEntry& de : e.devices) {
                DeviceBox* found = nullptr;
                for (DeviceBox* d : list)
                    if (d->uid == de.uid)
                        found = d;
                next.push_back(found ? found : make_device(&bus->bus, de));
            }
        }
        list = next;
        struct usb_device* prev = nullptr;
        for (DeviceBox* d : list) {
            d->dev.prev = prev;
            d->dev.next = nullptr;
            if (prev)
                prev->next = &d->dev;
            prev = &d->dev;
        }
        bus->bus.devices = list.empty() ? nullptr : &list.front()->dev;
    }
    return changes;
}

int result(Result r, int ok, Err* err) {
    *err = r.err;
    return r.err == Err::none ? ok : -errno_of(r.err);
}

}  // namespace

namespace usbsim {
namespace detail {

void surface_reset() {
    Surface& s = surface();
    std::lock_guard<std::mutex> lk(s.m);
    for (auto& b : s.buses)
        s.retired_buses.push_back(std::move(b));
    s.buses.clear();
    s.devices.clear();
    usb_busses = nullptr;
}

void surface_rescan() {
    find_busses(false);
    find_devices(false);
}

int surface_error_code(Err err) {
    return -errno_of(err);
}

}  // namespace detail
}  // namespace usbsim

SIM_EXPORT void usb_init(void) {
    api_init();
}

SIM_EXPORT void usb_set_debug(int) {}

SIM_EXPORT int usb_find_busses(void) {
    return find_busses(true);
}

SIM_EXPORT int usb_find_devices(void) {
    return find_devices(true);
}

SIM_EXPORT struct usb_bus* usb_get_busses(void) {
    return usb_busses;
}

SIM_EXPORT usb_dev_handle* usb_open(struct usb_device* dev) {
    uint64_t uid;
    {
        Surface& s = surface();
        std::lock_guard<std::mutex> lk(s.m);
        auto it = s.uid_of.find(dev);
        if (it == s.uid_of.end())
            return nullptr;
        uid = it->second;
    }
    const int id = api_open(uid);
    if (id < 0)
        return nullptr;
    return new usb_dev_handle{id, dev};
}

SIM_EXPORT int usb_close(usb_dev_handle* h) {
    if (!h)
        return -EINVAL;
    api_close(h->id);
    delete h;
    return 0;
}

SIM_EXPORT struct usb_device* usb_device(usb_dev_handle* h) {
    return h ? h->device : nullptr;
}

SIM_EXPORT int usb_set_configuration(usb_dev_handle* h, int configuration) {
    Err e;
    int r = result(api_set_configuration(h->id, configuration), 0, &e);
    if (e != Err::none)
        return fail(e, "could not set config %d: %s", configuration);
    return r;
}

SIM_EXPORT int usb_claim_interface(usb_dev_handle* h, int interface) {
    Err e;
    int r = result(api_claim_interface(h->id, interface), 0, &e);
    if (e != Err::none)
        return fail(e, "could not claim interface %d: %s", interface);
    return r;
}

SIM_EXPORT int usb_release_interface(usb_dev_handle* h, int interface) {
    Err e;
    int r = result(api_release_interface(h->id, interface), 0, &e);
    if (e != Err::none)
        return fail(e, "could not release intf %d: %s", interface);
    return r;
}

SIM_EXPORT int usb_set_altinterface(usb_dev_handle* h, int alternate) {
    Err e;
    int r = result(api_set_altinterface(h->id, alternate), 0, &e);
    if (e != Err::none)
        return fail(e, "could not set alt intf %d: %s", alternate);
    return r;
}

SIM_EXPORT int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value,
                               int index, char* bytes, int size, int timeout) {
    Result r = api_control(h->id, requesttype & 0xFF, request & 0xFF, value & 0xFFFF,
                           index & 0xFFFF, reinterpret_cast<uint8_t*>(bytes), size, timeout);
    if (r.err != Err::none)
        return fail(r.err, "error sending control message: %s");
    return r.value;
}

static int bulk(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    Result r = api_bulk(h->id, ep & 0xFF, reinterpret_cast<uint8_t*>(bytes), size, timeout);
    // A time-out leaves errno and the error text alone.
    if (r.err == Err::timeout)
        return -ETIMEDOUT;
    if (r.err != Err::none)
        return fail(r.err, "error submitting URB: %s");
    return r.value;
}

SIM_EXPORT int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    return bulk(h, ep | USB_ENDPOINT_IN, bytes, size, timeout);
}

SIM_EXPORT int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout) {
    return bulk(h, ep, const_cast<char*>(bytes), size, timeout);
}

// As the library does it: the first language of string descriptor 0, then the string in that
// language, its UTF-16 reduced to ASCII ('?' for anything else).
SIM_EXPORT int usb_get_string_simple(usb_dev_handle* h, int index, char* buf, size_t buflen) {
    char tbuf[255];
    int r = usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, USB_DT_STRING << 8, 0, tbuf,
                            sizeof tbuf, 1000);
    if (r < 0)
        return r;
    if (r < 4) {
        errno = EIO;
        return -EIO;
    }
    const int langid = (tbuf[2] & 0xFF) | ((tbuf[3] & 0xFF) << 8);
    r = usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + index,
                        langid, tbuf, sizeof tbuf, 1000);
    if (r < 0)
        return r;
    if (tbuf[1] != USB_DT_STRING)
        return -EIO;
    if ((tbuf[0] & 0xFF) > r)
        return -EFBIG;
    size_t di = 0;
    for (int si = 2; si < (tbuf[0] & 0xFF) && di + 1 < buflen; si += 2)
        buf[di++] = tbuf[si + 1] ? '?' : tbuf[si];
    if (buflen > 0)
        buf[di] = 0;
    return int(di);
}

SIM_EXPORT int usb_clear_halt(usb_dev_handle*, unsigned int) {
    return 0;
}

SIM_EXPORT int usb_resetep(usb_dev_handle*, unsigned int) {
    return 0;
}

SIM_EXPORT char* usb_strerror(void) {
    return surface().error_text;
}
