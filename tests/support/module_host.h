// The built module as a host sees it on Linux: loaded with dlopen, its six exports looked up by
// name. What a host records of the callbacks is the recording host's (recording_host.h).
#pragma once

#include "ZalvoIntf.h"
#include "recording_host.h"

#include <cstdint>
#include <cstring>
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

// The module this build made, loaded once per process, with USRP_PATH naming the build's
// placeholder images.
Module& built_module();

using support::block_length_of;
using support::dirty_spare_buffers;
using support::wait_until;

}  // namespace module_host
