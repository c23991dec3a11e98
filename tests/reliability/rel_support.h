// The reliability tests' pieces over the test-support library: the built module loaded with
// dlopen on the simulated bus, the recording host with a carrier-phase check on receiver 0, a
// watchdog that bounds every run, and the figures file the tests append to.
#pragma once

#include "ZalvoIntf.h"
#include "module_host.h"
#include "process_counters.h"
#include "recording_host.h"
#include "sim_board.h"
#include "stderr_capture.h"
#include "usbsim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rel {

// ---- the module ------------------------------------------------------------------------------

using Module = module_host::Module;

// The module, loaded once per process (RTLD_NOW, as a host loads it).
Module& module();

// ---- the simulated board ---------------------------------------------------------------------

// A steady carrier that every receiver at the initial 3.6 MHz sees as a tone of TONE_OFFSET_HZ,
// and no noise, so that the phase of receiver 0 can be followed sample by sample.
constexpr double INITIAL_TUNING_HZ = 3600000.0;
constexpr double TONE_OFFSET_HZ = 6000.0;
usbsim::Scene tone_scene();

// The digests of the placeholder images, for building warm boards.
using support::image_digests;
using support::ImageDigests;

// A fresh world with one board (cold, or warm holding the placeholder images' digests), made
// visible to a module that has already scanned the buses.
usbsim::BoardId fresh_world(bool warm, usbsim::Pacing pacing = usbsim::Pacing::free_running);

// ---- the host --------------------------------------------------------------------------------

// Follows the phase of one receiver's blocks: between consecutive samples (also across block
// boundaries) the phase must advance by the tone's step and the amplitude stay steady.
class PhaseTracker {
  public:
    explicit PhaseTracker(double step_rad) : step_(step_rad) {}
    // A new session: the resampler starts from rest, so the first blocks are not judged.
    void restart(int settle_blocks = 2);
    void feed(const float* block, int samples);
    int64_t samples_checked() const { return checked_; }
    int64_t breaks() const { return breaks_; }
    double worst_deviation() const { return worst_; }
    std::string first_break() const { return first_break_; }

  private:
    double step_;
    int settle_ = 2;
    bool have_last_ = false;
    std::complex<double> last_;
    double amplitude_ = 0;
    int64_t block_index_ = 0;
    int64_t checked_ = 0;
    int64_t breaks_ = 0;
    double worst_ = 0;
    std::string first_break_;
};

// The recording host with receiver 0's phase followed (while track_phase). Pass
// host_settings(host) to StartRx.
struct Host : support::RecordingHost {
    explicit Host(int rate_index = 0);
    bool track_phase = true;
    PhaseTracker phase;  // receiver 0; touched only on the worker thread (and between sessions)
    std::atomic<int>& nonzero_spare_blocks = dirty_spare_blocks;
};

ReceiverSettings host_settings(Host& h);

// ---- process counters ------------------------------------------------------------------------

using support::descriptor_count;
using support::resident_kib;
using support::thread_count;
using support::wait_thread_count_at_most;

// Lines the ring printed for failed reaps in a stretch of captured standard error.
using support::reap_failure_lines;

// ---- bounds ----------------------------------------------------------------------------------

// Aborts the process with a message when a step takes longer than its bound, so that a hang is
// reported with the scenario that caused it instead of as a bare test time-out.
class Watchdog {
  public:
    Watchdog();
    ~Watchdog();
    void arm(const std::string& what, int seconds);
    void disarm();

  private:
    void run();
    std::mutex m_;
    std::condition_variable cv_;
    bool quit_ = false;
    bool armed_ = false;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

// Runs fn and returns its duration in milliseconds.
int64_t timed_ms(const std::function<void()>& fn);

// ---- fixture ---------------------------------------------------------------------------------

// A test of the loaded module on the simulated bus: the images from the build's folder and no
// overriding or chatty environment, the process's threads and descriptors counted before each
// test, and after it the session stopped and the world emptied of boards and faults.
class ModuleFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    Watchdog dog;
    int base_threads = 0;
    int base_fds = 0;
};

// ---- figures ---------------------------------------------------------------------------------

// Appends "key value" lines to the figures file named by ZALVO_REL_FIGURES (if set) and prints
// them as "FIGURE key value" on standard output.
void figure(const std::string& key, const std::string& value);

// True in builds instrumented by AddressSanitizer or ThreadSanitizer (slower: sample more
// sparsely there).
bool instrumented_build();

// Integer from the environment, or the fallback.
int64_t env_int(const char* name, int64_t fallback);

}  // namespace rel
