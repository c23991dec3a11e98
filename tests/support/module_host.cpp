#include "module_host.h"

#include <dlfcn.h>

#include <chrono>
#include <thread>

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

int dirty_spare_buffers(float* const* buffers, int block_length) {
    int dirty = 0;
    for (int b = 4; b < 8; ++b) {
        for (int j = 0; j < 2 * block_length; ++j) {
            if (buffers[b][j] != 0.0f) {
                ++dirty;
                break;
            }
        }
    }
    return dirty;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

}  // namespace module_host
