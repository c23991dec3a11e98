// The consistency check of usrp_open_interface: a handle that does not refer to the device asked
// for stops the process. The simulated library never hands out such a handle, so this program is
// linked with usb_device() wrapped (-Wl,--wrap=usb_device), which lets the test make the library
// answer with another device.
#include "prims_fixture.h"

using namespace prims_test;

namespace {
struct usb_device* substitute = nullptr;
}

extern "C" struct usb_device* __real_usb_device(usb_dev_handle* h);
extern "C" struct usb_device* __wrap_usb_device(usb_dev_handle* h) {
    return substitute ? substitute : __real_usb_device(h);
}

namespace {

class OpenCheck : public SimTest {
  protected:
    void TearDown() override {
        substitute = nullptr;
        SimTest::TearDown();
    }
};

}  // namespace

TEST_F(OpenCheck, HandleOnAnotherDeviceStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int bus = world.add_bus();
    world.add_board(bus, warm_board(0x0104));
    world.add_board(bus, warm_board(0x0103));
    struct usb_device* first = usrp_find_device(0);
    struct usb_device* second = usrp_find_device(1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_DEATH(
        {
            substitute = second;
            usrp_open_interface(first, CMD_INTERFACE);
        },
        "usrp\\\\host\\\\lib\\\\legacy\\\\usrp_prims:260: internal error!");

    // Without the substitute the same call opens normally (the wrapper forwards).
    usb_dev_handle* h = usrp_open_interface(first, CMD_INTERFACE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_device(h), first);
    usb_close(h);
}
