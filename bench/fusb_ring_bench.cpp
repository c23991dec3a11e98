// Throughput of the receive ring (32 blocks of 64 KiB, as the receive path uses it) reading the
// free-running simulated board, next to a plain memcpy of the same bytes and a direct bulk read
// of the simulator without the ring, all in the same run.
#include <fusb_win32.h>
#include <usb_api.h>
#include <usbsim.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int BLOCK = 65536;
constexpr int NBLOCKS = 32;

// A warm board streaming `channels` channels at decimation 128 with the given scene.
struct Board {
    usb_dev_handle* handle = nullptr;

    Board(int channels, const usbsim::Scene& scene) {
        auto& w = usbsim::World::instance();
        w.reset();
        int bus = w.add_bus();
        usbsim::BoardConfig cfg;
        cfg.warm = true;
        cfg.pacing = usbsim::Pacing::free_running;
        cfg.scene = scene;
        w.add_board(bus, cfg);
        usb_init();
        usb_find_busses();
        usb_find_devices();
        for (usb_bus* b = usb_get_busses(); b && !handle; b = b->next)
            for (struct usb_device* d = b->devices; d && !handle; d = d->next)
                if (d->descriptor.idVendor == 0xFFFE && d->descriptor.idProduct == 0x0002)
                    handle = usb_open(d);
        if (!handle)
            return;
        usb_set_configuration(handle, 1);
        usb_claim_interface(handle, 2);
        usb_set_altinterface(handle, 0);
        fpga(49, 0x300);  // 16-bit I/Q
        fpga(38, static_cast<uint32_t>(channels));
        fpga(33, 127);
        request(0x06, 1, 0);  // receive path on
    }
    ~Board() {
        if (handle) {
            request(0x06, 0, 0);
            usb_release_interface(handle, 2);
            usb_close(handle);
        }
        usbsim::World::instance().reset();
    }
    void request(int req, int value, int index, char* data = nullptr, int len = 0) {
        usb_control_msg(handle, 0x40, req, value, index, data, len, 1000);
    }
    void fpga(int reg, uint32_t v) {
        char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
        request(0x09, reg, 0x0120, b, 4);
    }
};

usbsim::Scene one_carrier() {
    usbsim::Scene s;
    usbsim::Carrier c;
    c.freq_hz = 7012345;
    c.level_dbfs = -10;
    s.carriers = {c};
    s.noise_dbfs.reset();
    return s;
}

usbsim::Scene silence() {
    usbsim::Scene s;
    s.noise_dbfs.reset();
    return s;
}

usbsim::Scene scene_of(int which) {
    switch (which) {
        case 0: return silence();
        case 1: return one_carrier();
        default: return usbsim::default_scene();
    }
}

const char* scene_name(int which) {
    return which == 0 ? "silence" : which == 1 ? "one carrier" : "default scene";
}

// Arguments: channels, scene (0 silence, 1 one carrier, 2 default scene).
void BM_RingRead(benchmark::State& state) {
    Board board(static_cast<int>(state.range(0)), scene_of(static_cast<int>(state.range(1))));
    if (!board.handle) {
        state.SkipWithError("no simulated board");
        return;
    }
    fusb_devhandle_win32 dev(board.handle);
    std::unique_ptr<fusb_ephandle> ep(dev.open_endpoint(6, true, BLOCK, NBLOCKS));
    ep->start();
    std::vector<unsigned char> buf(BLOCK);
    for (auto _ : state) {
        if (ep->read(buf.data(), BLOCK) != BLOCK) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    ep->stop();
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BLOCK));
    state.SetLabel(scene_name(static_cast<int>(state.range(1))));
}
BENCHMARK(BM_RingRead)->Args({4, 0})->Args({4, 1})->Args({4, 2})->Args({1, 1})->UseRealTime();

// The simulator alone: synchronous bulk reads of one block, no ring.
void BM_DirectBulkRead(benchmark::State& state) {
    Board board(static_cast<int>(state.range(0)), scene_of(static_cast<int>(state.range(1))));
    if (!board.handle) {
        state.SkipWithError("no simulated board");
        return;
    }
    std::vector<char> buf(BLOCK);
    for (auto _ : state) {
        if (usb_bulk_read(board.handle, 6, buf.data(), BLOCK, 1000) != BLOCK) {
            state.SkipWithError("bulk read failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BLOCK));
    state.SetLabel(scene_name(static_cast<int>(state.range(1))));
}
BENCHMARK(BM_DirectBulkRead)->Args({4, 0})->Args({4, 1})->Args({4, 2})->UseRealTime();

// The floor of any reader: copying the same 64 KiB blocks out of a 2 MiB ring.
void BM_Memcpy(benchmark::State& state) {
    std::vector<unsigned char> ring(static_cast<size_t>(BLOCK) * NBLOCKS, 1), out(BLOCK);
    size_t k = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), ring.data() + k * BLOCK, BLOCK);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        k = (k + 1) % NBLOCKS;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BLOCK));
}
BENCHMARK(BM_Memcpy);

}  // namespace

BENCHMARK_MAIN();
