// One pipeline pass (a 65 536-byte read: 8 streams x 4096 samples, 8.192 ms of signal) at each
// output rate on each instruction-set path, without the benchmark library, so that the same
// program runs in the 32-bit Windows build under Wine as on Linux. Each figure is the fastest
// of several repetitions, in microseconds of the thread's processor time; each repetition runs
// passes until a second of it has gone by (0.2 s on Linux), so that the coarse thread clock of
// Windows (and of Wine) still gives the figure to about 1 %.
#include "pass_rig.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define PERF_BUILD "windows i686"
#define PERF_REPETITION_SECONDS 1.0
#else
#define PERF_REPETITION_SECONDS 0.2
#include <time.h>
#define PERF_BUILD "linux"
#endif

namespace {

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    *reinterpret_cast<volatile float*>(context) += buffers[0][0];
}

double seconds() {
#ifdef _WIN32
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user))
        return 0;
    auto ticks = [](const FILETIME& f) {
        return double((uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) * 1e-7;
#else
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
#endif
}

// Fastest pass time in microseconds, or a negative value when the pipeline cannot be set up.
double pass_us(int rate_index, int reps) {
    volatile float sink = 0;
    pass_rig::Rig rig(rate_index, on_data, reinterpret_cast<intptr_t>(&sink));
    if (!rig.ready())
        return -1;
    for (int k = 0; k < 20; ++k)
        rig.pass();
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        double start = seconds(), took = 0;
        long passes = 0;
        do {
            for (int k = 0; k < 20; ++k)
                rig.pass();
            passes += 20;
            took = seconds() - start;
        } while (took < PERF_REPETITION_SECONDS);
        took = took * 1e6 / double(passes);
        if (took < best)
            best = took;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    if (reps < 1)
        reps = 1;
    const int rates[] = {48000, 96000, 192000};
    std::printf(
        "| build | rate | path | us per pass | times real time |\n|---|---|---|---:|---:|\n");
    for (int idx = 0; idx < 3; ++idx) {
        for (dsp::KernelPath p :
             {dsp::KernelPath::avx2, dsp::KernelPath::sse2, dsp::KernelPath::scalar}) {
            if (!dsp::set_kernel_path(p))
                continue;
            double us = pass_us(idx, reps);
            std::printf("| %s | %d | %s | %.1f | %.0f |\n", PERF_BUILD, rates[idx],
                        dsp::kernel_path_name(p), us, 8192.0 / us);
            std::fflush(stdout);
        }
    }
    return 0;
}
