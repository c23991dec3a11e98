// Shared set-up of the simulator's tests: a fresh world per test, and small helpers that talk to
// it through the USB library calls, as the module does.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>

#include <cstdint>
#include <vector>

#include "usbsim.h"

class SimTest : public ::testing::Test {
  protected:
    usbsim::World& world = usbsim::World::instance();

    void SetUp() override { world.reset(); }
    void TearDown() override { world.reset(); }

    static void rescan() {
        usb_find_busses();
        usb_find_devices();
    }

    // Every device in list order, over all buses.
    static std::vector<struct usb_device*> listed() {
        std::vector<struct usb_device*> out;
        for (struct usb_bus* b = usb_get_busses(); b; b = b->next)
            for (struct usb_device* d = b->devices; d; d = d->next)
                out.push_back(d);
        return out;
    }

    static struct usb_device* nth_board(int nth) {
        for (struct usb_device* d : listed())
            if (d->descriptor.idVendor == 0xFFFE && d->descriptor.idProduct == 0x0002 && nth-- == 0)
                return d;
        return nullptr;
    }

    // Opens the nth board's interface as the module does; null when any step fails.
    static usb_dev_handle* open_board(int nth = 0, int interface = 2) {
        struct usb_device* d = nth_board(nth);
        if (!d)
            return nullptr;
        usb_dev_handle* h = usb_open(d);
        if (!h)
            return nullptr;
        usb_set_configuration(h, 1);
        if (usb_claim_interface(h, interface) < 0 || usb_set_altinterface(h, 0) < 0) {
            usb_close(h);
            return nullptr;
        }
        return h;
    }

    // A vendor request with the type derived from bit 7 of the request.
    static int vendor(usb_dev_handle* h, int request, int value, int index,
                      std::vector<uint8_t>& data) {
        return usb_control_msg(h, 0x40 | (request & 0x80), request, value, index,
                               reinterpret_cast<char*>(data.data()), int(data.size()), 1000);
    }
    static int vendor(usb_dev_handle* h, int request, int value, int index) {
        std::vector<uint8_t> none;
        return vendor(h, request, value, index, none);
    }

    static int ram_write(usb_dev_handle* h, int address, std::vector<uint8_t> bytes) {
        return usb_control_msg(h, 0x40, 0xA0, address, 0, reinterpret_cast<char*>(bytes.data()),
                               int(bytes.size()), 1000);
    }
    static std::vector<uint8_t> ram_read(usb_dev_handle* h, int address, int length) {
        std::vector<uint8_t> out(size_t(length), 0xEE);
        int r = usb_control_msg(h, 0xC0, 0xA0, address, 0, reinterpret_cast<char*>(out.data()),
                                length, 1000);
        if (r < 0)
            out.clear();
        return out;
    }

    static int fpga_write(usb_dev_handle* h, int reg, uint32_t v) {
        std::vector<uint8_t> d = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        return vendor(h, 0x09, reg & 0x7F, 0x0120, d);
    }
    static int codec_write(usb_dev_handle* h, int codec, int reg, uint8_t v) {
        std::vector<uint8_t> d = {v};
        return vendor(h, 0x09, reg & 0x3F, codec ? 0x0420 : 0x0220, d);
    }

    // A warm board on a fresh bus, listed.
    usbsim::BoardId warm_board(usbsim::BoardConfig c = {}) {
        c.warm = true;
        int bus = world.add_bus();
        usbsim::BoardId b = world.add_board(bus, c);
        rescan();
        return b;
    }
};
