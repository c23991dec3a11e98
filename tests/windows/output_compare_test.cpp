// The Linux build's float output for the fixed scene (scene_capture.h): reproducible from run to
// run, and bit for bit the same as the Windows build's on the same machine (ZALVO_WINDOWS_CAPTURE
// names the file that the Windows test host wrote; scripts/test.d/30-windows.sh sets it). Both
// builds choose the same instruction-set path from the processor, so equal bits also show that
// the 32-bit DLL ran the path this process reports (AVX2 and FMA on a processor that has them).
#include "dsp.h"
#include "scene_capture.h"
#include "usbsim.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>

namespace {

capture::Module load_module() {
    capture::Module m;
    void* h = dlopen(ZALVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return m;
    m.start_rx = reinterpret_cast<decltype(m.start_rx)>(dlsym(h, "StartRx"));
    m.stop_rx = reinterpret_cast<decltype(m.stop_rx)>(dlsym(h, "StopRx"));
    return m;
}

const capture::Module& module() {
    static capture::Module m = load_module();
    return m;
}

// One capture per rate and process: both cases use the one at 48 kHz.
const capture::Output& linux_output(int rate_index) {
    static capture::Output out[3];
    static bool done[3] = {};
    if (!done[rate_index]) {
        done[rate_index] = true;
        std::string why;
        if (!capture::run_fixed_scene(module(), rate_index, ZALVO_CAPTURE_BLOCKS, out[rate_index],
                                      why))
            ADD_FAILURE() << why;
    }
    return out[rate_index];
}

class FixedScene : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(module().start_rx, nullptr) << dlerror();
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
    }
    void TearDown() override { usbsim::World::instance().reset(); }
};

}  // namespace

// The output must depend on the scene only, not on how the reads were timed: a second run gives
// the same floats, bit for bit. Without this no comparison across builds means anything.
TEST_F(FixedScene, OutputIsReproducibleAndCarriesTheScene) {
    const capture::Output& first = linux_output(0);
    ASSERT_EQ(first.blocks, ZALVO_CAPTURE_BLOCKS);
    ASSERT_EQ(first.block_length, 512);
    capture::Output second;
    std::string why;
    ASSERT_TRUE(capture::run_fixed_scene(module(), 0, ZALVO_CAPTURE_BLOCKS, second, why)) << why;
    capture::Difference d = capture::compare(first, second);
    EXPECT_EQ(d.compared, first.samples.size());
    EXPECT_EQ(d.differing, 0u) << "largest difference " << d.max_abs;
    EXPECT_GT(d.rms_signal, 0.0);
}

TEST_F(FixedScene, MatchesTheWindowsBuild) {
    const char* path = std::getenv("ZALVO_WINDOWS_CAPTURE");
    if (!path)
        GTEST_SKIP() << "ZALVO_WINDOWS_CAPTURE not set (the Windows stage sets it)";
    capture::Output windows;
    ASSERT_TRUE(capture::read_output(path, windows)) << path;
    // The Windows capture names its rate (48, 96 or 192 kHz: the kernels differ by filter span).
    ASSERT_GE(windows.rate_index, 0);
    ASSERT_LE(windows.rate_index, 2);
    const capture::Output& here = linux_output(windows.rate_index);
    ASSERT_EQ(windows.rate_index, here.rate_index);
    ASSERT_EQ(windows.block_length, here.block_length);
    ASSERT_EQ(windows.blocks, here.blocks);
    ASSERT_EQ(windows.samples.size(), here.samples.size());
    if (const char* keep = std::getenv("ZALVO_LINUX_CAPTURE")) {
        EXPECT_TRUE(capture::write_output(keep, here)) << keep;
    }
    capture::Difference d = capture::compare(here, windows);
    std::printf(
        "compared %zu floats at %d kHz on the %s path: %zu not bit-identical, largest difference "
        "%.3g (%.3g of the RMS %.4g)\n",
        d.compared, 48 << here.rate_index, dsp::kernel_path_name(dsp::kernel_path()), d.differing,
        d.max_abs, d.rms_signal > 0 ? d.max_abs / d.rms_signal : 0, d.rms_signal);
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        EXPECT_EQ(dsp::kernel_path(), dsp::KernelPath::avx2);
    }
#endif
    EXPECT_GT(d.rms_signal, 0.0);
    EXPECT_EQ(d.differing, 0u) << "largest difference " << d.max_abs;
}
