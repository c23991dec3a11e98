// USRP primitives: discovery, interface opening and the vendor control requests.
#include "usrp_prims.h"
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Discovery and interface opening
// ---------------------------------------------------------------------------------------------

bool usrp_usb_init_pending = true;

void usrp_one_time_init() {
    if (!usrp_usb_init_pending)
        return;
    usrp_usb_init_pending = false;
    usb_init();
    usb_find_busses();
    usb_find_devices();
}

void usrp_rescan() {
    usb_find_busses();
    usb_find_devices();
}

std::string usrp_place(struct usb_device* dev) {
    return std::string(dev->bus ? dev->bus->dirname : "") + "/" + dev->filename;
}

bool usrp_listed_at(const std::string& place) {
    for (int n = 0;; ++n) {
        struct usb_device* dev = usrp_find_device(n);
        if (!dev)
            return false;
        if (usrp_place(dev) == place)
            return true;
    }
}

struct usb_device* usrp_find_device(int nth) {
    usrp_one_time_init();
    int count = 0;
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != USRP_VENDOR_ID ||
                dev->descriptor.idProduct != USRP_PRODUCT_ID)
                continue;
            if (count == nth)
                return dev;
            ++count;
        }
    }
    return nullptr;
}

int usrp_board_revision(struct usb_device* dev) {
    return dev->descriptor.bcdDevice & 0xFF;
}

usb_dev_handle* usrp_open_interface(struct usb_device* dev, int interface) {
    usb_dev_handle* udh = usb_open(dev);
    if (!udh)
        return nullptr;

    // The library must hand back a handle on the device we asked for; anything else means its
    // bookkeeping is broken and nothing that follows could be trusted.
    if (usb_device(udh) != dev) {
        os::diag_printf("%s:%d: internal error!\n", "usrp\\host\\lib\\legacy\\usrp_prims", 260);
        std::fflush(stderr);
        std::abort();
    }

    // Fails harmlessly when the configuration is already selected.
    usb_set_configuration(udh, 1);

    if (usb_claim_interface(udh, interface) < 0) {
        os::diag_printf("%s:usb_claim_interface: failed interface %d\n", "usrp_open_interface",
                        interface);
        os::diag_printf("%s\n", usb_strerror());
        usb_close(udh);
        return nullptr;
    }

    if (usb_set_altinterface(udh, 0) < 0) {
        os::diag_printf("%s:usb_set_alt_interface: failed\n", "usrp_open_interface");
        os::diag_printf("%s\n", usb_strerror());
        usb_release_interface(udh, interface);
        usb_close(udh);
        return nullptr;
    }
    return udh;
}

usb_dev_handle* open_cmd_interface(struct usb_device* dev) {
    return usrp_open_interface(dev, CMD_INTERFACE);
}

usb_dev_handle* open_nth_cmd_interface(int nth) {
    struct usb_device* dev = usrp_find_device(nth);
    if (!dev) {
        os::diag_printf("usrp: failed to find usrp[%d]\n", nth);
        return nullptr;
    }
    usb_dev_handle* udh = open_cmd_interface(dev);
    if (!udh) {
        os::diag_printf("open_nth_cmd_interface: open_cmd_interface failed\n");
        return nullptr;
    }
    return udh;
}

// ---------------------------------------------------------------------------------------------
// Vendor control requests
// ---------------------------------------------------------------------------------------------

namespace {
thread_local const std::atomic<uint8_t>* abandon_flag = nullptr;
const unsigned PAUSE_STEP_MS = 5;
}  // namespace

usrp_abandon_scope::usrp_abandon_scope(const std::atomic<uint8_t>* flag) : previous_(abandon_flag) {
    abandon_flag = flag;
}

usrp_abandon_scope::~usrp_abandon_scope() {
    abandon_flag = previous_;
}

bool usrp_abandoned() {
    return abandon_flag && abandon_flag->load(std::memory_order_acquire) != 0;
}

bool usrp_pause(unsigned ms) {
    if (!abandon_flag) {
        os::sleep_ms(ms);
        return true;
    }
    for (unsigned slept = 0; slept < ms; slept += PAUSE_STEP_MS) {
        if (usrp_abandoned())
            return false;
        os::sleep_ms(ms - slept < PAUSE_STEP_MS ? ms - slept : PAUSE_STEP_MS);
    }
    return !usrp_abandoned();
}

int usrp_control_msg(usb_dev_handle* udh, int type, int request, int value, int index, char* bytes,
                     int length) {
    if (usrp_abandoned()) {
        errno = EINTR;
        return -EINTR;
    }
    return usb_control_msg(udh, type, request, value, index, bytes, length, USB_TIMEOUT_MS);
}

namespace {

// One vendor request with the type derived from the direction bit of the request number.
// errno is cleared first so that a stall reported by an earlier call cannot silence the report
// of this one where the library does not set errno itself (libusb-win32 never does).
int control(usb_dev_handle* udh, int request, int value, int index, unsigned char* bytes,
            int length) {
    int type = VRT_VENDOR_OUT | (request & 0x80);
    errno = 0;
    return usrp_control_msg(udh, type, request, value, index, reinterpret_cast<char*>(bytes),
                            length);
}

// Reports a failed request on standard error, except a stall or an abandoned bring-up, which
// fail silently.
int reported(int result) {
    if (result < 0 && errno != EPIPE && !usrp_abandoned())
        os::diag_printf("usb_control_msg failed: %s\n", usb_strerror());
    return result;
}

int request(usb_dev_handle* udh, int req, int value, int index, unsigned char* bytes, int length) {
    return reported(control(udh, req, value, index, bytes, length));
}

bool simple(usb_dev_handle* udh, int req, int value, int index) {
    return request(udh, req, value, index, nullptr, 0) == 0;
}

int spi_index(int select) {
    return (select << 8) | SPI_FORMAT_CODE;
}

int codec_index(int which) {
    return spi_index(which == 0 ? SPI_SEL_CODEC0 : SPI_SEL_CODEC1);
}

int hash_address(int slot) {
    return (slot & 1) ? FPGA_HASH_ADDRESS : FIRMWARE_HASH_ADDRESS;
}

// The FPGA registers are driven only on boards of revision 1 and above. On a revision-0 board
// the operation sends nothing and fails with a line of its own.
bool fpga_registers_supported(usb_dev_handle* udh, const char* what) {
    struct usb_device* dev = usb_device(udh);
    if (dev && usrp_board_revision(dev) != 0)
        return true;
    os::diag_printf("%s: not supported on a revision 0 board\n", what);
    return false;
}

}  // namespace

int usrp_vendor_request(usb_dev_handle* udh, int req, int value, int index, unsigned char* bytes,
                        int length) {
    return request(udh, req, value, index, bytes, length);
}

bool usrp_set_indicator(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_INDICATOR, on, 1);
}

bool usrp_assert_fpga_reset(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_FPGA_RESET, on, 0);
}

bool usrp_tx_path_enable(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_TX_ENABLE, on, 0);
}

bool usrp_rx_path_enable(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_RX_ENABLE, on, 0);
}

bool usrp_tx_path_reset(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_TX_RESET, on, 0);
}

bool usrp_rx_path_reset(usb_dev_handle* udh, bool on) {
    return simple(udh, REQ_RX_RESET, on, 0);
}

bool usrp_store_hash(usb_dev_handle* udh, int slot, const unsigned char hash[USRP_HASH_BYTES]) {
    unsigned char copy[USRP_HASH_BYTES];
    for (int i = 0; i < USRP_HASH_BYTES; ++i)
        copy[i] = hash[i];
    int r = usrp_control_msg(udh, VRT_VENDOR_OUT, REQ_RAM_ACCESS, hash_address(slot), 0,
                             reinterpret_cast<char*>(copy), USRP_HASH_BYTES);
    return r == USRP_HASH_BYTES;
}

bool usrp_fetch_hash(usb_dev_handle* udh, int slot, unsigned char hash[USRP_HASH_BYTES]) {
    int r = usrp_control_msg(udh, VRT_VENDOR_IN, REQ_RAM_ACCESS, hash_address(slot), 0,
                             reinterpret_cast<char*>(hash), USRP_HASH_BYTES);
    return r == USRP_HASH_BYTES;
}

bool usrp_fpga_reg_write(usb_dev_handle* udh, int reg, uint32_t value) {
    if (!fpga_registers_supported(udh, "usrp_fpga_reg_write"))
        return false;
    unsigned char buf[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return request(udh, REQ_SPI_WRITE, reg & 0x7F, spi_index(SPI_SEL_FPGA), buf, 4) == 4;
}

bool usrp_fpga_reg_read(usb_dev_handle* udh, int reg, uint32_t* value) {
    *value = 0;
    if (!fpga_registers_supported(udh, "usrp_fpga_reg_read"))
        return false;
    unsigned char buf[4] = {0, 0, 0, 0};
    if (request(udh, REQ_SPI_READ, 0x80 | (reg & 0x7F), spi_index(SPI_SEL_FPGA), buf, 4) != 4)
        return false;
    *value = (uint32_t(buf[0]) << 24) | (uint32_t(buf[1]) << 16) | (uint32_t(buf[2]) << 8) |
             uint32_t(buf[3]);
    return true;
}

bool usrp_codec_write(usb_dev_handle* udh, int which, int reg, int value) {
    unsigned char byte = static_cast<unsigned char>(value);
    return request(udh, REQ_SPI_WRITE, reg & 0x3F, codec_index(which), &byte, 1) == 1;
}

bool usrp_codec_read(usb_dev_handle* udh, int which, int reg, unsigned char* value) {
    return request(udh, REQ_SPI_READ, 0x80 | (reg & 0x3F), codec_index(which), value, 1) == 1;
}

bool usrp_codec_write_list(usb_dev_handle* udh, int which, const unsigned char* pairs, int length) {
    if (length % 2 != 0)
        return false;
    if (length <= 0)
        return true;
    bool ok = true;
    for (int i = 0; i < length; i += 2) {
        if (!usrp_codec_write(udh, which, pairs[i], pairs[i + 1]))
            ok = false;
    }
    return ok;
}

bool usrp_codec_write_list_both(usb_dev_handle* udh, const unsigned char* pairs, int length) {
    bool ok0 = usrp_codec_write_list(udh, 0, pairs, length);
    bool ok1 = usrp_codec_write_list(udh, 1, pairs, length);
    return ok0 && ok1;
}

bool usrp_i2c_send(usb_dev_handle* udh, int address, const unsigned char* bytes, int length) {
    if (length < 0 || length > MAX_CONTROL_DATA)
        return false;
    unsigned char copy[MAX_CONTROL_DATA];
    for (int i = 0; i < length; ++i)
        copy[i] = bytes[i];
    return request(udh, REQ_I2C_WRITE, address, 0, copy, length) == length;
}

bool usrp_i2c_receive(usb_dev_handle* udh, int address, unsigned char* bytes, int length) {
    if (length < 1 || length > MAX_CONTROL_DATA)
        return false;
    return request(udh, REQ_I2C_READ, address, 0, bytes, length) == length;
}

bool usrp_eeprom_fetch(usb_dev_handle* udh, int address, int offset, unsigned char* bytes,
                       int length) {
    unsigned char start = static_cast<unsigned char>(offset);
    if (!usrp_i2c_send(udh, address, &start, 1))
        return false;
    while (length > 0) {
        int n = length < MAX_CONTROL_DATA ? length : MAX_CONTROL_DATA;
        if (!usrp_i2c_receive(udh, address, bytes, n))
            return false;
        bytes += n;
        length -= n;
    }
    return true;
}

bool usrp_check_rx_overrun(usb_dev_handle* udh, bool* overrun) {
    *overrun = true;
    unsigned char status = 0;
    if (request(udh, REQ_STATUS, 0, STATUS_RX_OVERRUN, &status, 1) != 1)
        return false;
    *overrun = status != 0;
    return true;
}

bool usrp_firmware_running(usb_dev_handle* udh) {
    unsigned char flag = 0;
    return request(udh, REQ_STATUS, 0, STATUS_TX_UNDERRUN, &flag, 1) == 1;
}
