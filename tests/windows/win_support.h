// What the Windows test cases share: the module loaded as a host loads it, the host's callback
// recorder, a stdcall call whose stack effect is measured, stderr capture and a tone finder.
#pragma once

#include "ZalvoIntf.h"
#include "usbsim.h"
#include "usbsim_win32.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace winhost {

// A function pointer of the given type from GetProcAddress's result.
template <class F> F fn_cast(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(p));
}

// The module, loaded with LoadLibrary; every export found by its plain name.
struct Module {
    HMODULE handle = nullptr;
    FARPROC get_sdr_info = nullptr, start_rx = nullptr, stop_rx = nullptr,
            set_rx_frequency = nullptr, set_ctrl_bits = nullptr, read_port = nullptr;

    // Typed calls (stdcall through function pointers).
    void GetSdrInfo(SdrInfo* info) const;
    void StartRx(const ReceiverSettings* s) const;
    void StopRx() const;
    void SetRxFrequency(int32_t hz, int32_t receiver) const;
    void SetCtrlBits(int32_t bits) const;
    int32_t ReadPort(int32_t port) const;
};
const Module& module();

// Calls fn with n 32-bit arguments pushed right to left and no cleanup by the caller.
// *stack_delta is the stack pointer after the call minus before: 0 when the callee removed
// its arguments (stdcall), -4n when it did not.
extern "C" uint32_t winhost_call_stdcall(FARPROC fn, const uint32_t* args, int n,
                                         int32_t* stack_delta);

// What the host's callbacks saw.
struct Host {
    std::mutex lock;
    std::vector<std::string> errors;
    std::vector<DWORD> error_threads;
    std::vector<intptr_t> error_contexts;
    std::atomic<int> blocks{0};
    std::atomic<int> wrong_context{0};
    std::atomic<int> nonzero_spare{0};
    std::atomic<DWORD> data_thread{0};
    std::atomic<int> data_threads_seen{0};
    int block_length = 512;
    // Receivers' samples of the blocks after the first `skip`, up to `keep` blocks.
    int skip = 0, keep = 0;
    std::vector<std::vector<float>> kept{4};
};

// A settings record for the host with every unread byte set to a guard value.
ReceiverSettings settings_for(Host& h, int rate_index);

// A board with a noise floor and the given scene carriers, on a fresh world, real-time paced.
usbsim::BoardId add_board(const std::vector<usbsim::Carrier>& carriers = {},
                          usbsim::Pacing pacing = usbsim::Pacing::real_time);

bool wait_for(const std::atomic<int>& counter, int at_least, int ms);

// Standard error of the whole process (the module's too) goes to a file while it lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string text();  // what was written so far

  private:
    int saved_ = -1;
    std::string path_;
};

// Frequency (Hz) of the strongest tone in interleaved I/Q at the given rate, in steps of
// `step` Hz across the band.
double strongest_tone(const std::vector<float>& iq, double rate, double step);

usbsim_async_stats async_stats();

// The child side of the diagnostics case ("zalvo_win_host --diag-child"): a session that fails
// for want of images. Exit status 0 when the host saw the failure text.
int diag_child();

}  // namespace winhost
