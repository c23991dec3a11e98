// The built module as a host sees it: loaded with dlopen, its six exports looked up by name, and
// the plumbing of a host's callbacks (the settings record that points them at a host object).
// Shared by every test program that drives the real module; what each host records stays its own.
#pragma once

#include "ZalvoIntf.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace module_host {

struct Module {
    void* handle = nullptr;
    decltype(&GetSdrInfo) get_sdr_info = nullptr;
    decltype(&StartRx) start_rx = nullptr;
    decltype(&StopRx) stop_rx = nullptr;
    decltype(&SetRxFrequency) set_rx_frequency = nullptr;
    decltype(&SetCtrlBits) set_ctrl_bits = nullptr;
    decltype(&ReadPort) read_port = nullptr;
    std::string error;  // why the load or a look-up failed; empty when loaded()
    // The library is open and all six exports were found.
    bool loaded() const;
};

// Opens the library at `path` with RTLD_NOW | RTLD_LOCAL, as a host loads it. Never aborts: a
// failure leaves the missing pointers null and says why in `error`.
Module load(const char* path);

// Samples per block at rate index 0, 1, 2 (48, 96, 192 kHz): 512, 1024, 2048.
inline int block_length_of(int rate_index) {
    return 512 << (rate_index & 3);
}

// Buffers 4 to 7 of a data callback (the spare ones, which the module keeps zero) that hold a
// non-zero value among their 2 * block_length floats.
int dirty_spare_buffers(float* const* buffers, int block_length);

// Polls `done` every 2 ms until it holds or `timeout_ms` has passed; returns its last value.
bool wait_until(const std::function<bool()>& done, int timeout_ms);

namespace detail {
template <class H> void ZALVO_CALL data_trampoline(intptr_t context, float** buffers) {
    reinterpret_cast<H*>(context)->on_data(buffers);
}
template <class H> void ZALVO_CALL error_trampoline(intptr_t context, const char* text) {
    reinterpret_cast<H*>(context)->on_error(text);
}
}  // namespace detail

// A settings record whose callbacks reach h.on_data(float**) and h.on_error(const char*), with
// every other byte set to `fill` (fields the module must not read).
template <class H> ReceiverSettings settings_for(H& h, int rate_index, unsigned char fill) {
    ReceiverSettings s;
    std::memset(&s, fill, sizeof s);
    s.callback_context = reinterpret_cast<intptr_t>(&h);
    s.sample_rate_index = rate_index;
    s.data_callback = &detail::data_trampoline<H>;
    s.error_callback = &detail::error_trampoline<H>;
    return s;
}

}  // namespace module_host
