#include "scene_capture.h"

#include "usbsim.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace capture {

namespace {

struct Sink {
    std::mutex lock;
    int wanted = 0;
    int block_length = 0;
    std::vector<float> samples;
    std::atomic<int> blocks{0};
    std::vector<std::string> errors;
};

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Sink* s = reinterpret_cast<Sink*>(context);
    std::lock_guard<std::mutex> g(s->lock);
    if (s->blocks.load() >= s->wanted)
        return;
    for (int r = 0; r < RECEIVERS; ++r)
        s->samples.insert(s->samples.end(), buffers[r], buffers[r] + 2 * s->block_length);
    s->blocks.fetch_add(1);
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Sink* s = reinterpret_cast<Sink*>(context);
    std::lock_guard<std::mutex> g(s->lock);
    s->errors.push_back(text);
}

usbsim::Scene fixed_scene() {
    usbsim::Scene scene;
    scene.seed = 11;
    scene.noise_dbfs = -85.0;
    usbsim::Carrier a;
    a.freq_hz = 3605000;
    a.level_dbfs = -30;
    scene.carriers.push_back(a);
    usbsim::Carrier b;
    b.freq_hz = 3587500;
    b.level_dbfs = -50;
    scene.carriers.push_back(b);
    usbsim::Carrier c;
    c.freq_hz = 3616000;
    c.level_dbfs = -40;
    c.morse = "TEST";
    c.wpm = 40;
    scene.carriers.push_back(c);
    return scene;
}

}  // namespace

bool run_fixed_scene(const Module& m, int rate_index, int blocks, Output& out, std::string& why) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    cfg.bcd_device = 0x0004;
    cfg.pacing = usbsim::Pacing::free_running;
    cfg.eeprom[1] = usbsim::eeprom_image(0x0001);
    cfg.eeprom[3] = usbsim::eeprom_image(0x0001);
    cfg.scene = fixed_scene();
    w.add_board(w.add_bus(), cfg);
    w.rescan();

    Sink sink;
    sink.wanted = blocks;
    sink.block_length = 512 << rate_index;
    ReceiverSettings s;
    std::memset(&s, 0x5A, sizeof s);
    s.callback_context = reinterpret_cast<intptr_t>(&sink);
    s.sample_rate_index = rate_index;
    s.data_callback = on_data;
    s.error_callback = on_error;
    m.start_rx(&s);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sink.blocks.load() < blocks && sink.errors.empty() &&
           std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m.stop_rx();
    if (!sink.errors.empty()) {
        why = "StartRx reported: " + sink.errors[0];
        return false;
    }
    if (sink.blocks.load() < blocks) {
        why = "only " + std::to_string(sink.blocks.load()) + " blocks within a minute";
        return false;
    }
    out.rate_index = rate_index;
    out.block_length = sink.block_length;
    out.blocks = blocks;
    out.samples = std::move(sink.samples);
    return true;
}

namespace {
const char MAGIC[8] = {'Z', 'A', 'L', 'V', 'O', 'C', 'A', 'P'};
}

bool write_output(const std::string& path, const Output& out) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    int32_t header[3] = {out.rate_index, out.block_length, out.blocks};
    bool ok =
        std::fwrite(MAGIC, 1, 8, f) == 8 && std::fwrite(header, 4, 3, f) == 3 &&
        std::fwrite(out.samples.data(), sizeof(float), out.samples.size(), f) == out.samples.size();
    return std::fclose(f) == 0 && ok;
}

bool read_output(const std::string& path, Output& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char magic[8];
    int32_t header[3];
    bool ok = std::fread(magic, 1, 8, f) == 8 && std::memcmp(magic, MAGIC, 8) == 0 &&
              std::fread(header, 4, 3, f) == 3 && header[1] > 0 && header[2] > 0 &&
              header[1] <= 2048 && header[2] <= 100000;
    if (ok) {
        out.rate_index = header[0];
        out.block_length = header[1];
        out.blocks = header[2];
        out.samples.resize(size_t(header[1]) * 2 * RECEIVERS * size_t(header[2]));
        ok = std::fread(out.samples.data(), sizeof(float), out.samples.size(), f) ==
                 out.samples.size() &&
             std::fgetc(f) == EOF;
    }
    std::fclose(f);
    return ok;
}

Difference compare(const Output& a, const Output& b) {
    Difference d;
    const size_t n = std::min(a.samples.size(), b.samples.size());
    double energy = 0;
    for (size_t i = 0; i < n; ++i) {
        const float x = a.samples[i], y = b.samples[i];
        energy += double(x) * x;
        if (std::memcmp(&x, &y, sizeof x) != 0) {
            ++d.differing;
            d.max_abs = std::max(d.max_abs, std::fabs(double(x) - double(y)));
        }
    }
    d.compared = n;
    d.rms_signal = n ? std::sqrt(energy / double(n)) : 0;
    return d;
}

}  // namespace capture
