#include "module_host.h"

#include <dlfcn.h>

#include <cstdlib>

namespace module_host {

bool Module::loaded() const {
    return handle && get_sdr_info && start_rx && stop_rx && set_rx_frequency && set_ctrl_bits &&
           read_port;
}

Module load(const char* path) {
    Module m;
    m.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!m.handle) {
        const char* why = dlerror();
        m.error = std::string("dlopen: ") + (why ? why : path);
        return m;
    }
    auto find = [&](const char* name) {
        void* p = dlsym(m.handle, name);
        if (!p)
            m.error += std::string(m.error.empty() ? "" : "; ") + "module lacks " + name;
        return p;
    };
    m.get_sdr_info = reinterpret_cast<decltype(m.get_sdr_info)>(find("GetSdrInfo"));
    m.start_rx = reinterpret_cast<decltype(m.start_rx)>(find("StartRx"));
    m.stop_rx = reinterpret_cast<decltype(m.stop_rx)>(find("StopRx"));
    m.set_rx_frequency = reinterpret_cast<decltype(m.set_rx_frequency)>(find("SetRxFrequency"));
    m.set_ctrl_bits = reinterpret_cast<decltype(m.set_ctrl_bits)>(find("SetCtrlBits"));
    m.read_port = reinterpret_cast<decltype(m.read_port)>(find("ReadPort"));
    return m;
}

Module& built_module() {
    static Module m = [] {
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
        return load(ZALVO_MODULE_PATH);
    }();
    return m;
}

}  // namespace module_host
