#include "usbfs_usb_util.h"

namespace usbfs_test {

usb_dev_handle* open_rx(struct usb_device* d) {
    usb_dev_handle* h = d ? usb_open(d) : nullptr;
    if (!h)
        return nullptr;
    usb_set_configuration(h, 1);
    if (usb_claim_interface(h, 2) < 0 || usb_set_altinterface(h, 0) < 0) {
        usb_close(h);
        return nullptr;
    }
    return h;
}

int write_reg(usb_dev_handle* h, int reg, uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return usb_control_msg(h, 0x40, 0x09, reg, 0x0120, b, 4, 1000);
}

}  // namespace usbfs_test
