// Helpers of the stream tests: programming the board's receive path through the vendor requests
// and taking the stream apart again.
#pragma once

#include <cmath>
#include <complex>

#include "sim_fixture.h"

using cplx = std::complex<double>;

struct RxSetup {
    int channels = 1;
    std::array<int, 4> in_i{0, 0, 0, 0};
    std::array<int, 4> in_q{-1, -1, -1, -1};  // -1 for every channel: no Q inputs
    int decimation_reg = 127;                 // rate 128 without capability bit 3
    std::array<double, 4> ddc_hz{0, 0, 0, 0};
    std::array<int, 4> gain_db{0, 0, 0, 0};  // per converter input
};

inline uint32_t freq_word(double hz) {
    return uint32_t(int32_t(std::llround(hz / usbsim::ADC_CLOCK_HZ * 4294967296.0)));
}

inline double word_hz(uint32_t w) {
    return double(int32_t(w)) * usbsim::ADC_CLOCK_HZ / 4294967296.0;
}

inline uint32_t mux_register(const RxSetup& s) {
    uint32_t r = uint32_t(s.channels);
    bool no_q = s.in_q[0] < 0;
    if (no_q)
        r |= 8;
    for (int k = 0; k < 4; ++k) {
        r |= uint32_t(s.in_i[size_t(k)] & 3) << (4 + 4 * k);
        r |= uint32_t((no_q ? 3 : s.in_q[size_t(k)]) & 3) << (6 + 4 * k);
    }
    return r;
}

inline bool fpga_reg(usb_dev_handle* h, int reg, uint32_t v) {
    char d[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return usb_control_msg(h, 0x40, 0x09, reg & 0x7F, 0x0120, d, 4, 1000) == 4;
}

// Programs the receive path and enables it; true when every request went through.
inline bool program_rx(usb_dev_handle* h, const RxSetup& s, bool enable = true) {
    bool ok = fpga_reg(h, 49, 0x300) && fpga_reg(h, 38, mux_register(s)) &&
              fpga_reg(h, 33, uint32_t(s.decimation_reg));
    for (int k = 0; k < 4; ++k)
        ok = ok && fpga_reg(h, 34 + k, freq_word(s.ddc_hz[size_t(k)]));
    for (int in = 0; in < 4; ++in) {
        char v = char(s.gain_db[size_t(in)]);
        ok = ok && usb_control_msg(h, 0x40, 0x09, 2 + (in & 1), in < 2 ? 0x0220 : 0x0420, &v, 1,
                                   1000) == 1;
    }
    if (enable)
        ok = ok && usb_control_msg(h, 0x40, 0x06, 1, 0, nullptr, 0, 1000) == 0;
    return ok;
}

inline std::vector<uint8_t> read_bytes(usb_dev_handle* h, size_t n, int timeout = 1000) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    while (got < n) {
        int r =
            usb_bulk_read(h, 6, reinterpret_cast<char*>(out.data() + got), int(n - got), timeout);
        if (r <= 0)
            break;
        got += size_t(r);
    }
    out.resize(got);
    return out;
}

// Channel k's samples out of a stream of `channels` channels.
inline std::vector<cplx> channel(const std::vector<uint8_t>& bytes, int channels, int k) {
    std::vector<cplx> out;
    const size_t ib = size_t(4 * channels);
    for (size_t at = 0; at + ib <= bytes.size(); at += ib) {
        const uint8_t* p = bytes.data() + at + size_t(4 * k);
        int16_t i = int16_t(p[0] | p[1] << 8), q = int16_t(p[2] | p[3] << 8);
        out.emplace_back(i, q);
    }
    return out;
}

// Frequency of a single tone from its unwrapped phase over the whole record, in Hz.
inline double tone_hz(const std::vector<cplx>& z, double rate) {
    double total = 0;
    for (size_t n = 1; n < z.size(); ++n)
        total += std::arg(z[n] * std::conj(z[n - 1]));
    return total / (2 * M_PI) / double(z.size() - 1) * rate;
}

inline double mean_abs(const std::vector<cplx>& z) {
    double s = 0;
    for (const cplx& c : z)
        s += std::abs(c);
    return s / double(z.size());
}
