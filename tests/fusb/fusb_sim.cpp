#include "fusb_sim.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

namespace fusb_test {

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

size_t bulk_records(int endpoint) {
    return usbsim::on_endpoint(usbsim::World::instance().bulk_log(), endpoint).size();
}

void SimBoard::SetUp() {
    auto& w = usbsim::World::instance();
    w.reset();
    int bus = w.add_bus();
    usbsim::BoardConfig cfg;
    cfg.warm = true;
    cfg.pacing = usbsim::Pacing::free_running;
    usbsim::Carrier c;
    c.freq_hz = CARRIER_HZ;
    c.level_dbfs = -10;
    c.input = 0;
    cfg.scene.carriers = {c};
    cfg.scene.noise_dbfs.reset();
    board = w.add_board(bus, cfg);

    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus* b = usb_get_busses(); b && !handle; b = b->next)
        for (struct usb_device* d = b->devices; d && !handle; d = d->next)
            if (d->descriptor.idVendor == USRP_VENDOR && d->descriptor.idProduct == USRP_PRODUCT)
                handle = usb_open(d);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(usb_set_configuration(handle, 1), 0);
    ASSERT_EQ(usb_claim_interface(handle, RX_INTERFACE), 0);
    ASSERT_EQ(usb_set_altinterface(handle, 0), 0);

    // 16-bit I/Q, one channel with I and Q from converter input 0, decimation 128, tuned so that
    // the carrier sits 12 345 Hz above the channel's centre.
    ASSERT_TRUE(fpga_write(handle, FPGA_RX_FORMAT, 0x300));
    ASSERT_TRUE(fpga_write(handle, FPGA_RX_MUX, 1));
    ASSERT_TRUE(fpga_write(handle, FPGA_DECIM, 127));
    const double word = std::round(DDC_HZ / usbsim::ADC_CLOCK_HZ * 4294967296.0);
    ASSERT_TRUE(
        fpga_write(handle, FPGA_DDC0_FREQ, static_cast<uint32_t>(static_cast<int32_t>(word))));
    w.clear_log();
}

void SimBoard::TearDown() {
    if (handle) {
        usb_release_interface(handle, RX_INTERFACE);
        usb_close(handle);
        handle = nullptr;
    }
    usbsim::World::instance().reset();
}

bool StreamChecker::feed(const unsigned char* bytes, size_t n) {
    auto sample = [](const unsigned char* p) {
        int16_t iv = static_cast<int16_t>(p[0] | (p[1] << 8));
        int16_t qv = static_cast<int16_t>(p[2] | (p[3] << 8));
        return std::complex<double>(iv, qv);
    };
    size_t i = 0;
    // Finish a sample split across two calls.
    while (!carry_.empty() && i < n && !failed_) {
        carry_.push_back(bytes[i++]);
        if (carry_.size() == BYTES_PER_SAMPLE) {
            check(sample(carry_.data()));
            carry_.clear();
        }
    }
    for (; i + BYTES_PER_SAMPLE <= n && !failed_; i += BYTES_PER_SAMPLE)
        check(sample(bytes + i));
    if (!failed_)
        carry_.assign(bytes + i, bytes + n);
    return !failed_;
}

bool StreamChecker::check(std::complex<double> z) {
    const size_t WARMUP = 512;
    if (!calibrated_) {
        warmup_.push_back(z);
        if (warmup_.size() < WARMUP)
            return true;
        // Estimate amplitude and rotation per sample from the first samples, then check them too.
        std::complex<double> acc{};
        double amp = 0;
        for (size_t k = 0; k < WARMUP; ++k) {
            amp += std::abs(warmup_[k]);
            if (k > 0)
                acc += warmup_[k] * std::conj(warmup_[k - 1]);
        }
        amplitude_ = amp / WARMUP;
        if (amplitude_ < 100 || std::abs(acc) == 0) {
            ADD_FAILURE() << "stream carries no steady carrier (amplitude " << amplitude_ << ")";
            failed_ = true;
            return false;
        }
        step_ = acc / std::abs(acc);
        const double tol = 4.0 + 2e-3 * amplitude_;
        tol2_ = tol * tol;
        amp_lo2_ = (amplitude_ - tol) * (amplitude_ - tol);
        amp_hi2_ = (amplitude_ + tol) * (amplitude_ + tol);
        calibrated_ = true;
        std::vector<std::complex<double>> head;
        head.swap(warmup_);
        count_ = 1;
        last_ = head[0];
        for (size_t k = 1; k < WARMUP; ++k)
            if (!check(head[k]))
                return false;
        return true;
    }
    const double er = z.real() - (last_.real() * step_.real() - last_.imag() * step_.imag());
    const double ei = z.imag() - (last_.real() * step_.imag() + last_.imag() * step_.real());
    const double m2 = z.real() * z.real() + z.imag() * z.imag();
    if (er * er + ei * ei > tol2_ || m2 < amp_lo2_ || m2 > amp_hi2_) {
        ADD_FAILURE() << "stream breaks at sample " << count_ << ": got (" << z.real() << ", "
                      << z.imag() << "), expected about (" << (last_ * step_).real() << ", "
                      << (last_ * step_).imag() << ")";
        failed_ = true;
        return false;
    }
    last_ = z;
    ++count_;
    return true;
}

void run_integrity(fusb_devhandle& dev, usb_dev_handle* h, usbsim::BoardId board,
                   uint64_t total_bytes) {
    ASSERT_TRUE(rx_enable(h, true));
    std::unique_ptr<fusb_ephandle> ep(dev.open_endpoint(RX_ENDPOINT, true, 65536, 32));
    ASSERT_TRUE(ep->start());

    std::atomic<bool> done{false};
    int sent = 0, ok = 0;
    std::thread control([&] {
        uint32_t v = 0;
        while (!done) {
            ok += overrun_query(h) == 1;
            ok += fpga_write(h, FPGA_DDC0_FREQ + 1, v++);  // another channel's tuning
            sent += 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const int sizes[] = {65536, 3 * 65536 + 17, 1000, 5 * 4096, 65536 - 3, 131072};
    std::vector<unsigned char> buf(3 * 65536 + 17);
    StreamChecker check;
    uint64_t got = 0;
    bool fine = true;
    for (size_t i = 0; got < total_bytes && fine; ++i) {
        int n = static_cast<int>(std::min<uint64_t>(sizes[i % 6], total_bytes - got));
        int r = ep->read(buf.data(), n);
        if (r != n) {
            ADD_FAILURE() << "read " << i << " returned " << r << " for " << n << " bytes";
            fine = false;
        } else {
            fine = check.feed(buf.data(), n);
        }
        got += n;
    }
    done = true;
    control.join();
    ep->stop();
    EXPECT_TRUE(fine);
    EXPECT_EQ(check.samples(), total_bytes / BYTES_PER_SAMPLE);
    EXPECT_GT(sent, 0);
    EXPECT_EQ(ok, sent) << "control requests failed while the stream ran";
    EXPECT_GE(usbsim::World::instance().stream_bytes_read(board), total_bytes);
}

}  // namespace fusb_test
