// The module end to end: StartRx on the free-running simulated board with its default scene
// (carriers over a noise floor), four receivers through the whole pipeline to the host's data
// callback. One iteration is one second of signal (94 blocks); its time is the processor time
// that the whole process spent on it (the simulator's stream generation included), so the
// counter signal_s_per_cpu_s is how many seconds of signal one second of processor time carries.
#include "ZalvoIntf.h"
#include "usbsim.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

struct Module {
    void* handle = nullptr;
    decltype(&StartRx) start_rx = nullptr;
    decltype(&StopRx) stop_rx = nullptr;
};

Module& module() {
    static Module m = [] {
        Module x;
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
        x.handle = dlopen(ZALVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (x.handle) {
            x.start_rx = reinterpret_cast<decltype(x.start_rx)>(dlsym(x.handle, "StartRx"));
            x.stop_rx = reinterpret_cast<decltype(x.stop_rx)>(dlsym(x.handle, "StopRx"));
        }
        return x;
    }();
    return m;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Host {
    std::mutex lock;
    std::condition_variable more;
    long blocks = 0;
    bool failed = false;

    // Waits for the block count to reach n; false if the module reported an error or 30 s pass.
    bool wait(long n) {
        std::unique_lock<std::mutex> g(lock);
        return more.wait_for(g, std::chrono::seconds(30), [&] { return failed || blocks >= n; }) &&
               !failed;
    }
    long count() {
        std::lock_guard<std::mutex> g(lock);
        return blocks;
    }
};

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Host* h = reinterpret_cast<Host*>(context);
    benchmark::DoNotOptimize(buffers[0][0]);
    {
        std::lock_guard<std::mutex> g(h->lock);
        ++h->blocks;
    }
    h->more.notify_one();
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Host* h = reinterpret_cast<Host*>(context);
    std::fprintf(stderr, "module: %s\n", text);
    std::lock_guard<std::mutex> g(h->lock);
    h->failed = true;
}

constexpr long BLOCKS_PER_ITERATION = 94; // 1.0027 s of signal

// Argument: sample-rate index (0: 48 kHz, 1: 96 kHz, 2: 192 kHz).
void BM_ModuleStreaming(benchmark::State& state) {
    if (!module().start_rx) {
        state.SkipWithError("module not loaded");
        return;
    }
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg; // cold: the images are loaded once, before the timed part
    cfg.pacing = usbsim::Pacing::free_running;
    cfg.scene = usbsim::default_scene();
    w.add_board(w.add_bus(), cfg);
    w.rescan();

    Host host;
    ReceiverSettings s{};
    s.callback_context = reinterpret_cast<intptr_t>(&host);
    s.sample_rate_index = static_cast<int32_t>(state.range(0));
    s.data_callback = on_data;
    s.error_callback = on_error;
    module().start_rx(&s);
    if (!host.wait(10)) {
        module().stop_rx();
        state.SkipWithError("no stream");
        return;
    }

    double signal = 0, cpu = 0, wall = 0;
    for (auto _ : state) {
        long start = host.count();
        double cpu0 = cpu_seconds();
        auto wall0 = std::chrono::steady_clock::now();
        if (!host.wait(start + BLOCKS_PER_ITERATION)) {
            state.SkipWithError("stream stopped");
            break;
        }
        double used = cpu_seconds() - cpu0;
        long blocks = host.count() - start;
        state.SetIterationTime(used);
        signal += double(blocks) / 93.75;
        cpu += used;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    }
    module().stop_rx();
    w.reset();

    static const char* const rates[] = {"48 kHz", "96 kHz", "192 kHz"};
    state.SetLabel(rates[state.range(0)]);
    if (cpu > 0 && wall > 0) {
        state.counters["signal_s_per_cpu_s"] = signal / cpu;
        state.counters["signal_s_per_wall_s"] = signal / wall;
    }
}
BENCHMARK(BM_ModuleStreaming)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

} // namespace
