// One pipeline pass of a 65 536-byte block (four receivers, 8.192 ms of signal) at each output
// rate, and CResample::Process on a 4096-sample chunk. The "x_realtime" counter is how many
// times faster than the signal arrives the work runs on one core (from processor time, so that
// other load on the machine does not count).
#include "session.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr double PASS_SECONDS = 4096.0 / 500000.0; // 8.192 ms

// Hands out the same recorded block again and again, as a device would hand out new ones.
class RecordedSource : public StreamSource {
  public:
    RecordedSource() : block(65536 / 2) {
        for (size_t i = 0; i < block.size(); ++i) {
            int stream = static_cast<int>(i % 8);
            double t = double(i / 8) / 500000.0;
            block[i] = static_cast<int16_t>(
                12000 * std::sin(2 * 3.14159265358979 * (1000.0 + 7000.0 * stream) * t));
        }
    }
    void start_streaming() override {}
    void stop_streaming() override {}
    int read(void* buffer, int length, bool* overrun) override {
        std::memcpy(buffer, block.data(), static_cast<size_t>(length));
        *overrun = false;
        return length;
    }

  private:
    std::vector<int16_t> block;
};

void on_data(intptr_t context, float** buffers) {
    benchmark::DoNotOptimize(buffers[0][0]);
    ++*reinterpret_cast<int64_t*>(context);
}

void BM_PipelinePass(benchmark::State& state) {
    RecordedSource source;
    int64_t blocks = 0;
    std::unique_ptr<ReceiveSession> s(new ReceiveSession());
    s->settings.sample_rate_index = static_cast<int32_t>(state.range(0));
    s->settings.data_callback = on_data;
    s->settings.callback_context = reinterpret_cast<intptr_t>(&blocks);
    s->block_bytes = 65536;
    s->source = &source;
    if (!setup_pipeline(*s)) {
        state.SkipWithError("pipeline setup failed");
        return;
    }
    WorkerState w;
    worker_begin(*s, w);
    std::clock_t start = std::clock();
    for (auto _ : state)
        stream_pass(*s, w);
    double took = double(std::clock() - start) / CLOCKS_PER_SEC;
    state.counters["x_realtime"] = PASS_SECONDS * double(state.iterations()) / took;
    state.counters["blocks_per_s_signal"] =
        double(blocks) / (PASS_SECONDS * double(state.iterations()));
    state.SetLabel(std::to_string(s->output_rate) + " Hz");
    release_pipeline(*s);
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

} // namespace

BENCHMARK_MAIN();
