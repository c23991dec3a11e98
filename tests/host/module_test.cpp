// The built module, loaded with dlopen as a host loads it, on the simulated bus: the export
// table, the records, the callbacks and their threads, and whole sessions as seen on the bus.
#include "ZalvoIntf.h"
#include "module_host.h"
#include "signal_measure.h"
#include "sim_board.h"
#include "usbsim.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using module_host::Module;
using module_host::wait_until;
using support::ddc_word;
using Host = support::RecordingHost;

Module& module() {
    return module_host::built_module();
}

ReceiverSettings settings_for(Host& h, int rate_index) {
    h.set_rate(rate_index);
    return h.settings_record(0x5A);  // fields the module must not read
}

enum { REG_DDC_FREQ_0 = 34, REG_DDC_PHASE_0 = 44 };

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module().loaded()) << module().error;
        usbsim::World::instance().reset();
    }
    void TearDown() override {
        module().stop_rx();
        usbsim::World::instance().reset();
    }
    usbsim::BoardId add_board() {
        usbsim::BoardConfig cfg;
        cfg.scene.noise_dbfs = -40.0;
        return support::attach_board(cfg);
    }
};

}  // namespace

// ---- without a device ---------------------------------------------------------------------

TEST(ModuleExports, DynamicSymbolTableHoldsExactlyTheSixFunctions) {
    std::ifstream f(ZALVO_MODULE_PATH, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), sizeof(Elf64_Ehdr));
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(bytes.data());
    ASSERT_EQ(std::memcmp(eh->e_ident, ELFMAG, SELFMAG), 0);
    ASSERT_EQ(eh->e_ident[EI_CLASS], ELFCLASS64);
    const auto* sh = reinterpret_cast<const Elf64_Shdr*>(bytes.data() + eh->e_shoff);
    std::set<std::string> defined;
    int dynsym_sections = 0;
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM)
            continue;
        ++dynsym_sections;
        const char* names = bytes.data() + sh[sh[i].sh_link].sh_offset;
        const auto* sym = reinterpret_cast<const Elf64_Sym*>(bytes.data() + sh[i].sh_offset);
        size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
        for (size_t k = 1; k < count; ++k) {
            int bind = ELF64_ST_BIND(sym[k].st_info);
            if (sym[k].st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK))
                defined.insert(names + sym[k].st_name);
        }
    }
    EXPECT_EQ(dynsym_sections, 1);
    std::set<std::string> six = {"GetSdrInfo",     "StartRx",     "StopRx",
                                 "SetRxFrequency", "SetCtrlBits", "ReadPort"};
    EXPECT_EQ(defined, six);
}

TEST_F(ModuleTest, GetSdrInfoWritesItsTwoFieldsOnly) {
    unsigned char record[64];
    std::memset(record, 0xCD, sizeof record);
    module().get_sdr_info(reinterpret_cast<SdrInfo*>(record));
    const SdrInfo* info = reinterpret_cast<const SdrInfo*>(record);
    ASSERT_NE(info->device_name, nullptr);
    EXPECT_STREQ(info->device_name, "USRP device");
    EXPECT_EQ(info->receiver_count, 4);
    size_t end = offsetof(SdrInfo, receiver_count) + 4;
    if (offsetof(SdrInfo, receiver_count) > sizeof(void*)) {
        for (size_t i = sizeof(void*); i < offsetof(SdrInfo, receiver_count); ++i)
            EXPECT_EQ(record[i], 0xCD) << i;
    }
    for (size_t i = end; i < sizeof record; ++i)
        ASSERT_EQ(record[i], 0xCD) << "byte " << i << " is the host's";
    module().get_sdr_info(nullptr);
}

TEST_F(ModuleTest, PortBitsAndTuningWithoutADeviceTouchNothing) {
    auto& w = usbsim::World::instance();
    add_board();
    for (int32_t port : {0, 1, -1, 0x378, INT32_MAX, INT32_MIN})
        EXPECT_EQ(module().read_port(port), 0) << port;
    module().set_ctrl_bits(0xFF);
    module().set_ctrl_bits(-1);
    module().set_rx_frequency(7050000, 1);
    module().set_rx_frequency(7050000, -1);
    module().stop_rx();
    module().stop_rx();
    module().start_rx(nullptr);
    module().stop_rx();
    EXPECT_TRUE(w.control_log().empty());
    EXPECT_TRUE(w.bulk_log().empty());
    EXPECT_EQ(w.open_handles(), 0);
}

TEST_F(ModuleTest, NoBoardReportsOnTheCallingThreadWithTheContext) {
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    module().start_rx(&s);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0], "Can't create instance of USRP Rx device");
    EXPECT_EQ(h.error_threads[0], std::this_thread::get_id());
    EXPECT_EQ(h.blocks.load(), 0);
    module().set_rx_frequency(1000000, 0);
    module().stop_rx();
    EXPECT_EQ(usbsim::World::instance().open_handles(), 0);

    s.error_callback = nullptr;  // silent, and nothing is left open
    module().start_rx(&s);
    EXPECT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(usbsim::World::instance().open_handles(), 0);
}

// ---- sessions on a simulated board ----------------------------------------------------------

TEST_F(ModuleTest, SessionTunesStreamsAndCloses) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty()) << h.errors[0];
    EXPECT_EQ(w.open_handles(), 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + i), ddc_word(-3600000.0)) << i;
        EXPECT_EQ(w.fpga_register(b, REG_DDC_PHASE_0 + i), 0u) << i;
    }
    ASSERT_TRUE(wait_until([&] { return h.blocks.load() >= 20; }, 20000));
    EXPECT_TRUE(w.rx_enabled(b));

    module().set_rx_frequency(7050000, 1);
    EXPECT_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + 1), ddc_word(-7050000.0));
    EXPECT_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + 0), ddc_word(-3600000.0));
    w.clear_log();
    module().set_rx_frequency(7050000, 4);
    module().set_rx_frequency(7050000, -1);
    EXPECT_TRUE(w.control_log().empty()) << "receivers outside 0..3 are ignored";

    module().stop_rx();
    int after_stop = h.blocks.load();
    EXPECT_EQ(w.open_handles(), 0);
    EXPECT_FALSE(w.rx_enabled(b));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(h.blocks.load(), after_stop) << "no callback after StopRx returned";
    EXPECT_FALSE(h.data_on_host_thread);
    EXPECT_EQ(h.dirty_spare_blocks.load(), 0);
    EXPECT_EQ(h.blocks_with_signal.load(), h.blocks.load());
    EXPECT_TRUE(h.errors.empty());

    w.clear_log();
    module().set_rx_frequency(7050000, 1);
    module().stop_rx();
    EXPECT_TRUE(w.control_log().empty()) << "no device after StopRx";
}

TEST_F(ModuleTest, UnknownRateLeavesNothingOpen) {
    auto& w = usbsim::World::instance();
    add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 3);
    module().start_rx(&s);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0], "Unknown sample rate");
    EXPECT_EQ(h.error_threads[0], std::this_thread::get_id());
    EXPECT_EQ(w.open_handles(), 0);
    w.clear_log();
    module().set_rx_frequency(7050000, 1);
    module().stop_rx();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(w.control_log().empty());
    EXPECT_TRUE(w.bulk_log().empty()) << "no worker reads";
}

// A second StartRx while streaming ends the running session first: one handle at a time, the
// first host hears nothing more, the second gets its own blocks.
TEST_F(ModuleTest, StartDuringASessionEndsTheRunningOne) {
    auto& w = usbsim::World::instance();
    add_board();
    Host first, second;
    ReceiverSettings s1 = settings_for(first, 0);
    ReceiverSettings s2 = settings_for(second, 2);
    module().start_rx(&s1);
    ASSERT_TRUE(first.errors.empty());
    ASSERT_TRUE(wait_until([&] { return first.blocks.load() >= 5; }, 20000));
    module().start_rx(&s2);
    int first_blocks = first.blocks.load();
    ASSERT_TRUE(second.errors.empty()) << second.errors[0];
    EXPECT_EQ(w.open_handles(), 1);
    ASSERT_TRUE(wait_until([&] { return second.blocks.load() >= 5; }, 20000));
    EXPECT_EQ(first.blocks.load(), first_blocks);
    module().stop_rx();
    EXPECT_EQ(w.open_handles(), 0);
    EXPECT_EQ(second.dirty_spare_blocks.load(), 0);
}

// The worker waits in a bulk read that times out after a second: StopRx returns only after the
// worker has left it, and then the board is closed with no read outstanding.
TEST_F(ModuleTest, StopRxWaitsForAWorkerHeldInARead) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 1);
    module().start_rx(&s);
    ASSERT_TRUE(h.errors.empty());
    ASSERT_TRUE(wait_until([&] { return h.blocks.load() >= 3; }, 20000));
    usbsim::Fault hold;
    hold.kind = usbsim::FaultKind::timeout;
    hold.wait_ms = 600;
    for (int n = 0; n < 64; ++n)
        w.fail_bulk_at(n, hold);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    module().stop_rx();
    int after = h.blocks.load();
    EXPECT_EQ(w.open_handles(), 0);
    EXPECT_FALSE(w.rx_enabled(b));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(h.blocks.load(), after);
    w.clear_faults();
}
