// Daughterboard EEPROMs read over the simulated I2C bus, and identifier names.
#include "prims_fixture.h"

using namespace prims_test;
using usbsim::Fault;
using usbsim::FaultKind;

namespace {

using Eeprom = std::array<uint8_t, 32>;

Eeprom basic_rx() {
    Eeprom e{};
    e[0] = 0xDB;
    e[1] = 0x01;
    e[31] = 0x24;  // 0xDB + 0x01 + 0x24 = 0x100
    return e;
}

// Fills byte 31 so that the 32 bytes sum to zero.
Eeprom with_checksum(Eeprom e) {
    uint8_t sum = 0;
    for (int i = 0; i < 31; ++i)
        sum = uint8_t(sum + e[i]);
    e[31] = uint8_t(-sum);
    return e;
}

class Dboard : public WarmHandleTest {};

bool zero(const dboard_eeprom_info& i) {
    return i.id == 0 && i.word1 == 0 && i.word2 == 0 && i.word3 == 0;
}

}  // namespace

TEST_F(Dboard, ValidImageAndItsWireTraffic) {
    world.set_eeprom(board, 1, basic_rx());
    dboard_eeprom_info info{9, 9, 9, 9};
    EXPECT_EQ(usrp_dboard_eeprom_read(h, 1, &info), DBE_OK);
    EXPECT_EQ(info.id, 1);
    EXPECT_EQ(info.word1, 0);
    EXPECT_EQ(info.word2, 0);
    EXPECT_EQ(info.word3, 0);
    EXPECT_EQ(usrp_dboard_id_name(info.id), "Basic Rx");
    auto l = log();
    ASSERT_EQ(l.size(), 2u);
    Bytes offset0 = bytes_of({0});
    expect_request(l[0], 0x40, REQ_I2C_WRITE, 0x55, 0, 1, &offset0);
    expect_request(l[1], 0xC0, REQ_I2C_READ, 0x55, 0, 32);

    // Each slot has its own I2C address.
    const Eeprom image = basic_rx();
    for (int slot = 0; slot < 4; ++slot) {
        world.set_eeprom(board, slot, image);
        world.clear_log();
        unsigned char raw[32];
        EXPECT_EQ(usrp_dboard_eeprom_load(h, slot, raw), DBE_OK);
        EXPECT_EQ(Bytes(raw, raw + 32), Bytes(image.begin(), image.end()));
        ASSERT_EQ(log().size(), 2u);
        EXPECT_EQ(log()[1].value, 0x54 + slot);
    }
}

TEST_F(Dboard, WordsAreLittleEndianAndSigned) {
    Eeprom e{};
    e[0] = 0xDB;
    e[1] = 0x34;
    e[2] = 0x12;  // id 0x1234
    e[3] = 0xCD;
    e[4] = 0xAB;  // word1 0xABCD
    e[5] = 0xFF;
    e[6] = 0xFF;  // word2 -1
    e[7] = 0x00;
    e[8] = 0x80;  // word3 -32768
    world.set_eeprom(board, 3, with_checksum(e));
    dboard_eeprom_info info{};
    ASSERT_EQ(usrp_dboard_eeprom_read(h, 3, &info), DBE_OK);
    EXPECT_EQ(info.id, 0x1234);
    EXPECT_EQ(info.word1, 0xABCD);
    EXPECT_EQ(info.word2, -1);
    EXPECT_EQ(info.word3, -32768);
}

TEST_F(Dboard, InvalidContentsAndFailuresLeaveTheRecordZero) {
    Eeprom bad_sum = basic_rx();
    bad_sum[31] = 0x25;
    Eeprom bad_magic{};
    bad_magic[0] = 0xDA;
    bad_magic[1] = 0x26;  // sums to zero, but the magic byte is wrong
    Eeprom all_zero{};

    dboard_eeprom_info info{7, 7, 7, 7};
    for (const Eeprom& e : {bad_sum, bad_magic, all_zero}) {
        world.set_eeprom(board, 1, e);
        info = {7, 7, 7, 7};
        EXPECT_EQ(usrp_dboard_eeprom_read(h, 1, &info), DBE_INVALID);
        EXPECT_TRUE(zero(info));
    }

    // No board in the slot: the transfer fails, reported as a failed request.
    world.set_eeprom(board, 1, std::nullopt);
    info = {7, 7, 7, 7};
    capture_stderr();
    EXPECT_EQ(usrp_dboard_eeprom_read(h, 1, &info), DBE_READ_FAILED);
    captured_stderr();
    EXPECT_TRUE(zero(info));

    // A stalled transfer is silent but still a failed read.
    world.set_eeprom(board, 1, basic_rx());
    world.fail_control_at(1, Fault{FaultKind::stall});
    capture_stderr();
    EXPECT_EQ(usrp_dboard_eeprom_read(h, 1, &info), DBE_READ_FAILED);
    EXPECT_EQ(captured_stderr(), "");
    world.fail_control_at(1, Fault{FaultKind::short_data, 2});
    EXPECT_EQ(usrp_dboard_eeprom_read(h, 1, &info), DBE_READ_FAILED);

    // Bad slots send nothing.
    world.clear_log();
    for (int slot : {4, -1, 100, -2147483647 - 1}) {
        info = {7, 7, 7, 7};
        EXPECT_EQ(usrp_dboard_eeprom_read(h, slot, &info), DBE_BAD_SLOT);
        EXPECT_TRUE(zero(info));
    }
    EXPECT_TRUE(log().empty());
}

TEST(DboardNames, SpecialTableAndUnknownIds) {
    EXPECT_EQ(usrp_dboard_id_name(-1), "<none>");
    EXPECT_EQ(usrp_dboard_id_name(-2), "<invalid EEPROM contents>");
    EXPECT_EQ(usrp_dboard_id_name(0x0000), "Basic Tx");
    EXPECT_EQ(usrp_dboard_id_name(0x000D), "DBS Rx Rev 2_1");
    EXPECT_EQ(usrp_dboard_id_name(0x0014), "Flex 400 Rx MIMO A");
    EXPECT_EQ(usrp_dboard_id_name(0x002B), "Flex 2400 Tx MIMO B");
    EXPECT_EQ(usrp_dboard_id_name(0x0035), "Flex 1800 Tx MIMO B");
    EXPECT_EQ(usrp_dboard_id_name(0x0042), "DTT768");
    EXPECT_EQ(usrp_dboard_id_name(0x0051), "WBX LO RX");
    EXPECT_EQ(usrp_dboard_id_name(0xFFFE), "Experimental Tx");
    EXPECT_EQ(usrp_dboard_id_name(0xFFFF), "Experimental Rx");
    EXPECT_EQ(usrp_dboard_id_name(0x0010), "Unknown (0x0010)");
    EXPECT_EQ(usrp_dboard_id_name(0x00AB), "Unknown (0x00ab)");
    EXPECT_EQ(usrp_dboard_id_name(0x1FFFF), "Unknown (0x1ffff)");  // not folded to 16 bits

    // Every id that has a name: exactly 45 of them, none "Unknown".
    int named = 0;
    for (int id = 0; id <= 0xFFFF; ++id)
        if (usrp_dboard_id_name(id).rfind("Unknown (", 0) != 0)
            ++named;
    EXPECT_EQ(named, 45);
}
