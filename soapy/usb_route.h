// The USB buses of the SoapySDR module: the real one (Debian's libusb 0.1) and the simulated
// board's, both loaded privately into the module, side by side. The module defines the libusb 0.1
// calls of the device layer itself (usb_route.cpp) and passes each one on: a call on a handle to
// the library that opened it, a call on the whole bus (init, rescans, the list, opening a listed
// device, the error text) to the bus of the calling thread.
#pragma once

#include <cstdint>
#include <string>

namespace zalvo_soapy {

struct UsbBus;

// The real library, loaded at the first use (RTLD_LOCAL); null with the reason in `error`.
UsbBus* real_bus(std::string* error);
// The simulated board's (the capture tool's simulator plug-in, RTLD_LOCAL, set up from
// USBSIM_SCENE when set); null with the reason in `error`.
UsbBus* simulated_bus(std::string* error);
bool is_simulated(const UsbBus* bus);
// Sample instants that the simulated board with USB serial `serial` dropped so far (0 on the
// real bus, which does not say).
int64_t samples_dropped(const UsbBus* bus, const std::string& serial);

// The bus of the calling thread: its calls on the whole bus go there. Unset: the real one.
void set_thread_bus(UsbBus* bus);
UsbBus* thread_bus();

// Sets the calling thread's bus for as long as it lives, then restores the one before.
class ThreadBus {
  public:
    explicit ThreadBus(UsbBus* bus) : previous_(thread_bus()) { set_thread_bus(bus); }
    ~ThreadBus() { set_thread_bus(previous_); }
    ThreadBus(const ThreadBus&) = delete;
    ThreadBus& operator=(const ThreadBus&) = delete;

  private:
    UsbBus* previous_;
};

}  // namespace zalvo_soapy
