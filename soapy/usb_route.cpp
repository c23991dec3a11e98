// The libusb 0.1 calls of the device layer, defined inside the module (its version script keeps
// them local, so the layer's references bind here at link time, whatever the process has loaded)
// and passed on to the library of the handle or of the calling thread's bus.
#include "usb_route.h"

#include <usb.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#ifndef ZALVO_SOAPY_USB_LIBRARY
#define ZALVO_SOAPY_USB_LIBRARY "libusb-0.1.so.4"
#endif

namespace zalvo_soapy {

struct UsbBus {
    void* library = nullptr;
    bool simulated = false;
    int64_t (*board_dropped)(const char* serial) = nullptr;
    decltype(&::usb_init) init = nullptr;
    decltype(&::usb_find_busses) find_busses = nullptr;
    decltype(&::usb_find_devices) find_devices = nullptr;
    decltype(&::usb_get_busses) get_busses = nullptr;
    decltype(&::usb_strerror) strerror = nullptr;
    decltype(&::usb_open) open = nullptr;
    decltype(&::usb_close) close = nullptr;
    decltype(&::usb_device) device = nullptr;
    decltype(&::usb_set_configuration) set_configuration = nullptr;
    decltype(&::usb_claim_interface) claim_interface = nullptr;
    decltype(&::usb_release_interface) release_interface = nullptr;
    decltype(&::usb_set_altinterface) set_altinterface = nullptr;
    decltype(&::usb_control_msg) control_msg = nullptr;
    decltype(&::usb_bulk_read) bulk_read = nullptr;
    decltype(&::usb_bulk_write) bulk_write = nullptr;
    decltype(&::usb_get_string_simple) get_string_simple = nullptr;
};

namespace {

std::mutex load_lock;
UsbBus* loaded_real = nullptr;
UsbBus* loaded_simulated = nullptr;

// Which library opened each handle that is open.
std::mutex handles_lock;
std::unordered_map<usb_dev_handle*, UsbBus*>& handles() {
    static auto* map = new std::unordered_map<usb_dev_handle*, UsbBus*>();
    return *map;
}

thread_local UsbBus* this_thread_bus = nullptr;

template <class F> bool bind(void* library, const char* name, F* fn, std::string* missing) {
    *fn = reinterpret_cast<F>(dlsym(library, name));
    if (!*fn && missing->empty())
        *missing = name;
    return *fn != nullptr;
}

// Binds every call; false with the first missing name in `missing`.
bool bind_all(UsbBus& b, std::string* missing) {
    void* l = b.library;
    bind(l, "usb_init", &b.init, missing);
    bind(l, "usb_find_busses", &b.find_busses, missing);
    bind(l, "usb_find_devices", &b.find_devices, missing);
    bind(l, "usb_get_busses", &b.get_busses, missing);
    bind(l, "usb_strerror", &b.strerror, missing);
    bind(l, "usb_open", &b.open, missing);
    bind(l, "usb_close", &b.close, missing);
    bind(l, "usb_device", &b.device, missing);
    bind(l, "usb_set_configuration", &b.set_configuration, missing);
    bind(l, "usb_claim_interface", &b.claim_interface, missing);
    bind(l, "usb_release_interface", &b.release_interface, missing);
    bind(l, "usb_set_altinterface", &b.set_altinterface, missing);
    bind(l, "usb_control_msg", &b.control_msg, missing);
    bind(l, "usb_bulk_read", &b.bulk_read, missing);
    bind(l, "usb_bulk_write", &b.bulk_write, missing);
    bind(l, "usb_get_string_simple", &b.get_string_simple, missing);
    return missing->empty();
}

std::string dl_error() {
    const char* why = dlerror();
    return why ? why : "?";
}

// The bus of a handle that is open; the thread's for one that is not (the library answers).
UsbBus* bus_of(usb_dev_handle* h) {
    {
        std::lock_guard<std::mutex> guard(handles_lock);
        auto it = handles().find(h);
        if (it != handles().end())
            return it->second;
    }
    return thread_bus();
}

}  // namespace

UsbBus* real_bus(std::string* error) {
    std::lock_guard<std::mutex> guard(load_lock);
    if (loaded_real)
        return loaded_real;
    void* library = dlopen(ZALVO_SOAPY_USB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        *error = "zalvo: cannot load the USB library " ZALVO_SOAPY_USB_LIBRARY " (" + dl_error() +
                 "); install the package libusb-0.1-4";
        return nullptr;
    }
    auto* bus = new UsbBus();  // kept for the life of the process, as the library is
    bus->library = library;
    std::string missing;
    if (!bind_all(*bus, &missing)) {
        *error = "zalvo: " ZALVO_SOAPY_USB_LIBRARY " has no " + missing;
        delete bus;
        dlclose(library);
        return nullptr;
    }
    bus->init();
    loaded_real = bus;
    return bus;
}

UsbBus* simulated_bus(std::string* error) {
    std::lock_guard<std::mutex> guard(load_lock);
    if (loaded_simulated)
        return loaded_simulated;
    void* library = dlopen(ZALVO_SOAPY_SIM_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        *error = "zalvo: cannot load the simulated board (" + dl_error() + ")";
        return nullptr;
    }
    typedef int (*setup_fn)(const char*, char*, size_t);
    auto setup = reinterpret_cast<setup_fn>(dlsym(library, "zalvo_capture_sim_setup"));
    auto* bus = new UsbBus();
    bus->library = library;
    bus->simulated = true;
    bus->board_dropped = reinterpret_cast<int64_t (*)(const char*)>(
        dlsym(library, "zalvo_capture_sim_board_dropped"));
    std::string missing;
    if (!setup || !bus->board_dropped || !bind_all(*bus, &missing)) {
        *error = std::string("zalvo: ") + ZALVO_SOAPY_SIM_PLUGIN + " is not the simulated board";
        delete bus;
        return nullptr;
    }
    char text[512] = "";
    if (setup("", text, sizeof text) != 0) {  // USBSIM_SCENE, when set
        *error = std::string("zalvo: ") + text;
        delete bus;
        return nullptr;
    }
    // The simulated board takes the build's placeholder images.
    setenv("USRP_PATH", ZALVO_SOAPY_SIM_IMAGES, 0);
    bus->init();
    loaded_simulated = bus;
    return bus;
}

bool is_simulated(const UsbBus* bus) {
    return bus && bus->simulated;
}

int64_t samples_dropped(const UsbBus* bus, const std::string& serial) {
    return bus && bus->board_dropped ? bus->board_dropped(serial.c_str()) : 0;
}

void set_thread_bus(UsbBus* bus) {
    this_thread_bus = bus;
}

UsbBus* thread_bus() {
    if (this_thread_bus)
        return this_thread_bus;
    std::string ignored;
    return real_bus(&ignored);
}

}  // namespace zalvo_soapy

using zalvo_soapy::bus_of;
using zalvo_soapy::thread_bus;

// Without a library (the real one could not be loaded and the thread has no other), every call
// fails as a bus without devices would.
extern "C" {

void usb_init(void) {
    thread_bus();  // loaded and initialised once per bus
}

int usb_find_busses(void) {
    zalvo_soapy::UsbBus* b = thread_bus();
    return b ? b->find_busses() : -ENOENT;
}

int usb_find_devices(void) {
    zalvo_soapy::UsbBus* b = thread_bus();
    return b ? b->find_devices() : 0;
}

struct usb_bus* usb_get_busses(void) {
    zalvo_soapy::UsbBus* b = thread_bus();
    return b ? b->get_busses() : nullptr;
}

char* usb_strerror(void) {
    static char none[] = "no USB library";
    zalvo_soapy::UsbBus* b = thread_bus();
    return b ? b->strerror() : none;
}

usb_dev_handle* usb_open(struct usb_device* dev) {
    zalvo_soapy::UsbBus* b = thread_bus();
    usb_dev_handle* h = b ? b->open(dev) : nullptr;
    if (h) {
        std::lock_guard<std::mutex> guard(zalvo_soapy::handles_lock);
        zalvo_soapy::handles()[h] = b;
    }
    return h;
}

int usb_close(usb_dev_handle* h) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    {
        std::lock_guard<std::mutex> guard(zalvo_soapy::handles_lock);
        zalvo_soapy::handles().erase(h);
    }
    return b ? b->close(h) : -EINVAL;
}

struct usb_device* usb_device(usb_dev_handle* h) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->device(h) : nullptr;
}

int usb_set_configuration(usb_dev_handle* h, int configuration) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->set_configuration(h, configuration) : -EINVAL;
}

int usb_claim_interface(usb_dev_handle* h, int interface) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->claim_interface(h, interface) : -EINVAL;
}

int usb_release_interface(usb_dev_handle* h, int interface) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->release_interface(h, interface) : -EINVAL;
}

int usb_set_altinterface(usb_dev_handle* h, int alternate) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->set_altinterface(h, alternate) : -EINVAL;
}

int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->control_msg(h, requesttype, request, value, index, bytes, size, timeout)
             : -EINVAL;
}

int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->bulk_read(h, ep, bytes, size, timeout) : -EINVAL;
}

int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->bulk_write(h, ep, bytes, size, timeout) : -EINVAL;
}

int usb_get_string_simple(usb_dev_handle* h, int index, char* buf, size_t buflen) {
    zalvo_soapy::UsbBus* b = bus_of(h);
    return b ? b->get_string_simple(h, index, buf, buflen) : -EINVAL;
}

}  // extern "C"
