// Throughput of the simulated board's free-running receive stream, read with usb_bulk_read in
// 64 KiB blocks as the module's ring reads it. Bytes per second are the figure of merit.
#include <benchmark/benchmark.h>
#include <usb.h>

#include <cmath>
#include <vector>

#include "usbsim.h"

namespace {

bool fpga(usb_dev_handle* h, int reg, uint32_t v) {
    char d[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return usb_control_msg(h, 0x40, 0x09, reg, 0x0120, d, 4, 1000) == 4;
}

// A warm board streaming `channels` channels at decimation 128, every channel reading input 0
// as I and Q (the module's mux 0) and tuned to -3.6 MHz, over the given scene.
usb_dev_handle* stream(const usbsim::Scene& scene, int channels) {
    usbsim::World& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig c;
    c.warm = true;
    c.scene = scene;
    w.add_board(w.add_bus(), c);
    w.rescan();
    usb_dev_handle* h = usb_open(usb_get_busses()->devices);
    usb_claim_interface(h, 2);
    fpga(h, 49, 0x300);
    fpga(h, 38, uint32_t(channels));
    fpga(h, 33, 127);
    for (int k = 0; k < 4; ++k)
        fpga(h, 34 + k, uint32_t(int32_t(std::llround(-3.6e6 / 64e6 * 4294967296.0))));
    char gain = 20;
    usb_control_msg(h, 0x40, 0x09, 2, 0x0220, &gain, 1, 1000);
    usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000);
    return h;
}

void read_stream(benchmark::State& state, const usbsim::Scene& scene) {
    usb_dev_handle* h = stream(scene, int(state.range(0)));
    std::vector<char> buf(65536);
    for (auto _ : state) {
        int r = usb_bulk_read(h, 6, buf.data(), int(buf.size()), 1000);
        if (r != int(buf.size()))
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
    usb_close(h);
    usbsim::World::instance().reset();
}

void BM_DefaultScene(benchmark::State& state) {
    read_stream(state, usbsim::default_scene());
}

void BM_NoiseOnly(benchmark::State& state) {
    usbsim::Scene s;
    s.noise_dbfs = -100;
    read_stream(state, s);
}

// Twenty steady carriers, all inside every channel's band.
void BM_TwentyCarriers(benchmark::State& state) {
    usbsim::Scene s;
    for (int i = 0; i < 20; ++i) {
        usbsim::Carrier c;
        c.freq_hz = 3.6e6 - 200000 + i * 20000;
        c.level_dbfs = -60;
        s.carriers.push_back(c);
    }
    s.noise_dbfs = -100;
    read_stream(state, s);
}

}  // namespace

BENCHMARK(BM_DefaultScene)->Arg(4)->Arg(1);
BENCHMARK(BM_NoiseOnly)->Arg(4);
BENCHMARK(BM_TwentyCarriers)->Arg(4);
