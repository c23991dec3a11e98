// Choice of the instruction-set path: the best one the processor runs, unless a test or a
// benchmark asks for another through the test hook.
#include "dsp.h"
#include "dsp_kernels.h"

#include <atomic>
#include <initializer_list>

namespace dsp {
namespace kernels {
namespace {

const Table* table_of(KernelPath path) {
    switch (path) {
        case KernelPath::scalar: return &scalar_table;
#ifdef DSP_HAVE_SSE2_TABLE
        case KernelPath::sse2: return &sse2_table;
#endif
#ifdef DSP_HAVE_AVX2_TABLE
        case KernelPath::avx2: return &avx2_table;
#endif
        default: return nullptr;
    }
}

bool processor_runs(KernelPath path) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    switch (path) {
        case KernelPath::scalar: return true;
        case KernelPath::sse2: return __builtin_cpu_supports("sse2");
        case KernelPath::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }
    return false;
#else
    return path == KernelPath::scalar;
#endif
}

KernelPath best_path() {
    for (KernelPath p : {KernelPath::avx2, KernelPath::sse2})
        if (kernel_path_supported(p))
            return p;
    return KernelPath::scalar;
}

std::atomic<int> current{-1};

}  // namespace

const Table& active() {
    int p = current.load(std::memory_order_relaxed);
    if (p < 0) {
        p = static_cast<int>(best_path());
        current.store(p, std::memory_order_relaxed);
    }
    return *table_of(static_cast<KernelPath>(p));
}

}  // namespace kernels

bool kernel_path_supported(KernelPath path) {
    return kernels::table_of(path) != nullptr && kernels::processor_runs(path);
}

KernelPath kernel_path() {
    kernels::active();
    return static_cast<KernelPath>(kernels::current.load(std::memory_order_relaxed));
}

#ifdef ZALVO_TEST_HOOKS
bool set_kernel_path(KernelPath path) {
    if (!kernel_path_supported(path))
        return false;
    kernels::current.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}
#endif

const char* kernel_path_name(KernelPath path) {
    switch (path) {
        case KernelPath::scalar: return "scalar";
        case KernelPath::sse2: return "sse2";
        case KernelPath::avx2: return "avx2";
    }
    return "unknown";
}

}  // namespace dsp
