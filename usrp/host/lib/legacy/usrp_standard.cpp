// Standard receive path: the FPGA's capability word, sample format, channel count, decimation,
// input mux, and the four down-converters' frequencies and phases; and the factory.
#include "usrp_standard.h"

#include "usrp_prims.h"
#include "os.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace {

// Some FPGA images answer the capability read with this marker instead of a capability word;
// they carry two down-converters and the extra halving stage in the decimation chain.
const uint32_t CAPS_MARKER = 0xAA55FF77u;
const uint32_t CAPS_FOR_MARKER = 42;

const int FORMAT_16BIT_IQ = 0x300;
const int DDC_COUNT = 4;

const double TWO_POW_32 = 4294967296.0;

// Remembers whether the receive path is on, switches it off around a register write that
// reshapes the stream, and restores it afterwards.
class enable_bracket {
  public:
    explicit enable_bracket(usrp_basic_rx* rx) : rx_(rx), was_enabled_(rx->rx_enabled()) {
        if (was_enabled_)
            rx_->set_rx_enable(false);
    }
    ~enable_bracket() {
        if (rx_->rx_enabled() != was_enabled_)
            rx_->set_rx_enable(was_enabled_);
    }
    enable_bracket(const enable_bracket&) = delete;
    enable_bracket& operator=(const enable_bracket&) = delete;

  private:
    usrp_basic_rx* rx_;
    bool was_enabled_;
};

}  // namespace

int32_t compute_freq_control_word_fpga(double* actual_hz, bool trace, double master_hz,
                                       double target_hz) {
    double steps = round_half_even(target_hz / master_hz * TWO_POW_32);
    // The oscillator's phase accumulator is 32 bits wide, so frequencies repeat every master_hz.
    // Targets at or beyond half the master clock give a rounded value outside the signed 32-bit
    // range: it is wrapped modulo 2^32, which selects the alias that the oscillator really runs
    // at (40 MHz at 64 MHz becomes -24 MHz). A target that is not a finite number gives word 0.
    int32_t word = 0;
    if (std::isfinite(steps)) {
        double wrapped = std::fmod(steps, TWO_POW_32);
        if (wrapped < 0)
            wrapped += TWO_POW_32;
        word = static_cast<int32_t>(static_cast<uint32_t>(wrapped));
    }
    double actual = static_cast<double>(word) * master_hz / TWO_POW_32;
    if (!std::isfinite(actual))
        actual = 0.0;
    *actual_hz = actual;

    if (trace) {
        os::diag_printf("compute_freq_control_word_fpga: target = %g  actual = %g  delta = %g\n",
                        target_hz, actual, actual - target_hz);
    }
    return word;
}

usrp_standard_common::usrp_standard_common(usrp_basic* parent) : capabilities(0) {
    uint32_t caps = 0;
    if (!usrp_fpga_reg_read(parent->get_usb_handle(), FPGA_READBACK_CAPS, &caps)) {
        os::diag_printf("usrp_standard_common: failed to read FPGA cap register.\n");
        throw std::runtime_error("usrp_standard_common::ctor");
    }
    capabilities = caps == CAPS_MARKER ? CAPS_FOR_MARKER : caps;
}

usrp_standard_rx::usrp_standard_rx(int which, unsigned decim_rate, int nchan, int mux, int mode,
                                   int fusb_block_size, int fusb_nblocks,
                                   const std::string& fpga_filename,
                                   const std::string& firmware_filename)
    : usrp_basic_rx(which, fusb_block_size, fusb_nblocks, fpga_filename, firmware_filename),
      usrp_standard_common(this), decimation(0), channel_count(1), mux_setting(0),
      mux_bits(0), ddc_frequency{0.0, 0.0, 0.0, 0.0} {
    // A throw from here on runs the receive path's teardown through the bases' destructors.
    if (!_write_fpga_reg(FPGA_REG_RX_FORMAT, FORMAT_16BIT_IQ)) {
        os::diag_printf("usrp_standard_rx: set_format failed\n");
        throw std::runtime_error("usrp_standard_rx::ctor");
    }
    // The channel count first: the decimation derives the stream byte rate from it.
    if (!set_nchannels(nchan)) {
        os::diag_printf("usrp_standard_rx: set_nchannels failed\n");
        throw std::runtime_error("usrp_standard_rx::ctor");
    }
    if (!set_decim_rate(decim_rate)) {
        os::diag_printf("usrp_standard_rx: set_decim_rate failed\n");
        throw std::runtime_error("usrp_standard_rx::ctor");
    }
    if (!set_mux(mux == -1 ? static_cast<int>(DEFAULT_MUX) : mux)) {
        os::diag_printf("usrp_standard_rx: set_mux failed\n");
        throw std::runtime_error("usrp_standard_rx::ctor");
    }
    if (!_write_fpga_reg(FPGA_REG_MODE, mode)) {
        os::diag_printf("usrp_standard_rx: set_fpga_mode failed\n");
        throw std::runtime_error("usrp_standard_rx::ctor");
    }
    for (int ch = 0; ch < DDC_COUNT; ch++) {
        set_rx_frequency(static_cast<unsigned>(ch), 0.0);
        _write_fpga_reg(FPGA_REG_DDC_PHASE_0 + ch, 0);
    }
}

usrp_standard_rx::~usrp_standard_rx() {}

usrp_standard_rx* usrp_standard_rx::create(int which, unsigned decim_rate, int nchan, int mux,
                                           int mode, int fusb_block_size, int fusb_nblocks,
                                           const std::string& fpga_filename,
                                           const std::string& firmware_filename) {
    try {
        // A throwing constructor tears its built bases down and the new-expression releases
        // the storage.
        return new usrp_standard_rx(which, decim_rate, nchan, mux, mode, fusb_block_size,
                                    fusb_nblocks, fpga_filename, firmware_filename);
    } catch (...) {
        return nullptr;
    }
}

bool usrp_standard_rx::set_decim_rate(unsigned rate) {
    if (has_rx_halfband_decim()) {
        if (rate % 2 != 0 || rate < 4 || rate > 256) {
            os::diag_printf(
                "usrp_standard_rx::set_decim_rate: rate must be EVEN and in [4, 256]\n");
            return false;
        }
    } else if (rate < 4 || rate > 128) {
        os::diag_printf("usrp_standard_rx::set_decim_rate: rate must be in [4, 128]\n");
        return false;
    }

    decimation = rate;
    stream_bytes_per_sec =
        static_cast<int>(static_cast<unsigned>(adc_clock_hz()) / rate) * channel_count * 4;
    overrun_check_bytes = static_cast<int>(stream_bytes_per_sec * 0.1);

    const int reg_value = static_cast<int>(has_rx_halfband_decim() ? rate / 2 - 1 : rate - 1);
    enable_bracket bracket(this);
    return _write_fpga_reg(FPGA_REG_DECIMATION, reg_value);
}

bool usrp_standard_rx::set_nchannels(int n) {
    if (n != 1 && n != 2 && n != 4)
        return false;
    if (n > nddcs())
        return false;
    channel_count = n;
    return write_hw_mux_reg();
}

bool usrp_standard_rx::encode_mux(int mux, int* bits_out) {
    const uint32_t m = static_cast<uint32_t>(mux);
    uint32_t low[4], high[4];
    int q_unused = 0;
    for (int k = 0; k < 4; k++) {
        low[k] = (m >> (8 * k)) & 0xF;
        high[k] = (m >> (8 * k + 4)) & 0xF;
        if (low[k] > 3)
            return false;
        if (high[k] > 3 && high[k] != 15)
            return false;
        if (high[k] == 15)
            q_unused++;
    }
    if (q_unused != 0 && q_unused != 4)
        return false;

    uint32_t bits = 0;
    for (int k = 0; k < 4; k++) {
        bits |= low[k] << (4 + 4 * k);
        bits |= (high[k] & 3) << (6 + 4 * k);
    }
    if (q_unused == 4)
        bits |= 1u << 3;
    *bits_out = static_cast<int>(bits);
    return true;
}

bool usrp_standard_rx::set_mux(int mux) {
    if (!encode_mux(mux, &mux_bits))
        return false;
    mux_setting = mux;
    return write_hw_mux_reg();
}

bool usrp_standard_rx::write_hw_mux_reg() {
    enable_bracket bracket(this);
    return _write_fpga_reg(FPGA_REG_RX_MUX, channel_count | mux_bits);
}

bool usrp_standard_rx::set_rx_frequency(unsigned channel, double freq_hz) {
    if (channel > 3)
        return false;
    // A frequency that is not a finite number has no meaning for the oscillator: refuse it
    // before anything changes.
    if (!std::isfinite(freq_hz))
        return false;
    const int32_t word = compute_freq_control_word_fpga(
        &ddc_frequency[channel], trace_registers, static_cast<double>(adc_clock_hz()), freq_hz);
    return _write_fpga_reg(FPGA_REG_DDC_FREQ_0 + static_cast<int>(channel), word);
}

bool usrp_standard_rx::set_rx_phase(unsigned channel, int phase) {
    if (channel > 3)
        return false;
    return _write_fpga_reg(FPGA_REG_DDC_PHASE_0 + static_cast<int>(channel), phase);
}
