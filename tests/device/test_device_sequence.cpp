// The construction and teardown of a standard receive path on a warm board, request by request,
// and a failure injected at every construction request.
#include "device_fixture.h"

#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

using namespace devtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class DeviceSequence : public DeviceTest {};

// The full request sequence of create(0, 128, 4, 0, 0, ...) on the fixture's board: slot 1 holds
// a "Basic Rx" EEPROM, slot 3 is empty.
Seq warm_standard_sequence(SlotKind slot1) {
    Seq s = warm_loader();
    append(s, base_construction());
    append(s, basic_rx_setup());
    append(s, probe_slot(1, slot1));
    append(s, probe_slot(3, SlotKind::empty));
    append(s, basic_rx_finish());
    append(s, standard_construction(127, 4));
    return s;
}

TEST_F(DeviceSequence, WarmConstructionAndTeardownRequestByRequest) {
    CaptureStderr();
    std::unique_ptr<usrp_standard_rx> rx(
        usrp_standard_rx::create(0, 128, 4, 0, 0, 0, 0, FPGA_IMAGE, FIRMWARE_IMAGE));
    std::string err = GetCapturedStderr();
    ASSERT_NE(rx, nullptr) << err;
    EXPECT_EQ(err, "");

    EXPECT_TRUE(same_sequence(logged_requests(), warm_standard_sequence(SlotKind::valid)));
    EXPECT_EQ(world().open_handles(), 1);
    EXPECT_EQ(world().claimed_interfaces(), 1);
    EXPECT_EQ(rx->daughterboard_id(0), 1);
    EXPECT_EQ(rx->daughterboard_id(1), DBOARD_ID_NONE);
    EXPECT_FALSE(rx->rx_enabled());

    // Every FPGA register write went through the mirror: it agrees with the board everywhere.
    for (int reg = 0; reg < FPGA_REGISTER_COUNT; reg++)
        EXPECT_EQ(rx->fpga_reg_mirror(reg), world().fpga_register(board, reg)) << "reg " << reg;
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_RX_FORMAT), 0x300u);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_DECIMATION), 127u);
    EXPECT_EQ(world().fpga_register(board, FPGA_REG_RX_MUX), 4u);
    EXPECT_EQ(world().fpga_register(board, 15), 0x0Fu);
    EXPECT_EQ(world().codec_register(board, 1, 4), 0x05);
    EXPECT_EQ(world().codec_register(board, 0, 24), 0x49);

    world().clear_log();
    CaptureStderr();
    rx.reset();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(same_sequence(logged_requests(), basic_rx_teardown()));
    EXPECT_EQ(world().open_handles(), 0);
    EXPECT_EQ(world().claimed_interfaces(), 0);
    EXPECT_EQ(world().codec_register(board, 0, 1), 0x01);
    EXPECT_EQ(world().codec_register(board, 1, 1), 0x01);
}

// What a failure of one construction request leads to.
struct StepOutcome {
    const char* name;
    int count;            // requests of the step
    const char* message;  // the constructor's own line, or null when the failure is ignored
    const char* thrown;   // exception description, or null
    bool list;            // a codec list: every pair is still sent after a failed one
    bool teardown;        // the receive path's teardown runs
    bool slot1_lost;      // the failure makes slot 1 look empty
};

TEST_F(DeviceSequence, FailureAtEveryConstructionRequest) {
    const StepOutcome steps[] = {
        {"loader", 2, nullptr, nullptr, false, false, false},
        {"common codec list", 8, "usrp_basic: failed to init common AD9862 regs\n",
         "runtime_error: usrp_basic/init_9862", true, false, false},
        {"registers 13, 14", 2, nullptr, nullptr, false, false, false},
        {"receive codec list", 12, "usrp_basic_rx: failed to init AD9862 RX regs\n",
         "runtime_error: usrp_basic_rx/init_9862", true, false, false},
        {"disable, reset", 2, nullptr, nullptr, false, false, false},
        // Left held in reset the receive path would never stream.
        {"reset release", 1, "usrp_basic_rx: failed to release the rx path reset\n",
         "runtime_error: usrp_basic_rx/rx_reset", false, false, false},
        {"registers 1, 15", 2, nullptr, nullptr, false, false, false},
        {"slot 1 EEPROM", 2, nullptr, nullptr, false, false, true},
        {"slot 1 registers", 4, nullptr, nullptr, false, false, false},
        {"slot 3 and cleared registers", 9, nullptr, nullptr, false, false, false},
        {"capability read", 1, "usrp_standard_common: failed to read FPGA cap register.\n",
         "runtime_error: usrp_standard_common::ctor", false, true, false},
        {"format", 1, "usrp_standard_rx: set_format failed\n",
         "runtime_error: usrp_standard_rx::ctor", false, true, false},
        {"channel count", 1, "usrp_standard_rx: set_nchannels failed\n",
         "runtime_error: usrp_standard_rx::ctor", false, true, false},
        {"decimation", 1, "usrp_standard_rx: set_decim_rate failed\n",
         "runtime_error: usrp_standard_rx::ctor", false, true, false},
        {"mux", 1, "usrp_standard_rx: set_mux failed\n", "runtime_error: usrp_standard_rx::ctor",
         false, true, false},
        {"mode", 1, "usrp_standard_rx: set_fpga_mode failed\n",
         "runtime_error: usrp_standard_rx::ctor", false, true, false},
        {"frequencies and phases", 8, nullptr, nullptr, false, false, false},
    };

    const Seq full = warm_standard_sequence(SlotKind::valid);
    int total = 0;
    for (const auto& st : steps)
        total += st.count;
    ASSERT_EQ(total, int(full.size())) << "the step table must cover the whole sequence";

    int k = 0;
    for (const auto& st : steps) {
        const int step_start = k;
        for (int i = 0; i < st.count; i++, k++) {
            // A failed hash fetch makes the loader load the image: that belongs to the loader.
            if (std::string(st.name) == "loader")
                continue;
            SCOPED_TRACE(std::string(st.name) + ", request " + std::to_string(k) + ": " + full[k]);
            install(warm_config());
            world().fail_control_at(k, usbsim::Fault{usbsim::FaultKind::io_error});

            CaptureStderr();
            std::string thrown = thrown_by([this] {
                standard_rx_probe rx(0, 128, 4, 0);
                EXPECT_EQ(world().open_handles(), 1);
            });
            std::string err = GetCapturedStderr();
            EXPECT_NE(err.find("usb_control_msg failed: "), std::string::npos) << err;
            EXPECT_EQ(world().open_handles(), 0);
            EXPECT_EQ(world().claimed_interfaces(), 0);

            const Seq log = logged_requests();
            if (st.message == nullptr) {
                EXPECT_EQ(thrown, "none");
                Seq expected =
                    warm_standard_sequence(st.slot1_lost ? SlotKind::empty : SlotKind::valid);
                if (st.slot1_lost && k == step_start + 1) {
                    // The write went through, the read failed.
                    expected[step_start] = full[step_start];
                    expected.insert(expected.begin() + k, full[k]);
                }
                expected[k] = as_failed(expected[k], -5);
                append(expected, basic_rx_teardown());
                EXPECT_TRUE(same_sequence(log, expected));
                continue;
            }

            EXPECT_EQ(thrown, st.thrown);
            EXPECT_NE(err.find(st.message), std::string::npos) << err;
            // The requests up to the failure (the whole list for a codec list), then only the
            // teardown of what was already built.
            const int sent = st.list ? step_start + st.count : k + 1;
            Seq expected(full.begin(), full.begin() + sent);
            expected[k] = as_failed(expected[k], -5);
            if (st.teardown)
                append(expected, basic_rx_teardown());
            EXPECT_TRUE(same_sequence(log, expected));
        }
    }
}

}  // namespace

namespace {

int thread_count() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        n++;
    }
    return n;
}

// The endpoint's transfer thread ends with the endpoint; waits at most two seconds for it.
bool threads_back_to(int count) {
    for (int i = 0; i < 200 && thread_count() != count; i++)
        usleep(10000);
    return thread_count() == count;
}

TEST_F(DeviceSequence, NothingOutlivesAFailedConstructionOrAStreamedDevice) {
    const int threads_before = thread_count();

    // The endpoint exists when the capability read fails: the teardown must free it.
    world().fail_control_matching({REQ_SPI_READ, 0x80 | FPGA_READBACK_CAPS, 0x0120, {}},
                                  usbsim::Fault{usbsim::FaultKind::io_error});
    CaptureStderr();
    EXPECT_EQ(usrp_standard_rx::create(0, 128, 4, 0, 0, 0, 0, FPGA_IMAGE, FIRMWARE_IMAGE), nullptr);
    GetCapturedStderr();
    EXPECT_EQ(world().open_handles(), 0);
    EXPECT_TRUE(threads_back_to(threads_before)) << thread_count() << " threads";

    // A device that streamed and was destroyed without stopping first.
    install(warm_config());
    {
        std::unique_ptr<usrp_standard_rx> rx(
            usrp_standard_rx::create(0, 128, 4, 0, 0, 0, 0, FPGA_IMAGE, FIRMWARE_IMAGE));
        ASSERT_NE(rx, nullptr);
        ASSERT_TRUE(rx->start_streaming());
        std::vector<char> buf(65536);
        ASSERT_EQ(rx->read(buf.data(), 65536, nullptr), 65536);
        world().clear_log();
    }
    EXPECT_TRUE(same_sequence(logged_requests(), basic_rx_teardown()));
    EXPECT_FALSE(world().rx_enabled(board));
    EXPECT_EQ(world().open_handles(), 0);
    EXPECT_EQ(world().claimed_interfaces(), 0);
    EXPECT_TRUE(threads_back_to(threads_before)) << thread_count() << " threads";
}

}  // namespace
