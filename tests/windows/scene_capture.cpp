#include "scene_capture.h"

#include "recording_host.h"
#include "sim_board.h"
#include "usbsim.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace capture {

namespace {

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
    usbsim::BoardConfig cfg;
    cfg.bcd_device = 0x0004;
    cfg.pacing = usbsim::Pacing::free_running;
    support::add_basic_rx(cfg);
    cfg.scene = fixed_scene();
    support::attach_only_board(cfg);

    support::RecordingHost host(rate_index);
    host.keep = blocks;
    ReceiverSettings s = host.settings_record(0x5A);
    m.start_rx(&s);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (host.blocks.load() < blocks && host.error_list().empty() &&
           std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m.stop_rx();
    if (!host.error_list().empty()) {
        why = "StartRx reported: " + host.error_list()[0];
        return false;
    }
    if (host.blocks.load() < blocks) {
        why = "only " + std::to_string(host.blocks.load()) + " blocks within a minute";
        return false;
    }
    // Block by block, receiver by receiver.
    const size_t block_floats = 2 * size_t(host.block_length);
    out.rate_index = rate_index;
    out.block_length = host.block_length;
    out.blocks = blocks;
    out.samples.clear();
    for (size_t b = 0; b < size_t(blocks); ++b)
        for (int r = 0; r < RECEIVERS; ++r)
            out.samples.insert(out.samples.end(), host.kept[r].begin() + b * block_floats,
                               host.kept[r].begin() + (b + 1) * block_floats);
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
