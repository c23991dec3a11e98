// Shared by the two files of the simulator's libusb-win32 surface.
#pragma once

#include "surface.h"
#include "win32/usb_win32.h"

#define SIM_WIN32_EXPORT extern "C" __declspec(dllexport)

namespace usbsim {
namespace detail {

enum { WIN32_ETRANSFER_TIMEDOUT = USB_WIN32_ETRANSFER_TIMEDOUT };

// The library's result for an error kind: -116 for a time-out, -22 for a refused argument, -5
// for everything else the driver reports.
int win32_error_code(Err e);
// Records the library's error text for usb_strerror() and returns win32_error_code(e).
int win32_fail(const char* where, const char* what, Err e);
void win32_set_error_text(const char* text);
// The model's id of a library handle.
int handle_id(usb_dev_handle* h);

}  // namespace detail
}  // namespace usbsim
