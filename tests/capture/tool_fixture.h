// The capture program run as a process on the simulated board: the fixture and helpers its
// tests share.
#pragma once

#include "picture.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace capture_test {

inline Result run(const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env, int timeout_s,
                  const std::function<void(pid_t)>& while_running = {},
                  const std::function<void()>& in_child = {}) {
    return run_program(ZALVO_CAPTURE_EXE, args, env, timeout_s, while_running, in_child);
}

inline std::string check_sigmf(const std::string& dir) {
    return sigmf_problems(dir, CAPTURE_SCHEMA_DIR);
}

// A cold board that streams as fast as it is read, with one steady carrier for each receiver at
// its default tuning (3.52, 3.56, 3.60, 3.64 MHz) and one for receiver 1 after a retune to
// 7.03 MHz, all on converter input 0 at -40 dBFS.
inline const char* const FAST_SCENE =
    "noise -110\n"
    "seed 5\n"
    "carrier 3523000 -40 input=0\n"  // rx0 +3000 Hz
    "carrier 3555000 -40 input=0\n"  // rx1 -5000 Hz
    "carrier 3607000 -40 input=0\n"  // rx2 +7000 Hz
    "carrier 3629000 -40 input=0\n"  // rx3 -11000 Hz
    "carrier 7041000 -40 input=0\n"  // rx1 at 7.03 MHz: +11000 Hz
    "board cold rev=4 pacing=free_running eeprom1=0x0001 eeprom3=0x0001\n";

// A carrier of L dBFS on input 0, read as both I and Q at the module's 20 dB of gain, through the
// resampler (gain 0.98): amplitude 16384 * sqrt(2) * 10^((L + 20) / 20) of 32768.
inline double expected_db(double level_dbfs) {
    return level_dbfs + 20 + 20 * std::log10(std::sqrt(2.0) / 2 * 0.98);
}

inline int x_of(double hz, int rate) {
    const capture::PictureLayout L = capture::picture_layout();
    return L.plot_left + static_cast<int>((hz + rate / 2.0) / rate * L.plot_width);
}

class CaptureTool : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    std::string dir_;
};

}  // namespace capture_test
