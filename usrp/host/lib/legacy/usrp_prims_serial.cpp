// The board's USB serial-number string (Linux only: the module proper never asks for it).
#include "usrp_prims.h"

std::string usrp_serial(struct usb_device* dev) {
    if (!dev || dev->descriptor.iSerialNumber == 0)
        return "";
    usb_dev_handle* udh = usb_open(dev);
    if (!udh)
        return "";
    char text[128] = "";
    const int n = usb_get_string_simple(udh, dev->descriptor.iSerialNumber, text, sizeof text);
    usb_close(udh);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}
