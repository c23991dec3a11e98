// Arbitrary bytes as a daughterboard EEPROM, read through the simulated board's I2C bus. The first
// byte picks the slot that holds the EEPROM (bits 0-1), the slot that is read (bits 2-4, so that
// slots outside 0..3 are tried too) and whether the EEPROM is there at all (bit 7); the next 32
// bytes are its contents (missing ones read as 0xFF, as an erased part does).
// Properties: the status follows the validity rule (magic byte and zero sum) exactly, the parsed
// fields are the little-endian words of the contents, a failure leaves the record zero, the wire
// carries one offset write (and, if the EEPROM answers, one 32-byte read) at the slot's address,
// and every id has a name.
#include "fuzz_common.h"

#include <array>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    usbsim::World& w = usbsim::World::instance();
    usbsim::BoardId board;
    usb_dev_handle* h = fuzz::board_for_run(&board);

    const int placed = data[0] & 3;
    const int read_slot = int((data[0] >> 2) & 7) - 2;  // -2 .. 5
    const bool present = (data[0] & 0x80) == 0;
    std::array<uint8_t, 32> bytes;
    bytes.fill(0xFF);
    std::memcpy(bytes.data(), data + 1, std::min<size_t>(size - 1, bytes.size()));
    for (int s = 0; s < 4; ++s)
        w.set_eeprom(board, s, std::nullopt);
    if (present)
        w.set_eeprom(board, placed, bytes);
    w.clear_log();

    dboard_eeprom_info info;
    std::memset(&info, 0x5A, sizeof info);
    dboard_eeprom_status st = usrp_dboard_eeprom_read(h, read_slot, &info);
    auto log = w.control_log();

    if (read_slot < 0 || read_slot > 3) {
        fuzz::check(st == DBE_BAD_SLOT, "a slot outside 0..3 is refused");
        fuzz::check(log.empty(), "a refused slot sends nothing");
        return 0;
    }
    // An empty slot does not acknowledge the offset write, and the read is then not sent.
    const bool here = present && placed == read_slot;
    fuzz::check(here ? log.size() == 2 : !log.empty() && log.size() <= 2,
                "one offset write, then one read if the EEPROM answered");
    fuzz::check(log[0].request == REQ_I2C_WRITE && log[0].value == 0x54 + read_slot &&
                    log[0].length == 1,
                "the offset write goes to the slot's address");
    if (log[0].result >= 0)
        fuzz::check(log[0].data.size() == 1 && log[0].data[0] == 0, "the offset is 0");
    if (log.size() == 2)
        fuzz::check(log[1].request == REQ_I2C_READ && log[1].value == 0x54 + read_slot &&
                        log[1].length == 32,
                    "a 32-byte read from the slot's address");
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = uint8_t(sum + b);
    const bool valid = here && bytes[0] == DBOARD_EEPROM_MAGIC && sum == 0;
    if (!here) {
        fuzz::check(st == DBE_READ_FAILED, "an empty slot fails the read");
    } else if (!valid) {
        fuzz::check(st == DBE_INVALID, "a bad magic byte or sum is invalid");
    } else {
        fuzz::check(st == DBE_OK, "a valid image reads");
        fuzz::check(info.id == uint16_t(bytes[1] | bytes[2] << 8), "id from bytes 1-2");
        fuzz::check(info.word1 == uint16_t(bytes[3] | bytes[4] << 8), "word1 from bytes 3-4");
        fuzz::check(info.word2 == int16_t(uint16_t(bytes[5] | bytes[6] << 8)), "word2 from 5-6");
        fuzz::check(info.word3 == int16_t(uint16_t(bytes[7] | bytes[8] << 8)), "word3 from 7-8");
        fuzz::check(!usrp_dboard_id_name(info.id).empty(), "every id has a name");
    }
    if (st != DBE_OK)
        fuzz::check(info.id == 0 && info.word1 == 0 && info.word2 == 0 && info.word3 == 0,
                    "a failed read leaves the record zero");
    // Any 32-bit id, including the two negative markers, names without trouble.
    if (size >= 5) {
        int32_t any;
        std::memcpy(&any, data + 1, 4);
        fuzz::check(!usrp_dboard_id_name(any).empty(), "every id has a name");
    }
    return 0;
}
