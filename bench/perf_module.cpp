// The module loaded with dlopen as a host loads it, streaming from the free-running simulated
// board (so the time measured is work, not waiting). Two scenes: the default one (carriers over
// noise, the simulator's synthesis then costs about as much as the module) and a silent one,
// where the simulator does little more than hand out zeros. The stream worker's own processor
// time is read in the data callback, which runs on that thread.
#include "perf_module.h"

#ifdef PERF_HAVE_MODULE

#include "ZalvoIntf.h"
#include "module_host.h"
#include "recording_host.h"
#include "sim_board.h"
#include "usbsim.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace perf {
namespace {

double clock_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The recording host that only counts, with the stream worker's processor time at the latest
// block (read in the data callback, which runs on that thread).
struct Host : support::RecordingHost {
    std::mutex clock_lock;
    long counted = 0;       // blocks up to the latest one
    double worker_cpu = 0;  // the worker's processor time then

    explicit Host(int rate_index) : RecordingHost(rate_index) {
        inspect_blocks = false;  // the module's time is measured, not the host's
        on_block = [this](float** buffers, int index) {
            benchmark::DoNotOptimize(buffers[0][0]);
            const double cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
            std::lock_guard<std::mutex> g(clock_lock);
            counted = long(index) + 1;
            worker_cpu = cpu;
        };
    }
};

constexpr long BLOCKS_PER_ITERATION = 94;  // 1.0027 s of signal

void streaming(benchmark::State& state, bool silent) {
    module_host::Module& m = module_host::built_module();
    if (!m.loaded()) {
        state.SkipWithError("module not loaded");
        return;
    }
    auto& w = usbsim::World::instance();
    usbsim::BoardConfig cfg;
    cfg.pacing = usbsim::Pacing::free_running;
    cfg.scene = silent ? usbsim::Scene() : usbsim::default_scene();
    support::attach_only_board(cfg);

    Host host(static_cast<int>(state.range(0)));
    ReceiverSettings s = host.settings_record(0);
    m.start_rx(&s);
    for (const std::string& text : host.error_list())
        std::fprintf(stderr, "module: %s\n", text.c_str());
    if (!host.error_list().empty() || !host.wait_blocks(10, 30000)) {
        m.stop_rx();
        w.reset();
        state.SkipWithError("no stream");
        return;
    }
    double signal = 0, cpu = 0, worker = 0;
    for (auto _ : state) {
        long start;
        double worker0;
        {
            std::lock_guard<std::mutex> g(host.clock_lock);
            start = host.counted;
            worker0 = host.worker_cpu;
        }
        double cpu0 = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
        if (!host.wait_blocks(start + BLOCKS_PER_ITERATION, 30000)) {
            state.SkipWithError("stream stopped");
            break;
        }
        double used = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        std::lock_guard<std::mutex> g(host.clock_lock);
        state.SetIterationTime(used);
        signal += double(host.counted - start) / 93.75;
        cpu += used;
        worker += host.worker_cpu - worker0;
    }
    m.stop_rx();
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
