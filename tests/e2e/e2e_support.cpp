#include "e2e_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace e2e {

Module& module() {
    Module& m = module_host::built_module();
    if (!m.loaded()) {
        std::fprintf(stderr, "%s\n", m.error.c_str());
        std::abort();
    }
    return m;
}

// ---- Host ---------------------------------------------------------------------------------

Host::Host(int rate_index_, size_t keep_blocks) : RecordingHost(rate_index_) {
    keep = int(keep_blocks);
}

Host::~Host() {
    if (started_)
        module().stop_rx();
}

void Host::start() {
    ReceiverSettings s = settings();
    started_ = true;
    module().start_rx(&s);
}

void Host::stop() {
    module().stop_rx();
    started_ = false;
}

ReceiverSettings Host::settings() {
    return settings_record(0xA5);
}

std::vector<std::string> Host::errors() const {
    return error_list();
}

std::vector<std::thread::id> Host::error_threads() const {
    std::lock_guard<std::mutex> g(lock);
    return RecordingHost::error_threads;
}

std::vector<std::complex<float>> Host::kept(int receiver) const {
    std::lock_guard<std::mutex> g(lock);
    const std::vector<float>& iq = RecordingHost::kept[receiver];
    std::vector<std::complex<float>> z(iq.size() / 2);
    for (size_t i = 0; i < z.size(); ++i)
        z[i] = {iq[2 * i], iq[2 * i + 1]};
    return z;
}

size_t Host::kept_blocks() const {
    std::lock_guard<std::mutex> g(lock);
    return block_length ? RecordingHost::kept[0].size() / (2 * size_t(block_length)) : 0;
}

// ---- boards -------------------------------------------------------------------------------

usbsim::BoardConfig board_config(bool warm) {
    usbsim::BoardConfig c;
    c.bcd_device = 0x0004;
    if (warm)
        support::make_warm(c);
    c.pacing = usbsim::Pacing::free_running;
    c.scene.noise_dbfs.reset();
    c.scene.carriers.clear();
    return c;
}

usbsim::Scene scene_of(const std::vector<TestCarrier>& carriers) {
    usbsim::Scene s;
    s.noise_dbfs.reset();
    for (const TestCarrier& t : carriers)
        s.carriers.push_back(support::carrier(t.freq_hz, t.level_dbfs));
    return s;
}

// ---- signal -------------------------------------------------------------------------------

double ddc_actual_hz(double tuned_hz) {
    const double steps = std::nearbyint(tuned_hz / ADC_HZ * 4294967296.0);
    return steps * ADC_HZ / 4294967296.0;
}

double expected_amplitude(double level_dbfs) {
    const double gain_db = 20.0;
    const double int16_amplitude =
        std::sqrt(2.0) * usbsim::TONE_AMPLITUDE * std::pow(10.0, (level_dbfs + gain_db) / 20.0);
    return int16_amplitude / 32768.0 * 2147483648.0 * 0.98;
}

}  // namespace e2e
