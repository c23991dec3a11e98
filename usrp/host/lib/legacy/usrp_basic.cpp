// Device base: brings one USRP up and owns the handle of its receive interface.
#include "usrp_basic.h"

#include "usrp_prims.h"
#include "os.h"

#include <cstdio>
#include <stdexcept>

namespace {

// AD9862 (register, value) pairs written to both codecs when a device is opened.
const unsigned char CODEC_COMMON_SETUP[] = {
    0, 0x00, 24, 0x49, 25, 0x40, 35, 0x01,
};

}  // namespace

usrp_basic::usrp_basic(int which, const std::string& fpga_filename,
                       const std::string& firmware_filename)
    : usb_handle(nullptr), stream_bytes_per_sec(16000000), overrun_check_bytes(1600000),
      trace_registers(false), register_mirror{} {
    // Shared with discovery: the USB library is initialised once per loaded module, by whichever
    // of the two comes first.
    usrp_one_time_init();

    if (!usrp_load_standard_bits(which, fpga_filename, firmware_filename)) {
        // The library lists the devices of its last scan. A board unplugged and plugged in again
        // since then is listed at its old address and cannot be opened: when a rescan shows that
        // the buses changed, try once more on the fresh list.
        if (usrp_abandoned())
            throw std::runtime_error("usrp_basic/abandoned");
        int changes = usb_find_busses();
        changes += usb_find_devices();
        if (changes <= 0 || !usrp_load_standard_bits(which, fpga_filename, firmware_filename))
            throw std::runtime_error("usrp_basic/usrp_load_standard_bits");
    }

    struct usb_device* dev = usrp_find_device(which);
    if (dev == nullptr) {
        os::diag_printf("usrp_basic: can't find usrp[%d]\n", which);
        throw std::runtime_error("usrp_basic/usrp_find_device");
    }

    if (dev->descriptor.idVendor != USRP_VENDOR_ID ||
        dev->descriptor.idProduct != USRP_PRODUCT_ID || usrp_board_revision(dev) < 1) {
        os::diag_printf("usrp_basic: sorry, this code only works with USRP revs >= 1\n");
        throw std::runtime_error("usrp_basic/bad_rev");
    }

    place = usrp_place(dev);
    usb_handle = usrp_open_interface(dev, RX_INTERFACE);
    if (usb_handle == nullptr) {
        os::diag_printf("usrp_basic_rx: can't open rx interface\n");
        throw std::runtime_error("usrp_basic/open_interface");
    }

    if (!usrp_codec_write_list_both(usb_handle, CODEC_COMMON_SETUP, sizeof CODEC_COMMON_SETUP)) {
        os::diag_printf("usrp_basic: failed to init common AD9862 regs\n");
        // Our own destructor does not run for a throwing constructor: close here.
        usb_close(usb_handle);
        usb_handle = nullptr;
        throw std::runtime_error("usrp_basic/init_9862");
    }

    // Mode register and its neighbour start at 0; a failed write here is not fatal.
    _write_fpga_reg(13, 0);
    _write_fpga_reg(14, 0);
}

usrp_basic::~usrp_basic() {
    if (usb_handle != nullptr) {
        usb_close(usb_handle);
        usb_handle = nullptr;
    }
}

bool usrp_basic::_write_fpga_reg(int regno, int value) {
    if (trace_registers) {
        fprintf(stdout, "_write_fpga_reg(%3d, 0x%08x)\n", regno, static_cast<unsigned>(value));
        fflush(stdout);
    }
    // The mirror holds the requested value even when the write below fails.
    if (static_cast<unsigned>(regno) < FPGA_REGISTER_COUNT)
        register_mirror[regno] = static_cast<uint32_t>(value);
    return usrp_fpga_reg_write(usb_handle, regno, static_cast<uint32_t>(value));
}
