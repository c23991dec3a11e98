// Loads the receiver module as a host program does, prints what GetSdrInfo says, and streams
// for a few seconds, printing each receiver's level once a second.
//
//   zalvo_host_demo [--module PATH] [--seconds N] [--rate 0|1|2]
#include "ZalvoIntf.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Listener {
    std::atomic<long> blocks{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    double power[4] = {0, 0, 0, 0};  // summed since the last report
    long power_blocks = 0;
    int block_length = 512;
};

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Listener* l = reinterpret_cast<Listener*>(context);
    double p[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        // The module scales samples by 2^31: full scale is 2^31.
        for (int j = 0; j < 2 * l->block_length; ++j) {
            double v = buffers[i][j] / 2147483648.0;
            p[i] += v * v;
        }
        p[i] /= l->block_length;
    }
    {
        std::lock_guard<std::mutex> g(l->lock);
        for (int i = 0; i < 4; ++i)
            l->power[i] += p[i];
        ++l->power_blocks;
    }
    l->blocks.fetch_add(1);
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Listener* l = reinterpret_cast<Listener*>(context);
    std::printf("StartRx error: %s\n", text);
    l->failed = true;
}

template <typename F> F symbol(void* module, const char* name) {
    void* p = dlsym(module, name);
    if (!p) {
        std::fprintf(stderr, "module has no %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(p);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = ZALVO_MODULE_PATH;
    int seconds = 3;
    int rate = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--module"))
            path = argv[i + 1];
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate"))
            rate = std::atoi(argv[i + 1]);
    }

    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 2;
    }
    auto get_sdr_info = symbol<void(ZALVO_CALL*)(SdrInfo*)>(module, "GetSdrInfo");
    auto start_rx = symbol<void(ZALVO_CALL*)(const ReceiverSettings*)>(module, "StartRx");
    auto stop_rx = symbol<void(ZALVO_CALL*)(void)>(module, "StopRx");

    SdrInfo info;
    std::memset(&info, 0, sizeof info);
    get_sdr_info(&info);
    std::printf("GetSdrInfo: device \"%s\", %d receivers\n", info.device_name, info.receiver_count);

    Listener listener;
    listener.block_length = 512 << (rate & 3);
    ReceiverSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.callback_context = reinterpret_cast<intptr_t>(&listener);
    settings.sample_rate_index = rate;
    settings.data_callback = on_data;
    settings.error_callback = on_error;

    std::printf("StartRx: %d Hz output, receivers at 3.6 MHz\n", rate == 1   ? 96000
                                                                 : rate == 2 ? 192000
                                                                             : 48000);
    std::fflush(stdout);
    start_rx(&settings);
    if (listener.failed) {
        stop_rx();
        dlclose(module);
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_until(start + std::chrono::seconds(s));
        double p[4];
        long n;
        {
            std::lock_guard<std::mutex> g(listener.lock);
            n = listener.power_blocks;
            for (int i = 0; i < 4; ++i) {
                p[i] = n ? listener.power[i] / n : 0;
                listener.power[i] = 0;
            }
            listener.power_blocks = 0;
        }
        std::printf("%2d s: %ld blocks (%ld in this second); levels", s, listener.blocks.load(), n);
        for (int i = 0; i < 4; ++i)
            std::printf(" %.1f", p[i] > 0 ? 10 * std::log10(p[i]) : -999.0);
        std::printf(" dBFS\n");
        std::fflush(stdout);
    }
    auto stop_begin = std::chrono::steady_clock::now();
    stop_rx();
    double stop_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stop_begin)
            .count();
    double elapsed = std::chrono::duration<double>(stop_begin - start).count();
    long blocks = listener.blocks.load();
    std::printf("StopRx: %.0f ms; %ld blocks in %.2f s (%.2f per second, 93.75 expected)\n",
                stop_ms, blocks, elapsed, blocks / elapsed);
    dlclose(module);
    return blocks > 0 ? 0 : 1;
}
