// What the Windows test cases share: the module loaded as a host loads it, a stdcall call whose
// stack effect is measured, and the test-support library's recording host, boards, stderr
// capture and signal measurement under this folder's names.
#pragma once

#include "ZalvoIntf.h"
#include "recording_host.h"
#include "signal_measure.h"
#include "sim_board.h"
#include "stderr_capture.h"
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

// The recording host (errors with their threads and contexts, blocks, the delivering threads,
// the kept window [skip, skip + keep) of blocks in kept[r]).
struct Host : support::RecordingHost {
    std::atomic<int>& nonzero_spare = dirty_spare_blocks;
};

// A settings record for the host with every unread byte set to a guard value.
ReceiverSettings settings_for(Host& h, int rate_index);

// A board with a noise floor and the given scene carriers, on a fresh world, real-time paced.
usbsim::BoardId add_board(const std::vector<usbsim::Carrier>& carriers = {},
                          usbsim::Pacing pacing = usbsim::Pacing::real_time);

bool wait_for(const std::atomic<int>& counter, int at_least, int ms);

// Standard error of the whole process (the module's too) goes to a file while it lives.
using support::StderrCapture;

// Frequency (Hz) of the strongest tone in interleaved I/Q at the given rate, in steps of
// `step` Hz across the band.
double strongest_tone(const std::vector<float>& iq, double rate, double step);

using support::ddc_word;
using support::phase_breaks;        // in one receiver's interleaved I/Q
using support::reap_failure_lines;  // in captured standard error

usbsim_async_stats async_stats();

// The child side of the diagnostics case ("zalvo_win_host --diag-child"): a session that fails
// for want of images. Exit status 0 when the host saw the failure text.
int diag_child();

}  // namespace winhost
