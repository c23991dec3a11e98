#include "e2e_support.h"

#include "md5.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace e2e {

Module& module() {
    static Module m = [] {
        Module x = module_host::load(ZALVO_MODULE_PATH);
        if (!x.loaded()) {
            std::fprintf(stderr, "%s\n", x.error.c_str());
            std::abort();
        }
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
        return x;
    }();
    return m;
}

int rate_of(int rate_index) {
    static const int rates[] = {48000, 96000, 192000};
    return rates[rate_index];
}

// ---- Host ---------------------------------------------------------------------------------

Host::Host(int rate_index_, size_t keep_blocks_)
    : rate_index(rate_index_),
      block_length(rate_index_ >= 0 && rate_index_ <= 2 ? block_length_of(rate_index_) : 0),
      keep_blocks(keep_blocks_) {}

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
    return module_host::settings_for(*this, rate_index, 0xA5);
}

void Host::on_data(float** buffers) {
    if (std::this_thread::get_id() == host_thread)
        data_on_host_thread = true;
    dirty_spare_blocks.fetch_add(module_host::dirty_spare_buffers(buffers, block_length));
    int index = blocks.load(std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> g(lock_);
        if (kept_blocks_ < keep_blocks) {
            for (int r = 0; r < RECEIVERS; ++r) {
                const auto* z = reinterpret_cast<const std::complex<float>*>(buffers[r]);
                kept_[r].insert(kept_[r].end(), z, z + block_length);
            }
            ++kept_blocks_;
        }
    }
    if (on_block)
        on_block(buffers, index);
    blocks.fetch_add(1, std::memory_order_release);
}

void Host::on_error(const char* text) {
    std::lock_guard<std::mutex> g(lock_);
    errors_.push_back(text);
    error_threads_.push_back(std::this_thread::get_id());
}

std::vector<std::string> Host::errors() const {
    std::lock_guard<std::mutex> g(lock_);
    return errors_;
}

std::vector<std::thread::id> Host::error_threads() const {
    std::lock_guard<std::mutex> g(lock_);
    return error_threads_;
}

std::vector<std::complex<float>> Host::kept(int receiver) const {
    std::lock_guard<std::mutex> g(lock_);
    return kept_[receiver];
}

size_t Host::kept_blocks() const {
    std::lock_guard<std::mutex> g(lock_);
    return kept_blocks_;
}

bool Host::wait_blocks(int n, int timeout_ms) const {
    return wait_until([&] { return blocks.load(std::memory_order_acquire) >= n; }, timeout_ms);
}

// ---- boards -------------------------------------------------------------------------------

const char* images_dir() {
    return ZALVO_IMAGES_DIR;
}

std::string image_path(int revision, const char* name) {
    return std::string(ZALVO_IMAGES_DIR) + "/rev" + std::to_string(revision) + "/" + name;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

std::array<uint8_t, 16> md5_of_file(const std::string& path) {
    std::array<uint8_t, 16> d{};
    if (!md5_file(path.c_str(), d.data()))
        throw std::runtime_error("cannot hash " + path);
    return d;
}

usbsim::BoardConfig board_config(bool warm) {
    usbsim::BoardConfig c;
    c.bcd_device = 0x0004;
    c.warm = warm;
    if (warm) {
        c.firmware_hash = md5_of_file(image_path(4, "std.ihx"));
        c.fpga_hash = md5_of_file(image_path(4, "std_4rx_0tx.rbf"));
    }
    c.pacing = usbsim::Pacing::free_running;
    c.scene.noise_dbfs.reset();
    c.scene.carriers.clear();
    return c;
}

usbsim::BoardId attach_board(const usbsim::BoardConfig& config) {
    auto& w = usbsim::World::instance();
    int bus = w.add_bus();
    usbsim::BoardId b = w.add_board(bus, config);
    w.rescan();
    return b;
}

usbsim::Scene scene_of(const std::vector<TestCarrier>& carriers) {
    usbsim::Scene s;
    s.noise_dbfs.reset();
    for (const TestCarrier& t : carriers) {
        usbsim::Carrier c;
        c.freq_hz = t.freq_hz;
        c.level_dbfs = t.level_dbfs;
        c.input = 0;
        s.carriers.push_back(c);
    }
    return s;
}

// ---- standard error -----------------------------------------------------------------------

StderrCapture::StderrCapture() {
    char name[] = "/tmp/e2e_stderr_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    path_ = name;
    std::fflush(stderr);
    saved_ = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    unlink(path_.c_str());
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::ifstream f(path_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int thread_count() {
    DIR* d = opendir("/proc/self/task");
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

int baseline_thread_count() {
    static const bool primed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)primed;
    int n = thread_count();
    // A helper thread may take a moment to appear after the first thread creation.
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = std::max(n, thread_count());
    }
    return n;
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

double tone_amplitude(const std::complex<float>* x, size_t n, double freq_hz, double rate) {
    if (n < 2)
        return 0;
    std::complex<double> acc = 0;
    double wsum = 0;
    const double two_pi = 2.0 * M_PI;
    for (size_t k = 0; k < n; ++k) {
        double w = 0.5 - 0.5 * std::cos(two_pi * double(k) / double(n - 1));
        double ph = -two_pi * freq_hz * double(k) / rate;
        acc += w * std::complex<double>(x[k]) * std::complex<double>(std::cos(ph), std::sin(ph));
        wsum += w;
    }
    return std::abs(acc) / wsum;
}

double tone_amplitude(const std::vector<std::complex<float>>& x, size_t start, size_t n,
                      double freq_hz, double rate) {
    if (start + n > x.size())
        return -1;
    return tone_amplitude(x.data() + start, n, freq_hz, rate);
}

}  // namespace e2e
