// Shared scaffolding of the device-object tests: image files for a warm board, a simulated
// board, readable descriptions of control requests, the expected request sequences, and test
// subclasses that reach the protected constructors.
#pragma once

#include "fusb.h"
#include "md5.h"
#include "usbsim.h"
#include "usrp_basic.h"
#include "usrp_prims.h"
#include "usrp_standard.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace devtest {

// ------------------------------------------------------------------------------------------------
// Control requests as text, so that sequences compare with a readable difference.
// ------------------------------------------------------------------------------------------------

// "OUT 0x09 v=0x000d i=0x0120 [00 00 00 00]" or "IN  0xa0 v=0xe1e0 i=0x0000 len=16".
std::string describe(int request_type, int request, int value, int index,
                     const std::vector<uint8_t>& out_data, int in_length);
std::string describe(const usbsim::ControlRecord& r);

// The control requests recorded since the last clear, as text. A request that failed has its
// result appended (" -> -5") and, being cut off, no data stage.
std::vector<std::string> logged_requests();

typedef std::vector<std::string> Seq;

// The form in which a request of the expected sequence appears when it failed with result.
std::string as_failed(const std::string& request, int result);

// Equal sequences, or a listing of both with the first difference marked.
::testing::AssertionResult same_sequence(const Seq& actual, const Seq& expected);

void append(Seq& seq, const Seq& more);

Seq fpga_write(int reg, uint32_t value);
Seq fpga_read(int reg);
Seq codec_write(int which, int reg, int value);
Seq codec_read(int which, int reg);
Seq codec_list(int which, const std::vector<uint8_t>& pairs);
Seq codec_list_both(const std::vector<uint8_t>& pairs);
Seq rx_enable(bool on);
Seq rx_reset(bool on);
Seq fetch_hash(int slot);
Seq i2c_write(int address, const std::vector<uint8_t>& bytes);
Seq i2c_read(int address, int length);
Seq status_query();

extern const std::vector<uint8_t> COMMON_SETUP_PAIRS;
extern const std::vector<uint8_t> RX_SETUP_PAIRS;
extern const std::vector<uint8_t> RX_SHUTDOWN_PAIRS;

// ------------------------------------------------------------------------------------------------
// Daughterboard EEPROM images.
// ------------------------------------------------------------------------------------------------

typedef std::array<uint8_t, 32> Eeprom;

// A valid image: magic, id, the three words, check sum in byte 31.
Eeprom eeprom_image(uint16_t id, uint16_t word1, int16_t word2, int16_t word3);

// What the daughterboard probe of one slot sends, for a slot whose EEPROM is valid (info given),
// unreadable (no board) or invalid.
enum class SlotKind { valid, empty, invalid };
Seq probe_slot(int slot, SlotKind kind, uint16_t word1 = 0, int16_t word2 = 0, int16_t word3 = 0);

// ------------------------------------------------------------------------------------------------
// Expected sequences of a warm board.
// ------------------------------------------------------------------------------------------------

Seq warm_loader();        // the two hash fetches
Seq base_construction();  // device base after the loader
Seq basic_rx_setup();     // receive path up to (not including) the probe
Seq basic_rx_finish();    // registers cleared after the probe
Seq standard_construction(uint32_t decim_reg, uint32_t mux_reg);  // from the capability read
Seq basic_rx_teardown();                                          // receive disable, codec shutdown

// ------------------------------------------------------------------------------------------------
// Exceptions of the constructors.
// ------------------------------------------------------------------------------------------------

// "runtime_error: <text>", "out_of_range: <text>", "other: <text>" or "none".
std::string thrown_by(const std::function<void()>& f);

// ------------------------------------------------------------------------------------------------
// Test subclasses: the constructors are protected.
// ------------------------------------------------------------------------------------------------

extern const char* const FPGA_IMAGE;
extern const char* const FIRMWARE_IMAGE;

class basic_rx_probe : public usrp_basic_rx {
  public:
    basic_rx_probe(int which, int block_size, int nblocks)
        : usrp_basic_rx(which, block_size, nblocks, FPGA_IMAGE, FIRMWARE_IMAGE) {}
    int ring_blocks() const { return stream_endpoint->get_nblocks(); }
    int checked_bytes() const { return bytes_since_check; }
};

class standard_rx_probe : public usrp_standard_rx {
  public:
    standard_rx_probe(int which, unsigned decim, int nchan, int mux, int mode = 0,
                      int block_size = 0, int nblocks = 0)
        : usrp_standard_rx(which, decim, nchan, mux, mode, block_size, nblocks, FPGA_IMAGE,
                           FIRMWARE_IMAGE) {}
    int ring_blocks() const { return stream_endpoint->get_nblocks(); }
    int checked_bytes() const { return bytes_since_check; }
    void set_checked_bytes(int n) { bytes_since_check = n; }
};

// ------------------------------------------------------------------------------------------------
// Fixture: one warm board of revision 4 with image files under a temporary USRP_PATH.
// ------------------------------------------------------------------------------------------------

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the image files for a revision and returns their digests.
    void write_images(int revision);
    // A warm board config whose hash slots hold the digests of the image files.
    usbsim::BoardConfig warm_config() const;
    // Resets the world, adds a bus and this board, and marks the USB library uninitialised as
    // in a freshly loaded module.
    usbsim::BoardId install(const usbsim::BoardConfig& config);

    usbsim::World& world() { return usbsim::World::instance(); }
    int rx_enable_count(bool on);

    std::string image_root;
    std::array<uint8_t, 16> firmware_digest{};
    std::array<uint8_t, 16> fpga_digest{};
    usbsim::BoardId board = -1;
};

}  // namespace devtest
