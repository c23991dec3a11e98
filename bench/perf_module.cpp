// The module loaded with dlopen as a host loads it, streaming from the free-running simulated
// board (so the time measured is work, not waiting). Two scenes: the default one (carriers over
// noise, the simulator's synthesis then costs about as much as the module) and a silent one,
// where the simulator does little more than hand out zeros. The stream worker's own processor
// time is read in the data callback, which runs on that thread.
#include "perf_module.h"

#ifdef PERF_HAVE_MODULE

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
#include <string>

namespace perf {
namespace {

struct Module {
    void* handle = nullptr;
    decltype(&StartRx) start_rx = nullptr;
    decltype(&StopRx) stop_rx = nullptr;
};

Module& module() {
    static Module m = [] {
        Module x;
        setenv("USRP_PATH", PERF_IMAGES_DIR, 1);
        x.handle = dlopen(PERF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (x.handle) {
            x.start_rx = reinterpret_cast<decltype(x.start_rx)>(dlsym(x.handle, "StartRx"));
            x.stop_rx = reinterpret_cast<decltype(x.stop_rx)>(dlsym(x.handle, "StopRx"));
        }
        return x;
    }();
    return m;
}

double clock_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Host {
    std::mutex lock;
    std::condition_variable more;
    long blocks = 0;
    double worker_cpu = 0;  // the worker thread's processor time at the latest block
    bool failed = false;

    bool wait(long n) {
        std::unique_lock<std::mutex> g(lock);
        return more.wait_for(g, std::chrono::seconds(30), [&] { return failed || blocks >= n; }) &&
               !failed;
    }
};

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Host* h = reinterpret_cast<Host*>(context);
    benchmark::DoNotOptimize(buffers[0][0]);
    double cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
    {
        std::lock_guard<std::mutex> g(h->lock);
        ++h->blocks;
        h->worker_cpu = cpu;
    }
    h->more.notify_one();
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Host* h = reinterpret_cast<Host*>(context);
    std::fprintf(stderr, "module: %s\n", text ? text : "(null)");
    std::lock_guard<std::mutex> g(h->lock);
    h->failed = true;
}

constexpr long BLOCKS_PER_ITERATION = 94;  // 1.0027 s of signal

void streaming(benchmark::State& state, bool silent) {
    if (!module().start_rx) {
        state.SkipWithError("module not loaded");
        return;
    }
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    cfg.pacing = usbsim::Pacing::free_running;
    cfg.scene = silent ? usbsim::Scene() : usbsim::default_scene();
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
        w.reset();
        state.SkipWithError("no stream");
        return;
    }
    double signal = 0, cpu = 0, worker = 0;
    for (auto _ : state) {
        long start;
        double worker0;
        {
            std::lock_guard<std::mutex> g(host.lock);
            start = host.blocks;
            worker0 = host.worker_cpu;
        }
        double cpu0 = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
        if (!host.wait(start + BLOCKS_PER_ITERATION)) {
            state.SkipWithError("stream stopped");
            break;
        }
        double used = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        std::lock_guard<std::mutex> g(host.lock);
        state.SetIterationTime(used);
        signal += double(host.blocks - start) / 93.75;
        cpu += used;
        worker += host.worker_cpu - worker0;
    }
    module().stop_rx();
    w.reset();
    static const char* const rates[] = {"48 kHz", "96 kHz", "192 kHz"};
    state.SetLabel(rates[state.range(0)]);
    if (signal > 0) {
        state.counters["process_pct"] = 100.0 * cpu / signal;
        state.counters["worker_pct"] = 100.0 * worker / signal;
    }
}

}  // namespace

bool module_benchmarks_built() {
    return true;
}

void register_module_benchmarks() {
    for (bool silent : {false, true})
        benchmark::RegisterBenchmark(silent ? "module/silent" : "module/default",
                                     [silent](benchmark::State& st) { streaming(st, silent); })
            ->Arg(0)
            ->Arg(1)
            ->Arg(2)
            ->UseManualTime()
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
}

}  // namespace perf

#else

namespace perf {
bool module_benchmarks_built() {
    return false;
}
void register_module_benchmarks() {}
}  // namespace perf

#endif
