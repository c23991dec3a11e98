// Helpers shared by the tests on the emulated usbfs bus.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recording_host.h"
#include "signal_measure.h"
#include "usbfs_bed.h"
#include "usbsim.h"

namespace usbfs_test {

// Empties the world and the bus, then builds bus 1 with an unrelated device followed by one board
// per configuration; the nodes exist when this returns. Returns the boards' ids.
std::vector<usbsim::BoardId> build_world(const std::vector<usbsim::BoardConfig>& boards);

// A board with its firmware running and its FPGA configured, real-time pacing at 8 MB/s.
usbsim::BoardConfig warm_board(size_t fifo_bytes = 1 << 20);
// A board as it comes out of the box: no firmware, no bitstream.
usbsim::BoardConfig cold_board();

// Waits up to ms for done() to hold, checking every 2 ms.
inline bool wait_for(const std::function<bool()>& done, int ms) {
    return support::wait_until(done, ms);
}

// URBs of the log on one endpoint.
std::vector<usbfs::UrbRecord> urbs_on(const std::vector<usbfs::UrbRecord>& log, int endpoint);

// The FPGA's frequency word for a down-converter frequency.
using support::ddc_word;

}  // namespace usbfs_test
