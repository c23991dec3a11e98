// The end-to-end tests' view of the test-support library: the built module loaded with dlopen as
// a host loads it, a recording host that starts and stops its own session, boards of the signal
// tests, and the signal chain's expected levels.
#pragma once

#include "ZalvoIntf.h"
#include "module_host.h"
#include "process_counters.h"
#include "recording_host.h"
#include "signal_measure.h"
#include "sim_board.h"
#include "stderr_capture.h"
#include "usbsim.h"

#include <complex>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// ---- the module ---------------------------------------------------------------------------

using Module = module_host::Module;

// Loaded once per process, like a host that keeps the module for its whole run; aborts when the
// build's module cannot be loaded.
Module& module();

// ---- the host -----------------------------------------------------------------------------

using support::BUFFERS;
using support::RECEIVERS;

using support::block_length_of;  // 512, 1024, 2048
using support::rate_of;          // 48000, 96000, 192000

// The recording host with a session of its own: start() and stop() call StartRx and StopRx, and a
// host that started a session ends it before it goes (its callbacks must not outlive it). The
// first `keep_blocks` blocks of each receiver are kept.
class Host : private support::RecordingHost {
  public:
    explicit Host(int rate_index, size_t keep_blocks = 0);
    ~Host();

    ReceiverSettings
    settings();    // host-owned fields filled with a pattern the module must not read
    void start();  // StartRx with settings()
    void stop();   // StopRx

    using RecordingHost::block_length;
    using RecordingHost::blocks;
    using RecordingHost::data_on_host_thread;
    using RecordingHost::dirty_spare_blocks;
    using RecordingHost::host_thread;
    using RecordingHost::on_block;  // set before StartRx
    using RecordingHost::on_data;
    using RecordingHost::on_error;
    using RecordingHost::rate_index;
    using RecordingHost::wait_blocks;

    std::vector<std::string> errors() const;
    std::vector<std::thread::id> error_threads() const;
    // Receiver r's kept samples: block k at [k * block_length, (k + 1) * block_length).
    std::vector<std::complex<float>> kept(int receiver) const;
    size_t kept_blocks() const;

  private:
    bool started_ = false;
};

using support::wait_until;

// ---- boards -------------------------------------------------------------------------------

using support::image_path;
using support::images_dir;
using support::md5_of_file;
using support::read_file;

// A revision-4 board, cold unless `warm` (then its hash slots hold the digests of the images the
// module loads, so both loads are skipped). Free-running, noise off, no carriers.
usbsim::BoardConfig board_config(bool warm);
using support::attach_board;  // on a bus of its own, then a rescan

// The carriers of the signal tests, all on converter input 0, which every receiver reads as both
// I and Q with mux 0.
struct TestCarrier {
    double freq_hz;
    double level_dbfs;
};
usbsim::Scene scene_of(const std::vector<TestCarrier>& carriers);

// ---- what the module prints, and the process ----------------------------------------------

using support::baseline_thread_count;
using support::StderrCapture;
using support::thread_count;

// ---- signal -------------------------------------------------------------------------------

constexpr double ADC_HZ = 64e6;
// The down-converter frequency that the words of the module's tuning give: the word is the
// frequency in units of 64 MHz / 2^32 rounded to the nearest step.
double ddc_actual_hz(double tuned_hz);
// Amplitude of a carrier of level_dbfs on input 0 in a receiver's output: the simulator's scale
// (TONE_AMPLITUDE per 0 dBFS at 0 dB, times sqrt 2 for input 0 read as I and Q), the codec gain of
// 20 dB, the 16-bit full scale of 32768, OUTPUT_GAIN 2^31 and the resampler's output factor 0.98.
double expected_amplitude(double level_dbfs);

using support::db;
using support::tone_amplitude;  // of the complex tone at freq_hz, Hann-windowed

}  // namespace e2e
