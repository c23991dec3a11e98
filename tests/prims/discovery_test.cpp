// Discovery over the simulated buses and the opening of interfaces.
#include "prims_fixture.h"

using namespace prims_test;

namespace {

class Discovery : public SimTest {};

uint16_t bcd_of(struct usb_device* dev) {
    return dev ? dev->descriptor.bcdDevice : 0xFFFF;
}

}  // namespace

TEST_F(Discovery, CountsOnlyUsrpsInBusOrder) {
    int b0 = world.add_bus();
    int b1 = world.add_bus();
    int b2 = world.add_bus();
    world.add_other_device(b0, 0x1234, 0x5678);
    world.add_other_device(b0, 0xFFFE, 0x0003, 0x0101);  // same vendor, other product
    world.add_board(b1, warm_board(0x0104));
    world.add_other_device(b1, 0x046D, 0xC52B);
    world.add_other_device(b2, 0x0002, 0xFFFE);  // ids swapped
    world.add_board(b2, warm_board(0x0102));

    struct usb_device* first = usrp_find_device(0);
    struct usb_device* second = usrp_find_device(1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(bcd_of(first), 0x0104);
    EXPECT_EQ(bcd_of(second), 0x0102);
    EXPECT_EQ(usrp_board_revision(first), 4);
    EXPECT_EQ(usrp_board_revision(second), 2);
    EXPECT_EQ(usrp_find_device(2), nullptr);
    EXPECT_EQ(usrp_find_device(-1), nullptr);
    EXPECT_EQ(usrp_find_device(-2), nullptr);

    // The library is initialised once, by the first lookup, in the order init, busses, devices.
    EXPECT_EQ(world.usb_init_calls(), 1);
    EXPECT_EQ(world.find_busses_calls(), 1);
    EXPECT_EQ(world.find_devices_calls(), 1);
    EXPECT_FALSE(usrp_usb_init_pending);
}

TEST_F(Discovery, RevisionIsTheLowByteOfBcdDevice) {
    int bus = world.add_bus();
    world.add_board(bus, warm_board(0x0100));
    world.add_board(bus, warm_board(0x02FF));
    EXPECT_EQ(usrp_board_revision(usrp_find_device(0)), 0);
    EXPECT_EQ(usrp_board_revision(usrp_find_device(1)), 255);
}

TEST_F(Discovery, LateBoardFoundOnlyAfterRescan) {
    int bus = world.add_bus();
    world.add_board(bus, warm_board());
    ASSERT_NE(usrp_find_device(0), nullptr);
    world.add_board(bus, warm_board(0x0103));
    EXPECT_EQ(usrp_find_device(1), nullptr);
    EXPECT_EQ(world.usb_init_calls(), 1);

    usb_find_busses();
    usb_find_devices();
    struct usb_device* late = usrp_find_device(1);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(usrp_board_revision(late), 3);
    EXPECT_EQ(world.usb_init_calls(), 1);
    EXPECT_EQ(world.find_busses_calls(), 2);  // the first lookup's and ours, no more
}

TEST_F(Discovery, OneTimeInitIsSharedThroughTheFlag) {
    usrp_one_time_init();
    usrp_one_time_init();
    EXPECT_EQ(world.usb_init_calls(), 1);
    usrp_find_device(0);
    EXPECT_EQ(world.usb_init_calls(), 1);
    EXPECT_EQ(world.find_devices_calls(), 1);
}

TEST_F(Discovery, OpenSelectsConfigurationClaimsAndCloses) {
    int bus = world.add_bus();
    world.add_board(bus, warm_board());
    struct usb_device* dev = usrp_find_device(0);
    ASSERT_NE(dev, nullptr);
    usb_dev_handle* h = usrp_open_interface(dev, RX_INTERFACE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_device(h), dev);
    EXPECT_EQ(world.open_handles(), 1);
    EXPECT_EQ(world.claimed_interfaces(), 1);
    usb_close(h);

    usb_dev_handle* cmd = open_cmd_interface(dev);
    ASSERT_NE(cmd, nullptr);
    usb_close(cmd);
}

TEST_F(Discovery, NoBoardReportsTheIndex) {
    world.add_bus();
    capture_stderr();
    EXPECT_EQ(open_nth_cmd_interface(0), nullptr);
    EXPECT_EQ(open_nth_cmd_interface(3), nullptr);
    EXPECT_EQ(captured_stderr(), "usrp: failed to find usrp[0]\n"
                                 "usrp: failed to find usrp[3]\n");
}

TEST_F(Discovery, ClaimFailureClosesWithoutRelease) {
    int bus = world.add_bus();
    world.add_board(bus, warm_board());
    struct usb_device* dev = usrp_find_device(0);
    usb_dev_handle* holder = usrp_open_interface(dev, CMD_INTERFACE);
    ASSERT_NE(holder, nullptr);

    // The interface is already claimed through another handle: the second claim fails.
    capture_stderr();
    usb_dev_handle* h = open_nth_cmd_interface(0);
    std::string err = captured_stderr();
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(world.open_handles(), 1);
    EXPECT_EQ(world.claimed_interfaces(), 1);
    const std::string head = "usrp_open_interface:usb_claim_interface: failed interface 0\n";
    ASSERT_EQ(err.compare(0, head.size(), head), 0) << err;
    const std::string tail = "\nopen_nth_cmd_interface: open_cmd_interface failed\n";
    ASSERT_GT(err.size(), head.size() + tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
    usb_close(holder);
}

namespace {

using usbsim::CallRecord;
using usbsim::UsbCall;

std::vector<UsbCall> calls_of(const std::vector<CallRecord>& log) {
    std::vector<UsbCall> out;
    for (const auto& c : log)
        out.push_back(c.call);
    return out;
}

class Opening : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        world.add_board(world.add_bus(), warm_board());
        dev = usrp_find_device(0);
        ASSERT_NE(dev, nullptr);
        world.clear_log();
    }
    struct usb_device* dev = nullptr;
};

}  // namespace

TEST_F(Opening, CallsInOrderOnSuccess) {
    usb_dev_handle* h = usrp_open_interface(dev, RX_INTERFACE);
    ASSERT_NE(h, nullptr);
    auto log = world.call_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(calls_of(log),
              (std::vector<UsbCall>{UsbCall::open, UsbCall::set_configuration,
                                    UsbCall::claim_interface, UsbCall::set_altinterface}));
    EXPECT_EQ(log[1].arg, 1);
    EXPECT_EQ(log[2].arg, RX_INTERFACE);
    EXPECT_EQ(log[3].arg, 0);
    usb_close(h);
}

TEST_F(Opening, OpenFailureIsSilent) {
    world.fail_call(UsbCall::open, usbsim::Fault{usbsim::FaultKind::io_error});
    capture_stderr();
    EXPECT_EQ(usrp_open_interface(dev, CMD_INTERFACE), nullptr);
    EXPECT_EQ(captured_stderr(), "");
    EXPECT_EQ(calls_of(world.call_log()), std::vector<UsbCall>{UsbCall::open});

    world.fail_call(UsbCall::open, usbsim::Fault{usbsim::FaultKind::io_error});
    capture_stderr();
    EXPECT_EQ(open_nth_cmd_interface(0), nullptr);
    EXPECT_EQ(captured_stderr(), "open_nth_cmd_interface: open_cmd_interface failed\n");
}

TEST_F(Opening, FailedSetConfigurationDoesNotStopOpening) {
    world.fail_call(UsbCall::set_configuration, usbsim::Fault{usbsim::FaultKind::io_error});
    capture_stderr();
    usb_dev_handle* h = usrp_open_interface(dev, CMD_INTERFACE);
    EXPECT_EQ(captured_stderr(), "");
    ASSERT_NE(h, nullptr);
    EXPECT_LT(world.call_log()[1].result, 0);
    EXPECT_EQ(world.claimed_interfaces(), 1);
    usb_close(h);
}

TEST_F(Opening, ClaimFailureClosesWithoutRelease) {
    world.fail_call(UsbCall::claim_interface, usbsim::Fault{usbsim::FaultKind::io_error});
    capture_stderr();
    EXPECT_EQ(usrp_open_interface(dev, RX_INTERFACE), nullptr);
    std::string text = usb_strerror();
    EXPECT_EQ(captured_stderr(),
              "usrp_open_interface:usb_claim_interface: failed interface 2\n" + text + "\n");
    EXPECT_EQ(calls_of(world.call_log()),
              (std::vector<UsbCall>{UsbCall::open, UsbCall::set_configuration,
                                    UsbCall::claim_interface, UsbCall::close}));
}

TEST_F(Opening, AltSettingFailureReleasesThenCloses) {
    world.fail_call(UsbCall::set_altinterface, usbsim::Fault{usbsim::FaultKind::io_error});
    capture_stderr();
    EXPECT_EQ(usrp_open_interface(dev, RX_INTERFACE), nullptr);
    std::string text = usb_strerror();
    EXPECT_EQ(captured_stderr(),
              "usrp_open_interface:usb_set_alt_interface: failed\n" + text + "\n");
    auto log = world.call_log();
    EXPECT_EQ(calls_of(log),
              (std::vector<UsbCall>{UsbCall::open, UsbCall::set_configuration,
                                    UsbCall::claim_interface, UsbCall::set_altinterface,
                                    UsbCall::release_interface, UsbCall::close}));
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[4].arg, RX_INTERFACE);
}
