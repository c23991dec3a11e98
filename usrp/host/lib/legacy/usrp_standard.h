// The standard receive path: capability word, format, channel count, decimation, mux, and the
// down-converters' frequencies and phases; with the factory that the host interface uses.
#pragma once

#include "usrp_basic.h"

#include <cstdint>
#include <string>

enum {
    FPGA_REG_MODE = 13,
    FPGA_REG_DECIMATION = 33,
    FPGA_REG_DDC_FREQ_0 = 34,
    FPGA_REG_RX_MUX = 38,
    FPGA_REG_DDC_PHASE_0 = 44,
    FPGA_REG_RX_FORMAT = 49,
    FPGA_READBACK_CAPS = 3,
};

class usrp_standard_common {
  public:
    explicit usrp_standard_common(usrp_basic* parent);
    uint32_t get_capabilities() const { return capabilities; }
    int nddcs() const { return capabilities & 7; }
    bool has_rx_halfband_decim() const { return (capabilities & 8) != 0; }

  protected:
    uint32_t capabilities;
};

class usrp_standard_rx : public usrp_basic_rx, public usrp_standard_common {
  public:
    enum : uint32_t { DEFAULT_MUX = 0x32103210u };

    // An owned, fully configured device, or null on any failure. Never throws.
    static usrp_standard_rx* create(int which, unsigned decim_rate, int nchan, int mux, int mode,
                                    int fusb_block_size, int fusb_nblocks,
                                    const std::string& fpga_filename,
                                    const std::string& firmware_filename);
    ~usrp_standard_rx() override;

    bool set_decim_rate(unsigned rate);
    bool set_nchannels(int n);
    bool set_mux(int mux);
    bool set_rx_frequency(unsigned channel, double freq_hz);
    bool set_rx_phase(unsigned channel, int phase);

    unsigned decim_rate() const { return decimation; }
    int nchannels() const { return channel_count; }
    int mux() const { return mux_setting; }
    double rx_freq(unsigned channel) const { return ddc_frequency[channel & 3]; }

  protected:
    usrp_standard_rx(int which, unsigned decim_rate, int nchan, int mux, int mode,
                     int fusb_block_size, int fusb_nblocks, const std::string& fpga_filename,
                     const std::string& firmware_filename);

  private:
    bool encode_mux(int mux, int* bits_out);
    bool write_hw_mux_reg();

    unsigned decimation;
    int channel_count;
    int mux_setting;
    int mux_bits;
    double ddc_frequency[4];
};

// The 32-bit frequency word for target_hz at master_hz; *actual_hz gets the frequency it gives.
int32_t compute_freq_control_word_fpga(double* actual_hz, bool trace, double master_hz,
                                       double target_hz);
