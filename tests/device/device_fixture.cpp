#include "device_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace devtest {

const char* const FPGA_IMAGE = "std_4rx_0tx.rbf";
const char* const FIRMWARE_IMAGE = "std.ihx";

const std::vector<uint8_t> COMMON_SETUP_PAIRS = {0, 0x00, 24, 0x49, 25, 0x40, 35, 0x01};
const std::vector<uint8_t> RX_SETUP_PAIRS = {1, 0x00, 2, 0x00, 3, 0x00, 4, 0x05, 5, 0x04, 6, 0x08};
const std::vector<uint8_t> RX_SHUTDOWN_PAIRS = {1, 0x01};

std::string describe(int request_type, int request, int value, int index,
                     const std::vector<uint8_t>& out_data, int in_length) {
    char head[64];
    bool in = (request_type & 0x80) != 0;
    snprintf(head, sizeof head, "%s 0x%02x t=0x%02x v=0x%04x i=0x%04x", in ? "IN " : "OUT",
             request & 0xFF, request_type & 0xFF, value & 0xFFFF, index & 0xFFFF);
    std::string s = head;
    if (in) {
        s += " len=" + std::to_string(in_length);
    } else {
        s += " [";
        for (size_t i = 0; i < out_data.size(); i++) {
            char b[4];
            snprintf(b, sizeof b, i ? " %02x" : "%02x", out_data[i]);
            s += b;
        }
        s += "]";
    }
    return s;
}

std::string describe(const usbsim::ControlRecord& r) {
    std::string s = describe(r.request_type, r.request, r.value, r.index, r.data, r.length);
    if (r.result < 0)
        s += " -> " + std::to_string(r.result);
    return s;
}

std::string as_failed(const std::string& request, int result) {
    std::string s = request.substr(0, request.find(" -> "));
    size_t open = s.find(" [");
    if (open != std::string::npos)
        s = s.substr(0, open) + " []";
    return s + " -> " + std::to_string(result);
}

::testing::AssertionResult same_sequence(const Seq& actual, const Seq& expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t first = 0;
    while (first < actual.size() && first < expected.size() && actual[first] == expected[first])
        first++;
    std::string text = "sequences differ at request " + std::to_string(first) + "\n";
    const size_t n = std::max(actual.size(), expected.size());
    for (size_t i = 0; i < n; i++) {
        const std::string a = i < actual.size() ? actual[i] : "(none)";
        const std::string e = i < expected.size() ? expected[i] : "(none)";
        char num[32];
        snprintf(num, sizeof num, "%3zu%s ", i, a == e ? " " : "*");
        text += num + a;
        if (a != e)
            text += "\n     expected: " + e;
        text += "\n";
    }
    return ::testing::AssertionFailure() << text;
}

std::vector<std::string> logged_requests() {
    std::vector<std::string> out;
    for (const auto& r : usbsim::World::instance().control_log())
        out.push_back(describe(r));
    return out;
}

void append(Seq& seq, const Seq& more) {
    seq.insert(seq.end(), more.begin(), more.end());
}

Seq fpga_write(int reg, uint32_t value) {
    return {describe(
        0x40, REQ_SPI_WRITE, reg & 0x7F, 0x0120,
        {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)}, 4)};
}

Seq fpga_read(int reg) {
    return {describe(0xC0, REQ_SPI_READ, 0x80 | reg, 0x0120, {}, 4)};
}

static int codec_index(int which) {
    return which == 0 ? 0x0220 : 0x0420;
}

Seq codec_write(int which, int reg, int value) {
    return {describe(0x40, REQ_SPI_WRITE, reg & 0x3F, codec_index(which), {uint8_t(value)}, 1)};
}

Seq codec_read(int which, int reg) {
    return {describe(0xC0, REQ_SPI_READ, 0x80 | (reg & 0x3F), codec_index(which), {}, 1)};
}

Seq codec_list(int which, const std::vector<uint8_t>& pairs) {
    Seq s;
    for (size_t i = 0; i + 1 < pairs.size(); i += 2)
        append(s, codec_write(which, pairs[i], pairs[i + 1]));
    return s;
}

Seq codec_list_both(const std::vector<uint8_t>& pairs) {
    Seq s = codec_list(0, pairs);
    append(s, codec_list(1, pairs));
    return s;
}

Seq rx_enable(bool on) {
    return {describe(0x40, REQ_RX_ENABLE, on ? 1 : 0, 0, {}, 0)};
}
Seq rx_reset(bool on) {
    return {describe(0x40, REQ_RX_RESET, on ? 1 : 0, 0, {}, 0)};
}

Seq fetch_hash(int slot) {
    return {describe(0xC0, REQ_RAM_ACCESS, (slot & 1) ? 0xE1F0 : 0xE1E0, 0, {}, 16)};
}

Seq i2c_write(int address, const std::vector<uint8_t>& bytes) {
    return {describe(0x40, REQ_I2C_WRITE, address, 0, bytes, int(bytes.size()))};
}

Seq i2c_read(int address, int length) {
    return {describe(0xC0, REQ_I2C_READ, address, 0, {}, length)};
}

Seq status_query() {
    return {describe(0xC0, REQ_STATUS, 0, STATUS_RX_OVERRUN, {}, 1)};
}

Eeprom eeprom_image(uint16_t id, uint16_t word1, int16_t word2, int16_t word3) {
    Eeprom e{};
    e[0] = DBOARD_EEPROM_MAGIC;
    e[1] = uint8_t(id);
    e[2] = uint8_t(id >> 8);
    e[3] = uint8_t(word1);
    e[4] = uint8_t(word1 >> 8);
    e[5] = uint8_t(uint16_t(word2));
    e[6] = uint8_t(uint16_t(word2) >> 8);
    e[7] = uint8_t(uint16_t(word3));
    e[8] = uint8_t(uint16_t(word3) >> 8);
    unsigned sum = 0;
    for (int i = 0; i < 31; i++)
        sum += e[i];
    e[31] = uint8_t(-sum);
    return e;
}

// What the board answers for an I2C transfer to an absent device.
static const int EMPTY_SLOT_RESULT = -32;  // a stall, as a NAK on the I2C bus

Seq probe_slot(int slot, SlotKind kind, uint16_t word1, int16_t word2, int16_t word3) {
    const int address = 0x54 + slot;
    const int side = slot == 1 ? 0 : 1;
    Seq s = i2c_write(address, {0x00});
    if (kind == SlotKind::empty)
        s[0] = as_failed(s[0], EMPTY_SLOT_RESULT);
    else
        append(s, i2c_read(address, 32));
    if (kind == SlotKind::valid) {
        append(s, fpga_write(16 + 2 * side, uint32_t(int32_t(word2))));
        append(s, fpga_write(17 + 2 * side, uint32_t(int32_t(word3))));
        append(s, fpga_write(5 + slot, 0xFFFF0000u | word1));
    } else {
        append(s, fpga_write(5 + slot, 0xFFFF0000u));
    }
    append(s, fpga_write(9 + slot, 0xFFFF0000u));
    return s;
}

Seq warm_loader() {
    Seq s = fetch_hash(FIRMWARE_HASH_SLOT);
    append(s, fetch_hash(FPGA_HASH_SLOT));
    return s;
}

Seq base_construction() {
    Seq s = codec_list_both(COMMON_SETUP_PAIRS);
    append(s, fpga_write(13, 0));
    append(s, fpga_write(14, 0));
    return s;
}

Seq basic_rx_setup() {
    Seq s = codec_list_both(RX_SETUP_PAIRS);
    append(s, rx_enable(false));
    append(s, rx_reset(true));
    append(s, rx_reset(false));
    append(s, fpga_write(1, 1));
    append(s, fpga_write(15, 0x0F));
    return s;
}

Seq basic_rx_finish() {
    Seq s;
    for (int reg : {23, 24, 25, 29, 30, 31})
        append(s, fpga_write(reg, 0));
    return s;
}

Seq standard_construction(uint32_t decim_reg, uint32_t mux_reg) {
    Seq s = fpga_read(FPGA_READBACK_CAPS);
    append(s, fpga_write(FPGA_REG_RX_FORMAT, 0x300));
    append(s, fpga_write(FPGA_REG_RX_MUX, mux_reg & 7));  // channel count, mux not yet set
    append(s, fpga_write(FPGA_REG_DECIMATION, decim_reg));
    append(s, fpga_write(FPGA_REG_RX_MUX, mux_reg));
    append(s, fpga_write(FPGA_REG_MODE, 0));
    for (int ch = 0; ch < 4; ch++) {
        append(s, fpga_write(FPGA_REG_DDC_FREQ_0 + ch, 0));
        append(s, fpga_write(FPGA_REG_DDC_PHASE_0 + ch, 0));
    }
    return s;
}

Seq basic_rx_teardown() {
    Seq s = rx_enable(false);
    append(s, codec_list_both(RX_SHUTDOWN_PAIRS));
    return s;
}

std::string thrown_by(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    } catch (const std::runtime_error& e) {
        return std::string("runtime_error: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "none";
}

// ------------------------------------------------------------------------------------------------

static void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

void DeviceTest::write_images(int revision) {
    const std::string dir = image_root + "/rev" + std::to_string(revision);
    std::filesystem::create_directories(dir);
    // One data record of three bytes and the end record.
    write_file(dir + "/" + FIRMWARE_IMAGE, ":03000000020003F8\n:00000001FF\n");
    std::string bitstream;
    for (int i = 0; i < 100; i++)
        bitstream.push_back(char(i * 7 + 3));
    write_file(dir + "/" + FPGA_IMAGE, bitstream);
    ASSERT_TRUE(md5_file((dir + "/" + FIRMWARE_IMAGE).c_str(), firmware_digest.data()));
    ASSERT_TRUE(md5_file((dir + "/" + FPGA_IMAGE).c_str(), fpga_digest.data()));
}

usbsim::BoardConfig DeviceTest::warm_config() const {
    usbsim::BoardConfig c;
    c.bcd_device = 0x0004;
    c.warm = true;
    c.firmware_hash = firmware_digest;
    c.fpga_hash = fpga_digest;
    c.eeprom[1] = eeprom_image(1, 0, 0, 0);
    return c;
}

usbsim::BoardId DeviceTest::install(const usbsim::BoardConfig& config) {
    world().reset();
    int bus = world().add_bus();
    board = world().add_board(bus, config);
    usrp_usb_init_pending = true;
    return board;
}

void DeviceTest::SetUp() {
    char tmpl[] = "/tmp/devtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    image_root = tmpl;
    write_images(4);
    setenv("USRP_PATH", image_root.c_str(), 1);
    unsetenv("USRP_VERBOSE");
    unsetenv("USRP_FIRMWARE");
    unsetenv("USRP_FPGA");
    install(warm_config());
}

void DeviceTest::TearDown() {
    world().reset();
    std::error_code ec;
    std::filesystem::remove_all(image_root, ec);
}

int DeviceTest::rx_enable_count(bool on) {
    int n = 0;
    for (const auto& r : world().control_log())
        if (r.request == REQ_RX_ENABLE && r.value == (on ? 1 : 0))
            n++;
    return n;
}

}  // namespace devtest
