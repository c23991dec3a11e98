// Discovery, handles and the library's error conventions, through the libusb 0.1 calls.
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "sim_fixture.h"

using namespace usbsim;

TEST_F(SimTest, WithoutAnyBusTheLibraryReportsNoUsbFileSystem) {
    errno = 0;
    EXPECT_EQ(usb_find_busses(), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_STREQ(usb_strerror(), "couldn't opendir(): No such file or directory");
    EXPECT_EQ(usb_find_devices(), 0);
    EXPECT_EQ(usb_get_busses(), nullptr);
}

TEST_F(SimTest, BusesAndDevicesAreListedInOrderWithTheirDescriptors) {
    int b0 = world.add_bus();
    int b1 = world.add_bus();
    world.add_other_device(b0, 0x1234, 0x5678, 0x0100);
    BoardConfig c;
    c.bcd_device = 0x0104;
    world.add_board(b0, c);
    world.add_other_device(b1, 0xFFFE, 0x0003);  // same vendor, other product
    c.bcd_device = 0x0002;
    world.add_board(b1, c);

    usb_init();
    EXPECT_EQ(usb_find_busses(), 2);
    EXPECT_EQ(usb_find_devices(), 4);
    EXPECT_EQ(usb_find_busses(), 0);  // nothing changed since
    EXPECT_EQ(usb_find_devices(), 0);

    struct usb_bus* bus = usb_get_busses();
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus, usb_busses);
    EXPECT_STREQ(bus->dirname, "001");
    ASSERT_NE(bus->next, nullptr);
    EXPECT_EQ(bus->next->location, 2u);
    EXPECT_EQ(bus->next->next, nullptr);

    auto all = listed();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]->descriptor.idVendor, 0x1234);
    EXPECT_EQ(all[1]->descriptor.idVendor, 0xFFFE);
    EXPECT_EQ(all[1]->descriptor.idProduct, 0x0002);
    EXPECT_EQ(all[1]->descriptor.bcdDevice, 0x0104);
    EXPECT_EQ(all[1]->bus, bus);
    EXPECT_EQ(all[2]->descriptor.idProduct, 0x0003);
    EXPECT_EQ(all[3]->descriptor.bcdDevice, 0x0002);
    // The board's configuration: three interfaces, transmit on endpoint 2, receive on 6.
    ASSERT_NE(all[1]->config, nullptr);
    EXPECT_EQ(all[1]->config->bNumInterfaces, 3);
    EXPECT_EQ(all[1]->config->interface[2].altsetting[0].endpoint[0].bEndpointAddress, 0x86);
    EXPECT_EQ(all[1]->config->interface[1].altsetting[0].endpoint[0].bEndpointAddress, 0x02);

    EXPECT_EQ(world.usb_init_calls(), 1);
    EXPECT_EQ(world.find_busses_calls(), 2);
    EXPECT_EQ(world.find_devices_calls(), 2);
}

TEST_F(SimTest, ListsChangeOnlyWhenTheCallerRescans) {
    int bus = world.add_bus();
    BoardId a = world.add_board(bus, {});
    rescan();
    struct usb_device* first = nth_board(0);
    ASSERT_NE(first, nullptr);

    BoardId b = world.add_board(bus, {});
    EXPECT_EQ(nth_board(1), nullptr);  // not before a rescan
    world.detach(a);
    EXPECT_EQ(nth_board(0), first);  // still listed, though gone
    usb_find_busses();
    EXPECT_EQ(usb_find_devices(), 2);  // one left, one came
    ASSERT_NE(nth_board(0), nullptr);
    EXPECT_EQ(nth_board(1), nullptr);
    EXPECT_FALSE(world.on_bus(a));
    EXPECT_TRUE(world.on_bus(b));

    world.attach(a);  // comes back at the next rescan, cold
    EXPECT_EQ(nth_board(1), nullptr);
    rescan();
    EXPECT_NE(nth_board(1), nullptr);
    EXPECT_TRUE(world.on_bus(a));
}

TEST_F(SimTest, HandlesClaimReleaseAndCountWhatIsOpen) {
    world.add_bus();
    world.add_board(0, {});
    rescan();
    struct usb_device* dev = nth_board(0);
    usb_dev_handle* h1 = usb_open(dev);
    usb_dev_handle* h2 = usb_open(dev);
    ASSERT_TRUE(h1 && h2);
    EXPECT_EQ(usb_device(h1), dev);
    EXPECT_EQ(world.open_handles(), 2);

    EXPECT_EQ(usb_set_configuration(h1, 1), 0);
    EXPECT_EQ(usb_set_altinterface(h1, 0), -EINVAL);  // nothing claimed yet
    EXPECT_EQ(usb_claim_interface(h1, 2), 0);
    EXPECT_EQ(usb_claim_interface(h1, 2), 0);  // again through the same handle: fine
    errno = 0;
    EXPECT_EQ(usb_claim_interface(h2, 2), -EBUSY);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(std::string(usb_strerror()), "could not claim interface 2: Device or resource busy");
    EXPECT_EQ(usb_claim_interface(h2, 0), 0);
    EXPECT_EQ(usb_claim_interface(h2, 3), -ENOENT);  // the board has interfaces 0 to 2
    EXPECT_EQ(usb_set_altinterface(h1, 0), 0);
    EXPECT_EQ(usb_set_altinterface(h1, 1), -EINVAL);
    EXPECT_EQ(world.claimed_interfaces(), 2);

    EXPECT_EQ(usb_release_interface(h2, 2), -EINVAL);  // not its claim
    EXPECT_EQ(usb_release_interface(h2, 0), 0);
    EXPECT_EQ(world.claimed_interfaces(), 1);
    usb_close(h1);  // releases its claim
    EXPECT_EQ(world.claimed_interfaces(), 0);
    EXPECT_EQ(usb_claim_interface(h2, 2), 0);
    usb_close(h2);
    EXPECT_EQ(world.open_handles(), 0);
    EXPECT_EQ(world.claimed_interfaces(), 0);

    // The call log keeps the order of everything above.
    auto calls = world.call_log();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].call, UsbCall::open);
    EXPECT_EQ(calls[2].call, UsbCall::set_configuration);
    EXPECT_EQ(calls[2].arg, 1);
    EXPECT_EQ(calls.back().call, UsbCall::close);
}

TEST_F(SimTest, RequestsOnADetachedBoardFailAsOnARemovedDevice) {
    world.add_bus();
    BoardId b = world.add_board(0, {});
    rescan();
    usb_dev_handle* h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    world.detach(b);
    errno = 0;
    EXPECT_EQ(ram_write(h, 0x1000, {1}), -ENODEV);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(std::string(usb_strerror()), "error sending control message: No such device");
    EXPECT_EQ(usb_release_interface(h, 0), -ENODEV);
    usb_close(h);
    EXPECT_EQ(world.open_handles(), 0);

    // Opening the stale device succeeds, as Debian's library does; the next call fails.
    h = usb_open(nth_board(0));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_claim_interface(h, 0), -EBADF);
    usb_close(h);
}

TEST_F(SimTest, DetachAfterATimeTakesEffectAtTheNextCall) {
    world.add_bus();
    BoardId b = world.add_board(0, {});
    rescan();
    usb_dev_handle* h = open_board(0, 0);
    ASSERT_NE(h, nullptr);
    world.detach_after_ms(b, 20);
    EXPECT_EQ(ram_read(h, 0, 4).size(), 4u);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_TRUE(ram_read(h, 0, 4).empty());
    EXPECT_FALSE(world.on_bus(b));
    usb_close(h);
}

TEST_F(SimTest, InjectedCallFaultsFailTheNamedCallOnce) {
    world.add_bus();
    world.add_board(0, {});
    rescan();
    world.fail_call(UsbCall::open, {});
    EXPECT_EQ(usb_open(nth_board(0)), nullptr);
    EXPECT_EQ(world.open_handles(), 0);

    world.fail_call(UsbCall::set_configuration, {FaultKind::io_error});
    world.fail_call(UsbCall::set_altinterface, {FaultKind::stall});
    usb_dev_handle* h = usb_open(nth_board(0));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_set_configuration(h, 1), -EIO);
    EXPECT_EQ(usb_claim_interface(h, 2), 0);
    EXPECT_EQ(usb_set_altinterface(h, 0), -EPIPE);
    EXPECT_EQ(usb_set_altinterface(h, 0), 0);  // once only

    world.fail_call(UsbCall::claim_interface, {FaultKind::detach});
    EXPECT_EQ(usb_claim_interface(h, 0), -ENODEV);
    EXPECT_FALSE(world.on_bus(0));
    usb_close(h);

    auto calls = world.call_log();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].call, UsbCall::open);
    EXPECT_EQ(calls[0].result, -1);
    EXPECT_EQ(calls[2].result, -EIO);
}

TEST_F(SimTest, ResetInvalidatesOldHandlesWithoutBreakingTheirClose) {
    world.add_bus();
    world.add_board(0, {});
    rescan();
    usb_dev_handle* h = open_board();
    ASSERT_NE(h, nullptr);
    world.reset();
    EXPECT_EQ(world.open_handles(), 0);
    EXPECT_EQ(usb_get_busses(), nullptr);
    EXPECT_LT(ram_write(h, 0, {1}), 0);
    usb_close(h);
    EXPECT_EQ(world.open_handles(), 0);
}
