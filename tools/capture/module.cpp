#include "module.h"

#include <dlfcn.h>

namespace capture {

bool Module::load(const std::string& path, std::string* error) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = dlerror();
        *error = e ? e : ("cannot load " + path);
        return false;
    }
    auto find = [&](const char* name) {
        void* p = dlsym(handle, name);
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
    if (handle)
        dlclose(handle);
    *this = Module();
}

}  // namespace capture
