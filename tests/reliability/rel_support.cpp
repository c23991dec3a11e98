#include "rel_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace rel {

Module& module() {
    return module_host::built_module();
}

usbsim::Scene tone_scene() {
    usbsim::Scene s;
    s.carriers.push_back(support::carrier(INITIAL_TUNING_HZ + TONE_OFFSET_HZ, -30));
    s.noise_dbfs.reset();
    return s;
}

usbsim::BoardId fresh_world(bool warm, usbsim::Pacing pacing) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    if (warm)
        support::make_warm(cfg);
    support::add_basic_rx(cfg);
    cfg.pacing = pacing;
    cfg.fifo_bytes = 2 * 1024 * 1024;
    cfg.scene = tone_scene();
    usbsim::BoardId b = support::attach_board(cfg);
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

Host::Host(int rate)
    : RecordingHost(rate), phase(2 * M_PI * TONE_OFFSET_HZ / (48000.0 * (1 << (rate & 3)))) {
    on_block = [this](float** buffers, int) {
        if (track_phase)
            phase.feed(buffers[0], block_length);
    };
}

ReceiverSettings host_settings(Host& h) {
    return h.settings_record(0xA5);  // bytes the module must not read
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
