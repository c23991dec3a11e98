// The side-by-side benchmark: our resampler on every instruction-set path and the resampling
// libraries found at build time, on one job (one real stream, 500 kHz to 48, 96 and 192 kHz in
// 4096-sample chunks); the machine's floor (peak FMA rate, load-bound dot products); and the
// module's pipeline pass. Each result is CPU time of the benchmark thread, so other load on the
// machine counts less; with repetitions the fastest run of each is kept. After the runs, the
// whole comparison is printed as Markdown tables, ratios taken within this one run.
#include "pass_rig.h"
#include "perf_floor.h"
#include "perf_module.h"
#include "perf_quality.h"
#include "perf_resamplers.h"


#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using perf::CHUNK;
using perf::IN_RATE;

const int OUT_RATES[] = {48000, 96000, 192000};

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Quality is measured once per contender and rate, outside the timed loop.
std::map<std::string, perf::Quality>& qualities() {
    static std::map<std::string, perf::Quality> q;
    return q;
}

// ---- resamplers ---------------------------------------------------------------------------

void resample_case(benchmark::State& state, perf::Contender c, int out_rate) {
    const std::string key = c.name + "/" + std::to_string(out_rate);
    if (!qualities().count(key))
        qualities()[key] = perf::measure_quality(c, out_rate);
    const perf::Quality& q = qualities()[key];

    dsp::KernelPath before = dsp::kernel_path();
    if (c.ours)
        dsp::set_kernel_path(c.path);
    auto r = c.make(out_rate);
    // A second of band-limited noise-like signal (three tones), fed chunk after chunk.
    std::vector<float> signal(IN_RATE);
    for (size_t i = 0; i < signal.size(); ++i) {
        double t = double(i) / IN_RATE;
        signal[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 3100 * t) +
                                       0.2 * std::sin(2 * M_PI * 17300 * t) +
                                       0.1 * std::sin(2 * M_PI * 71000 * t));
    }
    std::vector<float> out(CHUNK + 1024);
    size_t pos = 0;
    // Past every contender's start-up delay first: steady state only is timed.
    for (; pos + CHUNK <= signal.size() / 5; pos += CHUNK)
        r->process(signal.data() + pos, CHUNK, out.data(), out.size());
    double outputs = 0;
    double start = thread_seconds();
    for (auto _ : state) {
        if (pos + CHUNK > signal.size())
            pos = 0;
        outputs += double(r->process(signal.data() + pos, CHUNK, out.data(), out.size()));
        benchmark::DoNotOptimize(out.data());
        pos += CHUNK;
    }
    double took = thread_seconds() - start;
    dsp::set_kernel_path(before);
    // A short estimation run of a contender that works in large internal blocks may see no
    // output at all; only runs with output count.
    if (outputs > 0)
        state.counters["ns_per_out"] = took * 1e9 / outputs;
    state.counters["snr_db"] = q.snr_db;
    state.counters["alias_dbfs"] = q.alias_db;
    state.counters["alias5_dbfs"] = q.alias5_db;
    state.counters["passband_db"] = q.passband_db;
    state.SetLabel(c.name);
}

// ---- floor ----------------------------------------------------------------------------------

// 12 FMAs of `lanes` lanes per round.
void peak_fma(benchmark::State& state, float (*loop)(int64_t), int lanes) {
    if (!perf::floor_supported()) {
        state.SkipWithError("no AVX2/FMA");
        return;
    }
    const int64_t rounds = 100000;
    float sink = 0;
    double start = thread_seconds();
    for (auto _ : state)
        sink += loop(rounds);
    double took = thread_seconds() - start;
    benchmark::DoNotOptimize(sink);
    state.counters["mac_per_ns"] = double(state.iterations()) * rounds * 12 * lanes / (took * 1e9);
}

void load_floor(benchmark::State& state) {
    if (!perf::floor_supported()) {
        state.SkipWithError("no AVX2/FMA");
        return;
    }
    const uint32_t span = static_cast<uint32_t>(state.range(0));
    float* h = ippsMalloc_32f(static_cast<int>(span));
    float* x = ippsMalloc_32f(static_cast<int>(span));
    for (uint32_t j = 0; j < span; ++j) {
        h[j] = 1.0f / float(j + 1);
        x[j] = float(j % 7) * 0.1f;
    }
    const int count = 256;
    float sink = 0;
    double start = thread_seconds();
    for (auto _ : state)
        sink += perf::load_bound_dots(h, x, span, count);
    double took = thread_seconds() - start;
    benchmark::DoNotOptimize(sink);
    state.counters["ns_per_dot"] = took * 1e9 / (double(state.iterations()) * count);
    state.counters["mac_per_ns"] = double(state.iterations()) * count * span / (took * 1e9);
    ippsFree(h);
    ippsFree(x);
}

// ---- pipeline pass ------------------------------------------------------------------------

void on_data(intptr_t, float** buffers) {
    benchmark::DoNotOptimize(buffers[0][0]);
}

void pipeline_pass(benchmark::State& state, dsp::KernelPath path) {
    dsp::KernelPath before = dsp::kernel_path();
    dsp::set_kernel_path(path);
    pass_rig::Rig rig(static_cast<int32_t>(state.range(0)), on_data, 0);
    if (!rig.ready()) {
        dsp::set_kernel_path(before);
        state.SkipWithError("pipeline setup failed");
        return;
    }
    double start = thread_seconds();
    for (auto _ : state)
        rig.pass();
    double took = thread_seconds() - start;
    state.counters["us_per_pass"] = took * 1e6 / double(state.iterations());
    state.counters["x_realtime"] = pass_rig::PASS_SECONDS * double(state.iterations()) / took;
    dsp::set_kernel_path(before);
}

// ---- the tables -----------------------------------------------------------------------------

// Keeps, for every benchmark, the run with the smallest primary figure.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::map<std::string, double>> best;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            std::map<std::string, double> v;
            for (const auto& kv : run.counters)
                v[kv.first] = kv.second.value;
            auto it = best.find(name);
            if (it == best.end() || primary(v) < primary(it->second))
                best[name] = v;
        }
    }

  private:
    static double primary(const std::map<std::string, double>& v) {
        for (const char* k : {"ns_per_out", "us_per_pass", "ns_per_dot", "process_pct"})
            if (v.count(k))
                return v.at(k);
        if (v.count("mac_per_ns"))
            return -v.at("mac_per_ns");
        return HUGE_VAL;
    }
};

// "model name (family F, model M)" of the first processor in /proc/cpuinfo.
std::string cpu_model() {
    std::ifstream f("/proc/cpuinfo");
    std::string line, name = "unknown", family, model;
    auto value = [&line] { return line.substr(line.find(':') + 2); };
    while (std::getline(f, line) && !line.empty()) {
        if (line.rfind("model name", 0) == 0)
            name = value();
        else if (line.rfind("cpu family", 0) == 0)
            family = value();
        else if (line.rfind("model\t", 0) == 0)
            model = value();
    }
    if (!family.empty() && !model.empty())
        name += " (family " + family + ", model " + model + ")";
    return name;
}

std::string load_average() {
    double l[3] = {0, 0, 0};
    if (getloadavg(l, 3) != 3)
        return "unknown";
    char b[64];
    std::snprintf(b, sizeof b, "%.2f %.2f %.2f", l[0], l[1], l[2]);
    return b;
}

uint32_t span_for(int out_rate) {
    return dsp::resample_span(IN_RATE, out_rate, 64, 0.9f);
}

// The span of the load-bound dot product that measures the machine's load rate.
constexpr uint32_t FLOOR_SPAN = 256;

// The resampler's work per output (dsp.h): the polyphase stage's taps for two samples, then the
// half-band filter's pairs (one addition and one fused multiply-add each) and its centre tap;
// and the 8-float vector loads that the AVX2 path makes for it (a coefficient vector shared by
// eight outputs, so 9 loads per 8 x 8 multiply-adds; two loads per pair for eight outputs).
struct Work {
    uint32_t span1 = 0, pairs = 0;
    double macs = 0, loads = 0;
};
Work work_for(int out_rate) {
    Work w;
    dsp::resample_stages(IN_RATE, out_rate, 64, 0.9f, &w.span1, &w.pairs);
    const double samples = w.pairs ? 2 : 1;
    w.macs = samples * w.span1 + (w.pairs ? w.pairs + 1 : 0);
    w.loads = samples * w.span1 * 9.0 / 64.0 + (w.pairs ? (2.0 * w.pairs + 1) / 8.0 : 0);
    return w;
}

void print_tables(const TableReporter& rep, const std::vector<perf::Contender>& cs,
                  const std::string& load_before) {
    auto get = [&](const std::string& name, const char* key) {
        auto it = rep.best.find(name);
        if (it == rep.best.end() || !it->second.count(key))
            return std::nan("");
        return it->second.at(key);
    };
    std::printf("\n## Results\n\n");
    std::printf("Machine: %s, %ld cores online; load average %s before, %s after.\n",
                cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN), load_before.c_str(),
                load_average().c_str());
    std::printf("Default kernel path: %s. Times are CPU time of the benchmark thread; each "
                "figure is the fastest of the repetitions.\n",
                dsp::kernel_path_name(dsp::kernel_path()));

    const double peak = get("peak_fma", "mac_per_ns");
    std::printf("\n### Resamplers, one real stream, 4096-sample chunks\n");
    const std::string engine = perf::soxr_hq_engine();
    if (!engine.empty())
        std::printf("\nsoxr HQ runs its \"%s\" engine on this machine.\n", engine.c_str());
    for (int rate : OUT_RATES) {
        std::printf("\n500 kHz -> %d kHz (our span: %u input samples)\n\n", rate / 1000,
                    span_for(rate));
        std::printf("| resampler | ns/output | vs soxr HQ | 5 kHz SNR dB | worst alias >= 1.1 Nyq "
                    "dBFS | alias at Nyq+5k dBFS | passband to 0.8 Nyq, dB |\n"
                    "|---|---:|---:|---:|---:|---:|---:|\n");
        double soxr = get("resample/" + std::to_string(rate) + "/soxr HQ", "ns_per_out");
        for (const perf::Contender& c : cs) {
            std::string n = "resample/" + std::to_string(rate) + "/" + c.name;
            double ns = get(n, "ns_per_out");
            // Rounded, not cut: a ratio just above a target must not print as the target.
            char ratio[32] = "-";
            if (!std::isnan(soxr))
                std::snprintf(ratio, sizeof ratio, ns / soxr < 10 ? "%.2fx" : "%.1fx", ns / soxr);
            std::printf("| %s | %.2f | %s | %.1f | %.1f | %.1f | %.4f |\n", c.name.c_str(), ns,
                        ratio, get(n, "snr_db"), get(n, "alias_dbfs"), get(n, "alias5_dbfs"),
                        get(n, "passband_db"));
        }
    }

    std::printf("\n### Against the machine's floor\n\n");
    const double peak128 = get("peak_fma128", "mac_per_ns");
    std::printf("Peak FMA rate (12 independent 8-lane chains): %.1f multiply-adds per ns; with "
                "4-lane chains %.1f. The 256-bit operations run at %.2f x the multiply-add rate "
                "of the 128-bit ones (2 on processors with full-width 256-bit units, 1 where each "
                "is split into two 128-bit halves).\n\n",
                peak, peak128, peak / peak128);
    const double per_load =
        get("load_floor/" + std::to_string(FLOOR_SPAN), "ns_per_dot") / (2.0 * FLOOR_SPAN / 8.0);
    std::printf("Load rate (a dot product over L1-resident data, two 8-float loads per FMA): "
                "%.3f ns per load.\n\n",
                per_load);
    std::printf("| rate | polyphase taps x samples + half-band pairs | multiply-adds per output | "
                "vector loads per output | ours fast ns/output | FMA-bound floor ns | "
                "load-bound floor ns | ratio to load-bound |\n"
                "|---|---|---:|---:|---:|---:|---:|---:|\n");
    std::string best_ours;
    for (const perf::Contender& c : cs)
        if (c.ours && best_ours.empty())
            best_ours = c.name;
    for (int rate : OUT_RATES) {
        double ours = get("resample/" + std::to_string(rate) + "/" + best_ours, "ns_per_out");
        Work w = work_for(rate);
        double load_floor = w.loads * per_load;
        std::printf("| %d | %u x %d + %u | %.0f | %.1f | %.2f | %.2f | %.2f | %.2fx |\n", rate,
                    w.span1, w.pairs ? 2 : 1, w.pairs, w.macs, w.loads, ours, w.macs / peak,
                    load_floor, ours / load_floor);
    }

    std::printf(
        "\n### Pipeline pass (65 536-byte read: 8 streams x 4096 samples, 8.192 ms of "
        "signal)\n\n| rate | path | us per pass | times real time |\n|---|---|---:|---:|\n");
    for (int idx = 0; idx < 3; ++idx) {
        for (dsp::KernelPath p :
             {dsp::KernelPath::avx2, dsp::KernelPath::sse2, dsp::KernelPath::scalar}) {
            if (!dsp::kernel_path_supported(p))
                continue;
            std::string n =
                std::string("pass_") + dsp::kernel_path_name(p) + "/" + std::to_string(idx);
            std::printf("| %d | %s | %.1f | %.0f |\n", OUT_RATES[idx], dsp::kernel_path_name(p),
                        get(n, "us_per_pass"), get(n, "x_realtime"));
        }
    }

    if (perf::module_benchmarks_built()) {
        std::printf("\n### The module streaming four receivers from the free-running simulated "
                    "board\n\nProcessor time per second of signal, in percent of one core.\n\n"
                    "| rate | whole process, default scene | whole process, silent scene | "
                    "stream worker thread |\n|---|---:|---:|---:|\n");
        for (int idx = 0; idx < 3; ++idx) {
            std::string i = "/" + std::to_string(idx);
            std::printf("| %d | %.2f %% | %.2f %% | %.2f %% |\n", OUT_RATES[idx],
                        get("module/default" + i, "process_pct"),
                        get("module/silent" + i, "process_pct"),
                        get("module/default" + i, "worker_pct"));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string load_before = load_average();
    std::vector<perf::Contender> cs = perf::contenders();
    benchmark::RegisterBenchmark("peak_fma", peak_fma, perf::peak_fma_loop, 8);
    benchmark::RegisterBenchmark("peak_fma128", peak_fma, perf::peak_fma128_loop, 4);
    benchmark::RegisterBenchmark("load_floor", load_floor)->Arg(FLOOR_SPAN);
    for (int rate : OUT_RATES)
        for (const perf::Contender& c : cs)
            benchmark::RegisterBenchmark(
                ("resample/" + std::to_string(rate) + "/" + c.name).c_str(),
                [c, rate](benchmark::State& st) { resample_case(st, c, rate); });
    for (dsp::KernelPath p :
         {dsp::KernelPath::avx2, dsp::KernelPath::sse2, dsp::KernelPath::scalar})
        if (dsp::kernel_path_supported(p))
            benchmark::RegisterBenchmark((std::string("pass_") + dsp::kernel_path_name(p)).c_str(),
                                         [p](benchmark::State& st) { pipeline_pass(st, p); })
                ->Arg(0)
                ->Arg(1)
                ->Arg(2);

    perf::register_module_benchmarks();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TableReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    print_tables(rep, cs, load_before);
    benchmark::Shutdown();
    return 0;
}
