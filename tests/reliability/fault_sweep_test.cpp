// Fault sweep: a complete StartRx on the simulated board, cold and then warm, rerun once for every
// control request it makes with that request failing, as a stall and as an I/O error.
//
// Which failures a start must survive is decided here from the request itself, not from the
// module's code: image transfers, the CPU control byte, the configuration requests, the common
// and receive codec set-up, the capability read and the stream-shaping registers (format, channel
// count and mux, decimation, mode) are fatal; everything whose result the device layer ignores
// (hash slot reads and writes, indicator, resets and enables, register clears, daughterboard
// probe, DDC and gain settings) must leave a working session. Releasing the FPGA's reset and the
// receive path's reset are fatal too: a board left held in either never streams.
//
// Every run is bounded by a watchdog and must end with the right error text (or a session that
// streams a phase-continuous carrier), no handle or claimed interface open, the receive path off,
// and no thread or descriptor left over.
#include "rel_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

using namespace rel;

namespace {

enum {
    REQ_SET_LED = 0x01,
    REQ_FPGA_CONFIG = 0x02,
    REQ_FPGA_RESET = 0x04,
    REQ_RX_RESET = 0x0B,
    REQ_I2C_WRITE = 0x08,
    REQ_SPI_WRITE = 0x09,
    REQ_I2C_READ = 0x81,
    REQ_SPI_READ = 0x82,
    REQ_RAM_ACCESS = 0xA0,
};
enum { SPI_SELECT_FPGA = 0x0120 };
enum { CPU_CONTROL = 0xE600, FIRMWARE_HASH_SLOT = 0xE1E0, FPGA_HASH_SLOT = 0xE1F0 };
enum { REG_MODE = 13, REG_DECIMATION = 33, REG_RX_MUX = 38, REG_RX_FORMAT = 49 };
enum { READBACK_CAPS = 3 };

const char* const NO_DEVICE = "Can't create instance of USRP Rx device";

struct Verdict {
    bool fatal;
    std::string what;
};

std::string describe(const usbsim::ControlRecord& r) {
    char b[96];
    std::snprintf(b, sizeof b, "type 0x%02x req 0x%02x value 0x%04x index 0x%04x len %d",
                  r.request_type, r.request, r.value, r.index, r.length);
    return b;
}

// The verdict for every request of a clean start. device_from: sequence number from which the
// receive interface is open (the device object's own requests).
std::vector<Verdict> classify(const std::vector<usbsim::ControlRecord>& log, uint64_t device_from) {
    std::vector<Verdict> out;
    bool format_written = false;  // set_format ran: what follows is DDC, mode and session set-up
    for (const auto& r : log) {
        const bool in = (r.request_type & 0x80) != 0;
        const bool fpga_spi = r.index == SPI_SELECT_FPGA;
        const int reg = r.value & 0x7F;
        Verdict v{false, ""};
        if (r.seq < device_from) {
            // Image loading.
            if (r.request == REQ_RAM_ACCESS && in) {
                v = {false, "hash slot read"};
            } else if (r.request == REQ_RAM_ACCESS && r.value == FIRMWARE_HASH_SLOT) {
                v = {false, "firmware hash slot write"};
            } else if (r.request == REQ_RAM_ACCESS && r.value == FPGA_HASH_SLOT) {
                v = {false, "fpga hash slot write"};
            } else if (r.request == REQ_RAM_ACCESS && r.value == CPU_CONTROL) {
                v = {true, "CPU control byte"};
            } else if (r.request == REQ_RAM_ACCESS) {
                v = {true, "firmware RAM write"};
            } else if (r.request == REQ_FPGA_CONFIG) {
                v = {true, "FPGA configuration"};
            } else if (r.request == REQ_FPGA_RESET && r.value == 0) {
                v = {true, "FPGA reset release"};
            } else {
                v = {false, "loader request with its result ignored"};
            }
        } else if (r.request == REQ_SPI_WRITE && !fpga_spi) {
            v = format_written ? Verdict{false, "gain write"} : Verdict{true, "codec set-up"};
        } else if (r.request == REQ_SPI_READ && fpga_spi && reg == READBACK_CAPS) {
            v = {true, "capability read"};
        } else if (r.request == REQ_SPI_READ) {
            v = {false, "gain read"};
        } else if (r.request == REQ_SPI_WRITE && fpga_spi) {
            if (reg == REG_RX_FORMAT) {
                format_written = true;
                v = {true, "format register"};
            } else if (reg == REG_DECIMATION || reg == REG_RX_MUX) {
                v = {true, "decimation or mux register"};
            } else if (reg == REG_MODE && format_written) {
                v = {true, "mode register"};
            } else {
                v = {false, "register written with its result ignored"};
            }
        } else if (r.request == REQ_RX_RESET && r.value == 0) {
            v = {true, "receive path reset release"};
        } else {
            v = {false, "enable, reset or daughterboard probe"};
        }
        v.what += " (" + describe(r) + ")";
        out.push_back(v);
    }
    return out;
}

uint64_t receive_interface_claimed(const std::vector<usbsim::CallRecord>& calls) {
    for (const auto& c : calls)
        if (c.call == usbsim::UsbCall::claim_interface && c.arg == 2 && c.result == 0)
            return c.seq;
    return UINT64_MAX;
}

struct Sweep {
    int scenarios = 0;
    int survived = 0;  // faults after which the start still gave a streaming session
    int refused = 0;   // faults that ended the start with the error text, cleanly
    std::vector<std::string> failures;
};

class FaultSweep : public ModuleFixture {
  protected:
    // A clean start: its control log, the verdicts, and a session that streams.
    std::vector<Verdict> baseline(bool warm) {
        auto& w = usbsim::World::instance();
        fresh_world(warm);
        Host h;
        ReceiverSettings s = host_settings(h);
        module().start_rx(&s);
        auto log = w.control_log();
        auto calls = w.call_log();
        EXPECT_TRUE(h.error_list().empty());
        EXPECT_TRUE(h.wait_blocks(3, 10000));
        module().stop_rx();
        EXPECT_EQ(w.open_handles(), 0);
        return classify(log, receive_interface_claimed(calls));
    }

    // One start with request k failing; appends what went wrong to sweep.failures.
    void run_one(bool warm, int k, usbsim::FaultKind kind, const Verdict& verdict, Sweep& sweep) {
        auto& w = usbsim::World::instance();
        std::ostringstream name;
        name << (warm ? "warm" : "cold") << " start, request " << k << " "
             << (kind == usbsim::FaultKind::stall ? "stalled" : "failing with EIO") << ": "
             << verdict.what;
        std::vector<std::string> problems;
        auto problem = [&](const std::string& p) { problems.push_back(p); };

        usbsim::BoardId b = fresh_world(warm);
        usbsim::Fault f;
        f.kind = kind;
        w.fail_control_at(k, f);
        Host h;
        ReceiverSettings s = host_settings(h);

        dog.arm(name.str() + ": StartRx", 30);
        module().start_rx(&s);
        dog.disarm();
        auto errors = h.error_list();

        if (verdict.fatal) {
            if (errors.size() != 1 || errors[0] != NO_DEVICE)
                problem("expected exactly \"" + std::string(NO_DEVICE) + "\", got " +
                        std::to_string(errors.size()) + " text(s)" +
                        (errors.empty() ? "" : ": \"" + errors[0] + "\""));
            if (w.open_handles() != 0)
                problem(std::to_string(w.open_handles()) + " handle(s) left open");
            if (w.claimed_interfaces() != 0)
                problem(std::to_string(w.claimed_interfaces()) + " interface(s) left claimed");
            if (w.rx_enabled(b))
                problem("receive path left enabled");
            if (!w.bulk_log().empty())
                problem("bulk transfers after a failed start");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (h.blocks.load() != 0)
                problem("data callback after a failed start");
            w.clear_log();
            dog.arm(name.str() + ": StopRx after the failed start", 30);
            module().stop_rx();
            dog.disarm();
            if (!w.control_log().empty())
                problem("StopRx after a failed start sent requests");
        } else {
            if (!errors.empty())
                problem("expected a session, got \"" + errors[0] + "\"");
            if (errors.empty()) {
                if (w.open_handles() != 1)
                    problem(std::to_string(w.open_handles()) + " handles open while streaming");
                if (!h.wait_blocks(4, 10000))
                    problem("no blocks from the session");
            }
            dog.arm(name.str() + ": StopRx", 30);
            module().stop_rx();
            dog.disarm();
            int64_t after_stop = h.blocks.load();
            if (w.open_handles() != 0)
                problem(std::to_string(w.open_handles()) + " handle(s) left after StopRx");
            if (w.claimed_interfaces() != 0)
                problem("interface left claimed after StopRx");
            if (w.rx_enabled(b))
                problem("receive path left enabled after StopRx");
            if (h.phase.breaks() != 0)
                problem("carrier phase broken: " + h.phase.first_break());
            if (h.nonzero_spare_blocks.load() != 0)
                problem("spare blocks not zero");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (h.blocks.load() != after_stop)
                problem("data callback after StopRx returned");
        }
        if (h.wrong_thread_errors.load() != 0)
            problem("error callback on another thread");
        int threads = wait_thread_count_at_most(base_threads, 2000);
        if (threads != base_threads)
            problem(std::to_string(threads - base_threads) + " thread(s) left running");
        if (descriptor_count() != base_fds)
            problem(std::to_string(descriptor_count() - base_fds) + " descriptor(s) left open");

        ++sweep.scenarios;
        if (problems.empty()) {
            if (verdict.fatal)
                ++sweep.refused;
            else
                ++sweep.survived;
        } else {
            std::string all = name.str() + ":";
            for (const auto& p : problems)
                all += "\n    " + p;
            sweep.failures.push_back(all);
        }
        w.clear_faults();
    }

    void sweep(bool warm, const char* figure_prefix) {
        std::vector<Verdict> verdicts = baseline(warm);
        const int n = static_cast<int>(verdicts.size());
        ASSERT_GT(n, 20);
        int fatal = 0;
        for (const auto& v : verdicts)
            fatal += v.fatal;
        ASSERT_GT(fatal, 0);
        ASSERT_LT(fatal, n);

        // Instrumented builds run every stride-th request (all of them otherwise); the offset
        // moves with the kind so that the two kinds cover different requests.
        const int stride =
            static_cast<int>(env_int("ZALVO_SWEEP_STRIDE", instrumented_build() ? 3 : 1));
        Sweep result;
        int kind_index = 0;
        for (usbsim::FaultKind kind : {usbsim::FaultKind::stall, usbsim::FaultKind::io_error}) {
            for (int k = kind_index % stride; k < n; k += stride)
                run_one(warm, k, kind, verdicts[size_t(k)], result);
            ++kind_index;
        }

        std::printf("%s start: %d control requests (%d fatal when failing), %d scenarios "
                    "(stride %d), %d survived, %d refused cleanly, %zu failed\n",
                    warm ? "warm" : "cold", n, fatal, result.scenarios, stride, result.survived,
                    result.refused, result.failures.size());
        for (const auto& f : result.failures)
            std::printf("FAILED %s\n", f.c_str());
        std::string p = figure_prefix;
        figure(p + "_requests", std::to_string(n));
        figure(p + "_scenarios", std::to_string(result.scenarios));
        figure(p + "_survived", std::to_string(result.survived));
        figure(p + "_refused", std::to_string(result.refused));
        figure(p + "_failed", std::to_string(result.failures.size()));
        EXPECT_EQ(result.scenarios, result.survived + result.refused);
        EXPECT_TRUE(result.failures.empty()) << result.failures.size() << " scenario(s) failed";
    }
};

}  // namespace

TEST_F(FaultSweep, ColdStartWithEachRequestFailing) {
    sweep(false, "sweep_cold");
}

TEST_F(FaultSweep, WarmStartWithEachRequestFailing) {
    sweep(true, "sweep_warm");
}
