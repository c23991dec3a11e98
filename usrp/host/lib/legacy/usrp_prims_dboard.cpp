// USRP primitives: daughterboard EEPROMs and the names of daughterboard identifiers.
#include "usrp_prims.h"

#include <cstdio>

namespace {

const int eeprom_i2c_address[4] = {0x54, 0x55, 0x56, 0x57};

struct dboard_name {
    uint16_t id;
    const char* name;
};

const dboard_name dboard_names[] = {
    {0x0000, "Basic Tx"},
    {0x0001, "Basic Rx"},
    {0x0002, "DBS Rx"},
    {0x0003, "TV Rx"},
    {0x0004, "Flex 400 Rx"},
    {0x0005, "Flex 900 Rx"},
    {0x0006, "Flex 1200 Rx"},
    {0x0007, "Flex 2400 Rx"},
    {0x0008, "Flex 400 Tx"},
    {0x0009, "Flex 900 Tx"},
    {0x000A, "Flex 1200 Tx"},
    {0x000B, "Flex 2400 Tx"},
    {0x000C, "TV Rx Rev 2"},
    {0x000D, "DBS Rx Rev 2_1"},
    {0x000E, "LF Tx"},
    {0x000F, "LF Rx"},
    {0x0014, "Flex 400 Rx MIMO A"},
    {0x0015, "Flex 900 Rx MIMO A"},
    {0x0016, "Flex 1200 Rx MIMO A"},
    {0x0017, "Flex 2400 Rx MIMO A"},
    {0x0018, "Flex 400 Tx MIMO A"},
    {0x0019, "Flex 900 Tx MIMO A"},
    {0x001A, "Flex 1200 Tx MIMO A"},
    {0x001B, "Flex 2400 Tx MIMO A"},
    {0x0024, "Flex 400 Rx MIMO B"},
    {0x0025, "Flex 900 Rx MIMO B"},
    {0x0026, "Flex 1200 Rx MIMO B"},
    {0x0027, "Flex 2400 Rx MIMO B"},
    {0x0028, "Flex 400 Tx MIMO B"},
    {0x0029, "Flex 900 Tx MIMO B"},
    {0x002A, "Flex 1200 Tx MIMO B"},
    {0x002B, "Flex 2400 Tx MIMO B"},
    {0x0030, "Flex 1800 Rx"},
    {0x0031, "Flex 1800 Tx"},
    {0x0032, "Flex 1800 Rx MIMO A"},
    {0x0033, "Flex 1800 Tx MIMO A"},
    {0x0034, "Flex 1800 Rx MIMO B"},
    {0x0035, "Flex 1800 Tx MIMO B"},
    {0x0040, "TV Rx Rev 3"},
    {0x0041, "DTT754"},
    {0x0042, "DTT768"},
    {0x0050, "WBX LO TX"},
    {0x0051, "WBX LO RX"},
    {0xFFFE, "Experimental Tx"},
    {0xFFFF, "Experimental Rx"},
};

static_assert(sizeof dboard_names / sizeof dboard_names[0] == 45, "daughterboard name table");

int le16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

}  // namespace

dboard_eeprom_status usrp_dboard_eeprom_load(usb_dev_handle* udh, int slot,
                                             unsigned char bytes[DBOARD_EEPROM_BYTES]) {
    if (slot < 0 || slot > 3)
        return DBE_BAD_SLOT;
    if (!usrp_eeprom_fetch(udh, eeprom_i2c_address[slot], 0, bytes, DBOARD_EEPROM_BYTES))
        return DBE_READ_FAILED;
    if (bytes[0] != DBOARD_EEPROM_MAGIC)
        return DBE_INVALID;
    unsigned char sum = 0;
    for (int i = 0; i < DBOARD_EEPROM_BYTES; ++i)
        sum = static_cast<unsigned char>(sum + bytes[i]);
    return sum == 0 ? DBE_OK : DBE_INVALID;
}

dboard_eeprom_status usrp_dboard_eeprom_read(usb_dev_handle* udh, int slot,
                                             dboard_eeprom_info* info) {
    *info = dboard_eeprom_info{0, 0, 0, 0};
    unsigned char bytes[DBOARD_EEPROM_BYTES];
    dboard_eeprom_status status = usrp_dboard_eeprom_load(udh, slot, bytes);
    if (status != DBE_OK)
        return status;
    info->id = static_cast<uint16_t>(le16(bytes + 1));
    info->word1 = static_cast<uint16_t>(le16(bytes + 3));
    info->word2 = static_cast<int16_t>(static_cast<uint16_t>(le16(bytes + 5)));
    info->word3 = static_cast<int16_t>(static_cast<uint16_t>(le16(bytes + 7)));
    return DBE_OK;
}

std::string usrp_dboard_id_name(int id) {
    if (id == DBOARD_ID_NONE)
        return "<none>";
    if (id == DBOARD_ID_INVALID)
        return "<invalid EEPROM contents>";
    for (const dboard_name& entry : dboard_names) {
        if (id == int(entry.id))
            return entry.name;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Unknown (0x%04x)", static_cast<unsigned>(id));
    return text;
}

int usrp_dboard_id(usb_dev_handle* udh, int slot) {
    dboard_eeprom_info info{};
    switch (usrp_dboard_eeprom_read(udh, slot, &info)) {
        case DBE_OK: return int(info.id);
        case DBE_INVALID: return DBOARD_ID_INVALID;
        default: return DBOARD_ID_NONE;
    }
}
