#include "rel_support.h"

#include "md5.h"

#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace rel {

Module& module() {
    static Module m = [] {
        Module x = module_host::load(ZALVO_MODULE_PATH);
        if (!x.loaded())
            std::fprintf(stderr, "%s\n", x.error.c_str());
        return x;
    }();
    return m;
}

usbsim::Scene tone_scene() {
    usbsim::Scene s;
    usbsim::Carrier c;
    c.freq_hz = INITIAL_TUNING_HZ + TONE_OFFSET_HZ;
    c.level_dbfs = -30;
    c.input = 0;
    s.carriers.push_back(c);
    s.noise_dbfs.reset();
    return s;
}

const ImageDigests& image_digests() {
    static ImageDigests d = [] {
        ImageDigests x;
        const std::string root = std::string(ZALVO_IMAGES_DIR) + "/rev4/";
        if (!md5_file((root + "std.ihx").c_str(), x.firmware.data()) ||
            !md5_file((root + "std_4rx_0tx.rbf").c_str(), x.fpga.data()))
            std::fprintf(stderr, "cannot hash the placeholder images under %s\n", root.c_str());
        return x;
    }();
    return d;
}

usbsim::BoardId fresh_world(bool warm, usbsim::Pacing pacing) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    cfg.warm = warm;
    if (warm) {
        cfg.firmware_hash = image_digests().firmware;
        cfg.fpga_hash = image_digests().fpga;
    }
    cfg.eeprom[1] = usbsim::eeprom_image(0x0001);
    cfg.eeprom[3] = usbsim::eeprom_image(0x0001);
    cfg.pacing = pacing;
    cfg.fifo_bytes = 2 * 1024 * 1024;
    cfg.scene = tone_scene();
    usbsim::BoardId b = w.add_board(w.add_bus(), cfg);
    w.rescan();
    w.clear_log();
    return b;
}

// ---- phase ------------------------------------------------------------------------------------

void PhaseTracker::restart(int settle_blocks) {
    settle_ = settle_blocks;
    have_last_ = false;
    amplitude_ = 0;
}

void PhaseTracker::feed(const float* block, int samples) {
    ++block_index_;
    if (settle_ > 0) {
        --settle_;
        if (samples > 0) {
            last_ = {block[2 * (samples - 1)], block[2 * (samples - 1) + 1]};
            amplitude_ = std::abs(last_);
            have_last_ = settle_ == 0;
        }
        return;
    }
    for (int j = 0; j < samples; ++j) {
        std::complex<double> z(block[2 * j], block[2 * j + 1]);
        if (have_last_ && amplitude_ > 0) {
            double turn = std::arg(z * std::conj(last_));
            double dev = std::fabs(std::remainder(turn - step_, 2 * M_PI));
            double level = std::fabs(std::abs(z) / amplitude_ - 1.0);
            double worst = std::max(dev, level);
            if (worst > worst_)
                worst_ = worst;
            ++checked_;
            if (dev > 2e-3 || level > 2e-3) {
                if (breaks_ == 0) {
                    std::ostringstream o;
                    o << "block " << block_index_ << " sample " << j << ": phase step " << turn
                      << " (expected " << step_ << "), level " << std::abs(z) << " (steady "
                      << amplitude_ << ")";
                    first_break_ = o.str();
                }
                ++breaks_;
            }
        }
        last_ = z;
        have_last_ = true;
    }
}

// ---- host -------------------------------------------------------------------------------------

void Host::on_error(const char* text) {
    if (std::this_thread::get_id() != host_thread)
        wrong_thread_errors.fetch_add(1);
    std::lock_guard<std::mutex> g(lock);
    errors.push_back(text ? text : "(null)");
}

void Host::on_data(float** buffers) {
    nonzero_spare_blocks.fetch_add(module_host::dirty_spare_buffers(buffers, block_length));
    if (track_phase)
        phase.feed(buffers[0], block_length);
    blocks.fetch_add(1, std::memory_order_release);
}

Host::Host(int rate)
    : host_thread(std::this_thread::get_id()), rate_index(rate),
      block_length(module_host::block_length_of(rate)),
      phase(2 * M_PI * TONE_OFFSET_HZ / (48000.0 * (1 << (rate & 3)))) {}

std::vector<std::string> Host::error_list() {
    std::lock_guard<std::mutex> g(lock);
    return errors;
}

bool Host::wait_blocks(int64_t n, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (blocks.load(std::memory_order_acquire) < n) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ReceiverSettings host_settings(Host& h) {
    return module_host::settings_for(h, h.rate_index, 0xA5);  // bytes the module must not read
}

// ---- fixture ---------------------------------------------------------------------------------

void ModuleFixture::SetUpTestSuite() {
    setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
    unsetenv("USRP_FIRMWARE");
    unsetenv("USRP_FPGA");
    unsetenv("USRP_VERBOSE");
}

void ModuleFixture::SetUp() {
    ASSERT_TRUE(module().loaded()) << module().error;
    base_threads = thread_count();
    base_fds = descriptor_count();
}

void ModuleFixture::TearDown() {
    module().stop_rx();
    usbsim::World::instance().clear_faults();
    usbsim::World::instance().reset();
}

// ---- counters ---------------------------------------------------------------------------------

namespace {
int count_entries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}
}  // namespace

int thread_count() {
    return count_entries("/proc/self/task");
}

int descriptor_count() {
    return count_entries("/proc/self/fd") - 1;
}  // less opendir's own

int64_t resident_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    return -1;
}

int wait_thread_count_at_most(int n, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int c = thread_count();
    while (c > n && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        c = thread_count();
    }
    return c;
}

// ---- watchdog ---------------------------------------------------------------------------------

Watchdog::Watchdog() : thread_([this] { run(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> g(m_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void Watchdog::arm(const std::string& what, int seconds) {
    std::lock_guard<std::mutex> g(m_);
    what_ = what;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    armed_ = true;
    cv_.notify_all();
}

void Watchdog::disarm() {
    std::lock_guard<std::mutex> g(m_);
    armed_ = false;
}

void Watchdog::run() {
    std::unique_lock<std::mutex> g(m_);
    while (!quit_) {
        if (!armed_) {
            cv_.wait(g);
            continue;
        }
        if (cv_.wait_until(g, deadline_) == std::cv_status::timeout && armed_ &&
            std::chrono::steady_clock::now() >= deadline_) {
            std::fprintf(stderr, "\nHANG: %s did not finish within its bound\n", what_.c_str());
            std::fflush(stderr);
            std::abort();
        }
    }
}

int64_t timed_ms(const std::function<void()>& fn) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

// ---- figures ----------------------------------------------------------------------------------

void figure(const std::string& key, const std::string& value) {
    std::printf("FIGURE %s %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
    if (const char* path = std::getenv("ZALVO_REL_FIGURES")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%s %s\n", key.c_str(), value.c_str());
            std::fclose(f);
        }
    }
}

bool instrumented_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

int64_t env_int(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    char* end = nullptr;
    long long x = std::strtoll(v, &end, 10);
    return end && *end == '\0' ? x : fallback;
}

}  // namespace rel
