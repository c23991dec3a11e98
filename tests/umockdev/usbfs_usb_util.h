// Direct libusb 0.1 calls shared by the tests that talk to the emulated board without the module.
#pragma once

#include <usb.h>

#include <cstdint>

namespace usbfs_test {

// Opens the receive interface (configuration 1, interface 2, alternate setting 0); null on failure.
usb_dev_handle* open_rx(struct usb_device* d);

// Writes one FPGA register over SPI (4 bytes, most significant first); the library's result.
int write_reg(usb_dev_handle* h, int reg, uint32_t v);

}  // namespace usbfs_test
