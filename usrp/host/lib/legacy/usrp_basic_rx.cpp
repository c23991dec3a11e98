// Basic receive path: codecs' receive side, daughterboard probe, the bulk IN endpoint, streaming
// with the periodic overrun query, and the receive gain.
#include "usrp_basic.h"

#include "fusb_win32.h"
#include "usrp_prims.h"
#include "os.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace {

// AD9862 (register, value) pairs for the receive side, written to both codecs.
const unsigned char CODEC_RX_SETUP[] = {
    1, 0x00, 2, 0x00, 3, 0x00, 4, 0x05, 5, 0x04, 6, 0x08,
};

// Powers the receive side down again.
const unsigned char CODEC_RX_SHUTDOWN[] = {
    1,
    0x01,
};

enum { RX_ENDPOINT = 6 };
enum { READ_LENGTH_UNIT = 512 };

// Receive gain registers of the AD9862: bits 0-6 gain in dB, bit 7 kept.
enum { CODEC_RX_GAIN_REG = 2, CODEC_GAIN_KEEP_MASK = 0x80, CODEC_GAIN_MASK = 0x7F };
const double RX_GAIN_MIN_DB = 0.0;
const double RX_GAIN_MAX_DB = 20.0;
const double RX_GAIN_STEP_DB = 1.0;

const uint32_t DBOARD_REG_HIGH_HALF = 0xFFFF0000u;

// Registers cleared at the end of construction, in this order.
const int CLEARED_AT_CONSTRUCTION[] = {23, 24, 25, 29, 30, 31};

}  // namespace

double round_half_even(double x) {
    double a = x + 0.5;
    if (std::floor(a) != std::ceil(a))
        return std::floor(a);
    // x lies half-way (or a absorbed a fraction just below one half). The evenness test is done
    // in floating point so that values outside the 32-bit range stay defined.
    double c = std::ceil(x);
    if (std::fmod(c, 2.0) == 0.0)
        return c;
    return std::floor(x);
}

usrp_basic_rx::usrp_basic_rx(int which, int fusb_block_size, int fusb_nblocks,
                             const std::string& fpga_filename, const std::string& firmware_filename)
    : usrp_basic(which, fpga_filename, firmware_filename), stream_device(nullptr),
      stream_endpoint(nullptr), bytes_since_check(0), receive_enabled(false),
      endpoint_running(false), board_ids{DBOARD_ID_NONE, DBOARD_ID_NONE} {
    // A throw from here on runs only the base's destructor, which closes the handle; nothing
    // of this class has been allocated before the endpoint below.
    if (!usrp_codec_write_list_both(usb_handle, CODEC_RX_SETUP, sizeof CODEC_RX_SETUP)) {
        os::diag_printf("usrp_basic_rx: failed to init AD9862 RX regs\n");
        throw std::runtime_error("usrp_basic_rx/init_9862");
    }

    set_rx_enable(false);
    usrp_rx_path_reset(usb_handle, true);
    if (!usrp_rx_path_reset(usb_handle, false)) {
        // Held in reset the receive path would never stream: the device cannot be used.
        os::diag_printf("usrp_basic_rx: failed to release the rx path reset\n");
        throw std::runtime_error("usrp_basic_rx/rx_reset");
    }

    _write_fpga_reg(1, 1);
    _write_fpga_reg(15, static_cast<int>(register_mirror[15] | 0x0F));

    probe_daughterboards();

    // The fast-USB arguments are checked only now, after the device has been set up.
    if (fusb_block_size < 0 || fusb_block_size > RX_MAX_BLOCK_BYTES)
        throw std::out_of_range("usrp_basic_rx: invalid fusb_block_size");
    if (fusb_nblocks < 0)
        throw std::out_of_range("usrp_basic_rx: invalid fusb_nblocks");

    int block_size = fusb_block_size == 0 ? RX_DEFAULT_BLOCK_BYTES : fusb_block_size;
    int nblocks = fusb_nblocks;
    if (nblocks == 0) {
        nblocks = RX_DEFAULT_RING_BYTES / block_size;
        if (nblocks < 1)
            nblocks = 1;
    }

    try {
        stream_device = new fusb_devhandle_win32(usb_handle);
        stream_endpoint = stream_device->open_endpoint(RX_ENDPOINT, true, block_size, nblocks);
    } catch (...) {
        // Our destructor will not run: release what exists before the exception leaves.
        delete stream_endpoint;
        stream_endpoint = nullptr;
        delete stream_device;
        stream_device = nullptr;
        throw;
    }

    for (int reg : CLEARED_AT_CONSTRUCTION)
        _write_fpga_reg(reg, 0);
}

usrp_basic_rx::~usrp_basic_rx() {
    teardown();
}

void usrp_basic_rx::teardown() {
    receive_enabled = false;
    if (!usrp_rx_path_enable(usb_handle, false) && !usrp_abandoned())
        os::diag_printf("usrp_basic_rx: set_fpga_rx_enable failed\n");

    if (stream_endpoint != nullptr)
        stream_endpoint->stop();
    delete stream_endpoint;
    stream_endpoint = nullptr;
    delete stream_device;
    stream_device = nullptr;

    if (!usrp_codec_write_list_both(usb_handle, CODEC_RX_SHUTDOWN, sizeof CODEC_RX_SHUTDOWN) &&
        !usrp_abandoned())
        os::diag_printf("usrp_basic_rx: failed to fini AD9862 RX regs\n");
}

void usrp_basic_rx::probe_daughterboards() {
    static const int slots[2] = {1, 3};
    for (int side = 0; side < 2; side++) {
        const int slot = slots[side];
        dboard_eeprom_info info;
        switch (usrp_dboard_eeprom_read(usb_handle, slot, &info)) {
            case DBE_OK:
                board_ids[side] = info.id;
                // word2 and word3 are signed: the conversion to int sign-extends them.
                _write_fpga_reg(16 + 2 * side, info.word2);
                _write_fpga_reg(17 + 2 * side, info.word3);
                _write_fpga_reg(5 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF | info.word1));
                _write_fpga_reg(9 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF));
                break;
            case DBE_READ_FAILED:
                board_ids[side] = DBOARD_ID_NONE;
                _write_fpga_reg(5 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF));
                _write_fpga_reg(9 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF));
                break;
            case DBE_INVALID:
                board_ids[side] = DBOARD_ID_INVALID;
                _write_fpga_reg(5 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF));
                _write_fpga_reg(9 + slot, static_cast<int>(DBOARD_REG_HIGH_HALF));
                break;
            default: break;
        }
    }
}

bool usrp_basic_rx::set_rx_enable(bool on) {
    receive_enabled = on;
    return usrp_rx_path_enable(usb_handle, on);
}

bool usrp_basic_rx::start_streaming() {
    // After a start whose enable failed the endpoint runs already, with its reads queued: a
    // further start only enables the receive path.
    if (!endpoint_running) {
        if (!stream_endpoint->start()) {
            os::diag_printf("usrp_basic_rx: failed to start end point streaming");
            return false;
        }
        endpoint_running = true;
    }
    if (!set_rx_enable(true)) {
        os::diag_printf("usrp_basic_rx: set_rx_enable failed\n");
        return false;
    }
    return true;
}

bool usrp_basic_rx::stop_streaming() {
    bool result = true;
    receive_enabled = false;
    if (!usrp_rx_path_enable(usb_handle, false)) {
        os::diag_printf("usrp_basic_rx: set_rx_enable(false) failed\n");
        result = false;
    }
    endpoint_running = false;
    if (!stream_endpoint->stop()) {
        os::diag_printf("usrp_basic_rx: failed to stop end point streaming");
        return false;
    }
    return result;
}

int usrp_basic_rx::read(void* buffer, int length, bool* overrun_out) {
    if (overrun_out != nullptr)
        *overrun_out = false;

    if (length < 0 || length % READ_LENGTH_UNIT != 0) {
        os::diag_printf("usrp_basic_rx::read: invalid length = %d\n", length);
        return -1;
    }

    int r = stream_endpoint->read(buffer, length);
    if (r > 0) {
        // Reads without an overrun pointer count but never reset: saturate instead of
        // overflowing on a long run of them.
        bytes_since_check = r > INT_MAX - bytes_since_check ? INT_MAX : bytes_since_check + r;
    }

    if (overrun_out != nullptr && bytes_since_check >= overrun_check_bytes) {
        bytes_since_check = 0;
        if (!usrp_check_rx_overrun(usb_handle, overrun_out))
            os::diag_printf("usrp_basic_rx: usrp_check_rx_overrun failed\n");
    }
    return r;
}

void usrp_basic_rx::abort_read() {
    if (stream_endpoint != nullptr)
        stream_endpoint->abort_reads();
}

bool usrp_basic_rx::set_rx_gain(unsigned channel, double gain_db) {
    if (channel > 3)
        return false;
    // A gain that is not a number has no register value: refuse it before anything is sent.
    if (std::isnan(gain_db))
        return false;
    if (gain_db < RX_GAIN_MIN_DB)
        gain_db = RX_GAIN_MIN_DB;
    if (gain_db > RX_GAIN_MAX_DB)
        gain_db = RX_GAIN_MAX_DB;

    const int codec = static_cast<int>(channel / 2);
    const int reg = CODEC_RX_GAIN_REG + static_cast<int>(channel & 1);

    unsigned char old_value = 0;
    if (!usrp_codec_read(usb_handle, codec, reg, &old_value))
        return false;

    const int steps =
        static_cast<int>(round_half_even((gain_db - RX_GAIN_MIN_DB) / RX_GAIN_STEP_DB));
    const int new_value = (old_value & CODEC_GAIN_KEEP_MASK) | (steps & CODEC_GAIN_MASK);
    return usrp_codec_write(usb_handle, codec, reg, new_value);
}

int usrp_basic_rx::read_block_size() const {
    return stream_endpoint->get_block_size();
}
