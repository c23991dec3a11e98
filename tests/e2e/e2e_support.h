// Shared pieces of the end-to-end tests: the built module loaded with dlopen as a host loads
// it, a host that records what its callbacks receive, simulated boards, standard-error capture
// and tone measurement on the delivered blocks.
#pragma once

#include "ZalvoIntf.h"
#include "module_host.h"
#include "usbsim.h"

#include <array>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// ---- the module ---------------------------------------------------------------------------

using Module = module_host::Module;

// Loaded once per process, like a host that keeps the module for its whole run.
Module& module();

// ---- the host -----------------------------------------------------------------------------

constexpr int RECEIVERS = 4;
constexpr int BUFFERS = 8;

int rate_of(int rate_index);         // 48000, 96000, 192000
using module_host::block_length_of;  // 512, 1024, 2048

// A host that keeps what its callbacks were given. Every data callback is checked for spare
// buffers (4 to 7) that are not all zeros; the first `keep_blocks` blocks of each receiver are
// copied. An optional hook runs on the worker thread with every set of blocks.
class Host {
  public:
    explicit Host(int rate_index, size_t keep_blocks = 0);
    // A host that started a session ends it before it goes: its callbacks must not outlive it.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    ReceiverSettings
    settings();    // host-owned fields filled with a pattern the module must not read
    void start();  // StartRx with settings()
    void stop();   // StopRx

    int rate_index;
    int block_length;
    size_t keep_blocks;
    std::function<void(float** buffers, int block_index)> on_block;  // set before StartRx

    std::atomic<int> blocks{0};
    std::atomic<int> dirty_spare_blocks{0};
    std::atomic<bool> data_on_host_thread{false};

    std::vector<std::string> errors() const;
    std::vector<std::thread::id> error_threads() const;
    // Receiver r's kept samples: block k at [k * block_length, (k + 1) * block_length).
    std::vector<std::complex<float>> kept(int receiver) const;
    size_t kept_blocks() const;

    // Waits until at least n blocks have arrived; false after timeout_ms.
    bool wait_blocks(int n, int timeout_ms = 20000) const;

    std::thread::id host_thread = std::this_thread::get_id();

    // The callbacks, reached through the record that settings() returns.
    void on_data(float** buffers);
    void on_error(const char* text);

  private:
    bool started_ = false;
    mutable std::mutex lock_;
    std::vector<std::string> errors_;
    std::vector<std::thread::id> error_threads_;
    std::vector<std::complex<float>> kept_[RECEIVERS];
    size_t kept_blocks_ = 0;
};

using module_host::wait_until;

// ---- boards -------------------------------------------------------------------------------

const char* images_dir();
std::string image_path(int revision, const char* name);
std::vector<uint8_t> read_file(const std::string& path);
std::array<uint8_t, 16> md5_of_file(const std::string& path);

// A revision-4 board, cold unless `warm` (then its hash slots hold the digests of the images the
// module loads, so both loads are skipped). Free-running, noise off, no carriers.
usbsim::BoardConfig board_config(bool warm);
// Adds the board on a bus of its own and rescans (the module scans the buses only once).
usbsim::BoardId attach_board(const usbsim::BoardConfig& config);

// The carriers of the signal tests, all on converter input 0, which every receiver reads as both
// I and Q with mux 0.
struct TestCarrier {
    double freq_hz;
    double level_dbfs;
};
usbsim::Scene scene_of(const std::vector<TestCarrier>& carriers);

// ---- what the module prints ---------------------------------------------------------------

// Redirects file descriptor 2 into a file while it lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string text() const;  // everything written so far

  private:
    int saved_ = -1;
    std::string path_;
};

// Threads of this process now (entries of /proc/self/task).
int thread_count();
// The same, once any helper thread that a runtime starts with the process's first thread (the
// thread sanitizer's, for one) exists: a baseline to compare thread_count() with.
int baseline_thread_count();

// ---- signal -------------------------------------------------------------------------------

constexpr double ADC_HZ = 64e6;
// The down-converter frequency that the words of the module's tuning give: the word is the
// frequency in units of 64 MHz / 2^32 rounded to the nearest step.
double ddc_actual_hz(double tuned_hz);
// Amplitude of a carrier of level_dbfs on input 0 in a receiver's output: the simulator's scale
// (TONE_AMPLITUDE per 0 dBFS at 0 dB, times sqrt 2 for input 0 read as I and Q), the codec gain of
// 20 dB, the 16-bit full scale of 32768, OUTPUT_GAIN 2^31 and the resampler's output factor 0.98.
double expected_amplitude(double level_dbfs);

// Amplitude of the complex tone at freq_hz in x[start, start + n), Hann-windowed.
double tone_amplitude(const std::vector<std::complex<float>>& x, size_t start, size_t n,
                      double freq_hz, double rate);
double tone_amplitude(const std::complex<float>* x, size_t n, double freq_hz, double rate);

inline double db(double ratio) {
    return 20.0 * std::log10(ratio);
}

}  // namespace e2e
