#include "module.h"

#include "sys.h"

namespace capture {

bool Module::load(const std::string& path, std::string* error) {
    handle = sys::load_library(path, false, error);
    if (!handle)
        return false;
    auto find = [&](const char* name) {
        void* p = sys::find_symbol(handle, name);
        if (!p && error->empty())
            *error = path + " has no export " + name + ": it is not the receiver module";
        return p;
    };
    error->clear();
    get_sdr_info = reinterpret_cast<decltype(get_sdr_info)>(find("GetSdrInfo"));
    start_rx = reinterpret_cast<decltype(start_rx)>(find("StartRx"));
    stop_rx = reinterpret_cast<decltype(stop_rx)>(find("StopRx"));
    set_rx_frequency = reinterpret_cast<decltype(set_rx_frequency)>(find("SetRxFrequency"));
    if (!error->empty()) {
        unload();
        return false;
    }
    return true;
}

void Module::unload() {
    sys::unload_library(handle);
    *this = Module();
}

}  // namespace capture
