// One pipeline pass of a 65 536-byte block (four receivers, 8.192 ms of signal) at each output
// rate, and CResample::Process on a 4096-sample chunk. The "x_realtime" counter is how many
// times faster than the signal arrives the work runs on one core (from processor time, so that
// other load on the machine does not count).
#include "pass_rig.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using pass_rig::PASS_SECONDS;

void on_data(intptr_t context, float** buffers) {
    benchmark::DoNotOptimize(buffers[0][0]);
    ++*reinterpret_cast<int64_t*>(context);
}

void BM_PipelinePass(benchmark::State& state) {
    int64_t blocks = 0;
    pass_rig::Rig rig(static_cast<int32_t>(state.range(0)), on_data,
                      reinterpret_cast<intptr_t>(&blocks));
    if (!rig.ready()) {
        state.SkipWithError("pipeline setup failed");
        return;
    }
    std::clock_t start = std::clock();
    for (auto _ : state)
        rig.pass();
    double took = double(std::clock() - start) / CLOCKS_PER_SEC;
    state.counters["x_realtime"] = PASS_SECONDS * double(state.iterations()) / took;
    state.counters["blocks_per_s_signal"] =
        double(blocks) / (PASS_SECONDS * double(state.iterations()));
    state.SetLabel(std::to_string(rig.pipeline().output_rate()) + " Hz");
}
BENCHMARK(BM_PipelinePass)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_ResampleProcess(benchmark::State& state) {
    const uint32_t out_rate = static_cast<uint32_t>(state.range(0));
    CResample r;
    r.SetParams(static_cast<int32_t>(state.range(1)), 64, 0.9f, 9.0f, 0.98f);
    if (!r.Init(500000, out_rate)) {
        state.SkipWithError("Init failed");
        return;
    }
    std::vector<float> in(4096), out(4096);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(std::sin(0.01 * double(i)));
    int32_t produced = 0;
    std::clock_t start = std::clock();
    for (auto _ : state) {
        r.Process(in.data(), 4096, out.data(), &produced);
        benchmark::DoNotOptimize(out.data());
    }
    double took = double(std::clock() - start) / CLOCKS_PER_SEC;
    // One stream of eight: the pass needs eight of these.
    state.counters["x_realtime_per_stream"] = PASS_SECONDS * double(state.iterations()) / took;
    state.SetLabel(std::to_string(out_rate) + " Hz, " + (state.range(1) ? "fast" : "accurate"));
}
BENCHMARK(BM_ResampleProcess)
    ->Args({48000, 1})
    ->Args({96000, 1})
    ->Args({192000, 1})
    ->Args({48000, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
