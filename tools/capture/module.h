// The receiver module, loaded by path and used through its exported functions only, as a host
// program uses it.
#pragma once

#include "ZalvoIntf.h"

#include <string>

namespace capture {

struct Module {
    void* handle = nullptr;
    void(ZALVO_CALL* get_sdr_info)(SdrInfo*) = nullptr;
    void(ZALVO_CALL* start_rx)(const ReceiverSettings*) = nullptr;
    void(ZALVO_CALL* stop_rx)() = nullptr;
    void(ZALVO_CALL* set_rx_frequency)(int32_t, int32_t) = nullptr;

    // False with a readable error when the file cannot be loaded or lacks an export.
    bool load(const std::string& path, std::string* error);
    void unload();
};

}  // namespace capture
