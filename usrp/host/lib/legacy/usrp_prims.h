// Stateless primitives of the USRP: discovery and interface opening, the vendor control
// requests, firmware and FPGA image loading, and the daughterboard EEPROMs.
//
// Every operation borrows the handle it is given; none opens, closes or keeps a handle except
// where it says so. Failures are reported on standard error and through the result.
#pragma once

#include "usb_api.h"

#include <atomic>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------------------------
// Identity, interfaces
// ---------------------------------------------------------------------------------------------

enum {
    USRP_VENDOR_ID = 0xFFFE,
    USRP_PRODUCT_ID = 0x0002,
};

enum {
    CMD_INTERFACE = 0,  // command interface, used by the image loaders
    RX_INTERFACE = 2,   // receive interface, used by the device objects
};

// ---------------------------------------------------------------------------------------------
// Vendor requests
// ---------------------------------------------------------------------------------------------

enum {
    REQ_INDICATOR = 0x01,
    REQ_FPGA_CONFIG = 0x02,
    REQ_FPGA_RESET = 0x04,
    REQ_TX_ENABLE = 0x05,
    REQ_RX_ENABLE = 0x06,
    REQ_I2C_WRITE = 0x08,
    REQ_SPI_WRITE = 0x09,
    REQ_TX_RESET = 0x0A,
    REQ_RX_RESET = 0x0B,
    REQ_STATUS = 0x80,
    REQ_I2C_READ = 0x81,
    REQ_SPI_READ = 0x82,
    REQ_RAM_ACCESS = 0xA0,
};

enum { VRT_VENDOR_OUT = 0x40, VRT_VENDOR_IN = 0xC0 };

// REQ_FPGA_CONFIG phases (wIndex).
enum { CONFIG_BEGIN = 0, CONFIG_DATA = 1, CONFIG_END = 2 };

// SPI framing: wIndex high byte selects the device, low byte the format.
enum {
    SPI_SEL_FPGA = 0x01,
    SPI_SEL_CODEC0 = 0x02,
    SPI_SEL_CODEC1 = 0x04,
    SPI_FORMAT_CODE = 0x20,
};

enum { STATUS_RX_OVERRUN = 1, STATUS_TX_UNDERRUN = 2 };

// Hash slots in the controller's internal RAM.
enum {
    FIRMWARE_HASH_SLOT = 0,
    FPGA_HASH_SLOT = 1,
    FIRMWARE_HASH_ADDRESS = 0xE1E0,
    FPGA_HASH_ADDRESS = 0xE1F0,
    USRP_HASH_BYTES = 16,
};

// Largest data stage of any control request.
enum { MAX_CONTROL_DATA = 64 };

// ---------------------------------------------------------------------------------------------
// Discovery and interface opening
// ---------------------------------------------------------------------------------------------

// Module-wide: true until the USB library has been initialised (usb_init, usb_find_busses,
// usb_find_devices). Shared by discovery and the device base; whichever runs first clears it.
extern bool usrp_usb_init_pending;

// If usrp_usb_init_pending is set: clear it and initialise the USB library. Otherwise nothing.
void usrp_one_time_init();

struct usb_device* usrp_find_device(int nth);
int usrp_board_revision(struct usb_device* dev);
// Rescans the buses (usb_find_busses, then usb_find_devices).
void usrp_rescan();
// Where a device is on the buses, "<bus>/<device>" as the library names them: a board that leaves
// the bus and comes back gets a new place.
std::string usrp_place(struct usb_device* dev);
// True when a USRP is listed at `place` as of the last rescan.
bool usrp_listed_at(const std::string& place);
usb_dev_handle* usrp_open_interface(struct usb_device* dev, int interface);
usb_dev_handle* open_cmd_interface(struct usb_device* dev);
usb_dev_handle* open_nth_cmd_interface(int nth);

// ---------------------------------------------------------------------------------------------
// Vendor control requests
// ---------------------------------------------------------------------------------------------

// Every control request of this layer goes through here. While a usrp_abandon_scope whose flag is
// set lives on the calling thread, it fails at once (-EINTR) without reaching the bus.
int usrp_control_msg(usb_dev_handle* udh, int type, int request, int value, int index, char* bytes,
                     int length);

// While one lives on a thread, that thread's control requests fail at once as soon as *flag is
// non-zero, and the wait for a board to re-join the bus ends: a bring-up in progress (the image
// loads, the re-join wait) is abandoned between two requests, leaving the board as after a failed
// load (its hash slot not written, so the next bring-up loads the image again). Scopes nest.
class usrp_abandon_scope {
  public:
    explicit usrp_abandon_scope(const std::atomic<uint8_t>* flag);
    ~usrp_abandon_scope();
    usrp_abandon_scope(const usrp_abandon_scope&) = delete;
    usrp_abandon_scope& operator=(const usrp_abandon_scope&) = delete;

  private:
    const std::atomic<uint8_t>* previous_;
};
// True when the calling thread's bring-up is to be abandoned.
bool usrp_abandoned();
// Sleeps ms milliseconds, or less when the calling thread's bring-up is abandoned meanwhile. False
// when it was.
bool usrp_pause(unsigned ms);

// One request; the type byte is derived from bit 7 of request. Returns the library's result.
int usrp_vendor_request(usb_dev_handle* udh, int request, int value, int index,
                        unsigned char* bytes, int length);

bool usrp_set_indicator(usb_dev_handle* udh, bool on);
bool usrp_assert_fpga_reset(usb_dev_handle* udh, bool on);
bool usrp_tx_path_enable(usb_dev_handle* udh, bool on);
bool usrp_rx_path_enable(usb_dev_handle* udh, bool on);
bool usrp_tx_path_reset(usb_dev_handle* udh, bool on);
bool usrp_rx_path_reset(usb_dev_handle* udh, bool on);

bool usrp_store_hash(usb_dev_handle* udh, int slot, const unsigned char hash[USRP_HASH_BYTES]);
bool usrp_fetch_hash(usb_dev_handle* udh, int slot, unsigned char hash[USRP_HASH_BYTES]);

bool usrp_fpga_reg_write(usb_dev_handle* udh, int reg, uint32_t value);
bool usrp_fpga_reg_read(usb_dev_handle* udh, int reg, uint32_t* value);

bool usrp_codec_write(usb_dev_handle* udh, int which, int reg, int value);
bool usrp_codec_read(usb_dev_handle* udh, int which, int reg, unsigned char* value);
bool usrp_codec_write_list(usb_dev_handle* udh, int which, const unsigned char* pairs, int length);
bool usrp_codec_write_list_both(usb_dev_handle* udh, const unsigned char* pairs, int length);

bool usrp_i2c_send(usb_dev_handle* udh, int address, const unsigned char* bytes, int length);
bool usrp_i2c_receive(usb_dev_handle* udh, int address, unsigned char* bytes, int length);
bool usrp_eeprom_fetch(usb_dev_handle* udh, int address, int offset, unsigned char* bytes,
                       int length);

bool usrp_check_rx_overrun(usb_dev_handle* udh, bool* overrun);
// True when the board's firmware runs: only running firmware answers the status request (asked
// for the transmit underrun flag, which leaves the receive side alone).
bool usrp_firmware_running(usb_dev_handle* udh);

// ---------------------------------------------------------------------------------------------
// Firmware and FPGA image loading
// ---------------------------------------------------------------------------------------------

// The images of the standard configuration that the receiver module and its tools load: the
// controller firmware and the four-receiver FPGA bitstream.
extern const char* const USRP_FIRMWARE_IMAGE;  // "std.ihx"
extern const char* const USRP_FPGA_IMAGE_4RX;  // "std_4rx_0tx.rbf"

enum load_status { LOAD_FAILED = 0, LOAD_DONE = 1, LOAD_SKIPPED = 2 };

enum { CPU_CONTROL_ADDRESS = 0xE600, RAM_CHUNK = 64, CONFIG_CHUNK = 64, HEX_LINE_MAX = 1024 };

typedef bool (*image_loader)(usb_dev_handle* udh, const char* path,
                             const unsigned char digest[USRP_HASH_BYTES]);

bool usrp_load_standard_bits(int nth, const std::string& fpga_filename,
                             const std::string& firmware_filename);

const char* resolve_image_name(const char* name, const char* env_var, const char* default_name);
const char* find_image_file(const char* name, int revision);
load_status load_with_hash_check(const char* path, usb_dev_handle* udh, bool force, int slot,
                                 image_loader loader);
load_status load_firmware_nth(int nth, const char* path);
bool load_firmware_image(usb_dev_handle* udh, const char* path,
                         const unsigned char digest[USRP_HASH_BYTES]);
bool load_fpga_image(usb_dev_handle* udh, const char* path,
                     const unsigned char digest[USRP_HASH_BYTES]);
bool write_internal_ram(usb_dev_handle* udh, int address, const unsigned char* bytes, int length);
void report_load_status(const char* what, const char* path, load_status status);

// What a board holds against an image file, for reports (nothing on the board changes): the file
// the module would load for the revision, and the digests on the board and of the file.
struct image_check {
    std::string path;          // empty: no file found
    bool board_known = false;  // the hash slot could be read (udh may be null)
    bool file_known = false;   // the file could be read
    unsigned char board_md5[USRP_HASH_BYTES] = {};
    unsigned char file_md5[USRP_HASH_BYTES] = {};
    bool loaded() const;  // both known and equal: the next start skips this load
};
image_check usrp_check_image(usb_dev_handle* udh, const char* name, int revision, int slot);
// Lower-case hexadecimal text of n bytes.
std::string usrp_hex(const unsigned char* bytes, int n);

// ---------------------------------------------------------------------------------------------
// Daughterboard EEPROM and identifier names
// ---------------------------------------------------------------------------------------------

enum dboard_eeprom_status { DBE_OK = 0, DBE_BAD_SLOT = 1, DBE_READ_FAILED = 2, DBE_INVALID = 3 };

enum { DBOARD_EEPROM_MAGIC = 0xDB, DBOARD_EEPROM_BYTES = 32 };
enum { DBOARD_ID_NONE = -1, DBOARD_ID_INVALID = -2 };

struct dboard_eeprom_info {
    uint16_t id;
    uint16_t word1;
    int16_t word2;
    int16_t word3;
};

dboard_eeprom_status usrp_dboard_eeprom_load(usb_dev_handle* udh, int slot,
                                             unsigned char bytes[DBOARD_EEPROM_BYTES]);
dboard_eeprom_status usrp_dboard_eeprom_read(usb_dev_handle* udh, int slot,
                                             dboard_eeprom_info* info);
std::string usrp_dboard_id_name(int id);
// The id in a daughterboard slot's EEPROM, DBOARD_ID_NONE when it cannot be read, or
// DBOARD_ID_INVALID when its contents are not valid.
int usrp_dboard_id(usb_dev_handle* udh, int slot);
