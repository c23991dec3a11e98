// A process that never builds a world through the C++ API gets one on its first usb_init: the
// scene file named by USBSIM_SCENE, or the built-in default. Run twice by CTest, with and
// without the variable (and with the trace on in the second run).
#include <gtest/gtest.h>
#include <usb.h>

#include <cstdlib>
#include <string>

#include "usbsim.h"

namespace {
std::vector<struct usb_device*> listed() {
    std::vector<struct usb_device*> out;
    for (struct usb_bus* b = usb_get_busses(); b; b = b->next)
        for (struct usb_device* d = b->devices; d; d = d->next)
            out.push_back(d);
    return out;
}
}  // namespace

TEST(DefaultWorld, FirstInitPopulatesTheWorld) {
    usb_init();
    EXPECT_GT(usb_find_busses(), 0);
    EXPECT_GT(usb_find_devices(), 0);
    auto all = listed();
    usbsim::World& w = usbsim::World::instance();
    if (std::getenv("USBSIM_SCENE")) {
        ASSERT_EQ(all.size(), 3u);  // two_buses.scene
        EXPECT_TRUE(w.firmware_running(0));
        usb_dev_handle* h = usb_open(all[1]);
        ASSERT_NE(h, nullptr);
        char d[4] = {0, 0, 0, 4};
        testing::internal::CaptureStderr();
        EXPECT_EQ(usb_control_msg(h, 0x40, 0x09, 38, 0x0120, d, 4, 1000), 4);
        std::string trace = testing::internal::GetCapturedStderr();
        EXPECT_NE(
            trace.find("board 0 ctrl type 0x40 req 0x09 SPI_WRITE  value 0x0026 index 0x0120 len 4 "
                       "data 00 00 00 04 -> 4"),
            std::string::npos)
            << trace;
        usb_close(h);
    } else {
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0]->descriptor.idVendor, 0xFFFE);
        EXPECT_EQ(all[0]->descriptor.bcdDevice & 0xFF, 4);
        EXPECT_FALSE(w.firmware_running(0));  // cold: the module loads its images
        EXPECT_EQ(w.eeprom(0, 1)[1], 0x01);   // Basic Rx in both receive slots
        EXPECT_EQ(w.eeprom(0, 3)[1], 0x01);
    }
    EXPECT_EQ(w.usb_init_calls(), 1);
}
