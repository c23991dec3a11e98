// What crosses the bus when a host calls StartRx: every control request and interface call from
// the first hash fetch to the worker's first receive enable, on a cold board (both images
// loaded) and on a warm one (both skipped), and the registers the board holds afterwards.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// ---- the events as text, so that a difference reads like a trace --------------------------

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    std::string s = "[";
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
        s += b;
    }
    return s + "]";
}

std::string ctl(int type, int request, int value, int index, const std::vector<uint8_t>& out,
                int in_length = 0, bool fails = false) {
    char head[64];
    std::snprintf(head, sizeof head, "ctl %02x %02x %04x %04x ", type, request, value, index);
    std::string s = head;
    // A refused request moves no data: it shows the length that was asked for.
    if (type & 0x80)
        s += "in:" + std::to_string(in_length);
    else if (fails)
        s += "out:" + std::to_string(in_length ? in_length : int(out.size()));
    else
        s += hex_bytes(out);
    if (fails)
        s += " fail";
    return s;
}

std::string out(int request, int value, int index, const std::vector<uint8_t>& data = {},
                bool fails = false) {
    return ctl(0x40, request, value, index, data, 0, fails);
}

std::string in(int request, int value, int index, int length) {
    return ctl(0xC0, request, value, index, {}, length);
}

std::string fpga_write(int reg, uint32_t v) {
    return out(0x09, reg & 0x7F, 0x0120,
               {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

std::string codec_write(int codec, int reg, uint8_t v) {
    return out(0x09, reg & 0x3F, codec ? 0x0420 : 0x0220, {v});
}

std::string codec_read(int codec, int reg) {
    return in(0x82, 0x80 | (reg & 0x3F), codec ? 0x0420 : 0x0220, 1);
}

void add_codec_list_both(std::vector<std::string>& e, const std::vector<uint8_t>& pairs) {
    for (int codec = 0; codec < 2; ++codec)
        for (size_t i = 0; i + 1 < pairs.size(); i += 2)
            e.push_back(codec_write(codec, pairs[i], pairs[i + 1]));
}

void add_open(std::vector<std::string>& e, int interface) {
    e.push_back("open");
    e.push_back("set_configuration 1");
    e.push_back("claim_interface " + std::to_string(interface));
    e.push_back("set_altinterface 0");
}

const char* call_name(usbsim::UsbCall c) {
    switch (c) {
        case usbsim::UsbCall::open: return "open";
        case usbsim::UsbCall::close: return "close";
        case usbsim::UsbCall::set_configuration: return "set_configuration";
        case usbsim::UsbCall::claim_interface: return "claim_interface";
        case usbsim::UsbCall::release_interface: return "release_interface";
        case usbsim::UsbCall::set_altinterface: return "set_altinterface";
    }
    return "?";
}

// The recorded control requests and interface calls in bus order, from the first hash fetch up
// to and including the first receive enable.
std::vector<std::string> recorded_startup() {
    auto& w = usbsim::World::instance();
    auto controls = w.control_log();
    auto calls = w.call_log();
    struct Ev {
        uint64_t seq;
        std::string text;
    };
    std::vector<Ev> all;
    for (const auto& c : controls) {
        bool is_in = (c.request_type & 0x80) != 0;
        std::string t =
            ctl(c.request_type, c.request, c.value, c.index, c.data, c.length, c.result < 0);
        if (!is_in && c.result >= 0 && c.result != int(c.data.size()))
            t += " short";
        if (is_in && c.result >= 0 && c.result != c.length)
            t += " short";
        all.push_back({c.seq, t});
    }
    for (const auto& c : calls) {
        std::string t = call_name(c.call);
        if (c.call != usbsim::UsbCall::open && c.call != usbsim::UsbCall::close)
            t += " " + std::to_string(c.arg);
        if (c.result < 0)
            t += " fail";
        all.push_back({c.seq, t});
    }
    std::sort(all.begin(), all.end(), [](const Ev& a, const Ev& b) { return a.seq < b.seq; });
    std::vector<std::string> out_events;
    bool started = false;
    const std::string first = in(0xA0, 0xE1E0, 0, 16);
    const std::string last = out(0x06, 1, 0);
    for (const Ev& e : all) {
        if (!started && e.text != first)
            continue;
        started = true;
        out_events.push_back(e.text);
        if (e.text == last)
            break;
    }
    return out_events;
}

// Data records of an Intel HEX file, in file order, up to its end-of-file record.
struct HexRecord {
    int address;
    std::vector<uint8_t> bytes;
};

std::vector<HexRecord> hex_records(const std::string& path) {
    std::vector<HexRecord> records;
    std::vector<uint8_t> text = read_file(path);
    std::string all(text.begin(), text.end());
    size_t pos = 0;
    auto byte_at = [&](const std::string& line, size_t i) {
        return uint8_t(std::stoi(line.substr(i, 2), nullptr, 16));
    };
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        std::string line =
            all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? all.size() : end + 1;
        if (line.size() < 11 || line[0] != ':')
            continue;
        int count = byte_at(line, 1);
        int address = byte_at(line, 3) << 8 | byte_at(line, 5);
        int type = byte_at(line, 7);
        if (type == 1)
            break;
        if (type != 0)
            continue;
        HexRecord r{address, {}};
        for (int i = 0; i < count; ++i)
            r.bytes.push_back(byte_at(line, 9 + 2 * i));
        records.push_back(r);
    }
    return records;
}

std::vector<uint8_t> bytes_of(const std::array<uint8_t, 16>& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

// The daughterboard in receive slot 1; slot 3 stays empty.
const uint16_t SLOT1_ID = 0x0001;
const uint16_t SLOT1_WORD1 = 0x1234;
const int16_t SLOT1_WORD2 = -5;
const int16_t SLOT1_WORD3 = 300;

// The sequence as the device layer and the receive session lay it down.
std::vector<std::string> expected_startup(bool cold) {
    const std::string fw_path = image_path(4, "std.ihx");
    const std::string fpga_path = image_path(4, "std_4rx_0tx.rbf");
    std::vector<std::string> e;

    // Firmware: hash fetch on the command interface; on a cold board the CPU is held, the image
    // written record by record in pieces of at most 64 bytes, the digest stored, the CPU released.
    e.push_back(in(0xA0, 0xE1E0, 0, 16));
    if (cold) {
        e.push_back(out(0xA0, 0xE600, 0, {0x01}));
        for (const HexRecord& r : hex_records(fw_path)) {
            for (size_t off = 0; off < r.bytes.size(); off += 64) {
                size_t n = std::min<size_t>(64, r.bytes.size() - off);
                e.push_back(
                    out(0xA0, r.address + int(off), 0,
                        std::vector<uint8_t>(r.bytes.begin() + off, r.bytes.begin() + off + n)));
            }
        }
        e.push_back(out(0xA0, 0xE1E0, 0, bytes_of(md5_of_file(fw_path))));
        e.push_back(out(0xA0, 0xE600, 0, {0x00}));
    }
    e.push_back("close");

    // Bitstream on a freshly opened command interface. A fresh firmware forces the load, so the
    // FPGA slot is not fetched then.
    add_open(e, 0);
    if (cold) {
        std::vector<uint8_t> bits = read_file(fpga_path);
        e.push_back(out(0x01, 1, 1));
        e.push_back(out(0x04, 1, 0));
        e.push_back(out(0x02, 0, 0));
        for (size_t off = 0; off < bits.size(); off += 64) {
            size_t n = std::min<size_t>(64, bits.size() - off);
            e.push_back(
                out(0x02, 0, 1, std::vector<uint8_t>(bits.begin() + off, bits.begin() + off + n)));
        }
        e.push_back(out(0x02, 0, 2));
        e.push_back(out(0xA0, 0xE1F0, 0, bytes_of(md5_of_file(fpga_path))));
        e.push_back(out(0x04, 0, 0));
        e.push_back(out(0x05, 0, 0));
        e.push_back(out(0x06, 0, 0));
        e.push_back(out(0x0A, 1, 0));
        e.push_back(out(0x0B, 1, 0));
        e.push_back(out(0x0A, 0, 0));
        e.push_back(out(0x0B, 0, 0));
        for (int reg = 0; reg < 64; ++reg)
            if (reg != 4)
                e.push_back(fpga_write(reg, 0));
        add_codec_list_both(e, {0x01, 0x01, 0x08, 0x0F, 0x14, 0x00});
        e.push_back(out(0x01, 0, 1));
    } else {
        e.push_back(in(0xA0, 0xE1F0, 0, 16));
    }
    e.push_back("close");

    // Device base: receive interface, common codec registers, mode registers.
    add_open(e, 2);
    add_codec_list_both(e, {0, 0x00, 24, 0x49, 25, 0x40, 35, 0x01});
    e.push_back(fpga_write(13, 0));
    e.push_back(fpga_write(14, 0));

    // Basic receive path: codec receive side, receive path off and reset, registers 1 and 15.
    add_codec_list_both(e, {1, 0x00, 2, 0x00, 3, 0x00, 4, 0x05, 5, 0x04, 6, 0x08});
    e.push_back(out(0x06, 0, 0));
    e.push_back(out(0x0B, 1, 0));
    e.push_back(out(0x0B, 0, 0));
    e.push_back(fpga_write(1, 1));
    e.push_back(fpga_write(15, 0x0F));
    // Slot 1 (I2C 0x55): a valid EEPROM.
    e.push_back(out(0x08, 0x55, 0, {0x00}));
    e.push_back(in(0x81, 0x55, 0, 32));
    e.push_back(fpga_write(16, uint32_t(int32_t(SLOT1_WORD2))));
    e.push_back(fpga_write(17, uint32_t(int32_t(SLOT1_WORD3))));
    e.push_back(fpga_write(6, 0xFFFF0000u | SLOT1_WORD1));
    e.push_back(fpga_write(10, 0xFFFF0000u));
    // Slot 3 (I2C 0x57): nothing answers.
    e.push_back(out(0x08, 0x57, 0, {0x00}, true));
    e.push_back(fpga_write(8, 0xFFFF0000u));
    e.push_back(fpga_write(12, 0xFFFF0000u));
    for (int reg : {23, 24, 25, 29, 30, 31})
        e.push_back(fpga_write(reg, 0));

    // Standard receive path: capability word, format, channels, decimation, mux, mode, DDCs.
    e.push_back(in(0x82, 0x83, 0x0120, 4));
    e.push_back(fpga_write(49, 0x300));
    e.push_back(fpga_write(38, 4));
    e.push_back(fpga_write(33, 127));
    e.push_back(fpga_write(38, 4));
    e.push_back(fpga_write(13, 0));
    for (int ch = 0; ch < 4; ++ch) {
        e.push_back(fpga_write(34 + ch, 0));
        e.push_back(fpga_write(44 + ch, 0));
    }

    // The session: phases, then frequencies (3.6 MHz), then gains (20 dB) of the four receivers.
    for (int ch = 0; ch < 4; ++ch)
        e.push_back(fpga_write(44 + ch, 0));
    for (int ch = 0; ch < 4; ++ch)
        e.push_back(fpga_write(34 + ch, 0xF199999Au));
    for (int ch = 0; ch < 4; ++ch) {
        e.push_back(codec_read(ch / 2, 2 + (ch & 1)));
        e.push_back(codec_write(ch / 2, 2 + (ch & 1), 20));
    }

    // The worker: the receive path goes on once the endpoint runs.
    e.push_back(out(0x06, 1, 0));
    return e;
}

std::string describe_difference(const std::vector<std::string>& want,
                                const std::vector<std::string>& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        ++i;
    if (i == want.size() && i == got.size())
        return "";
    std::string s = "first difference at event " + std::to_string(i) + " of " +
                    std::to_string(want.size()) + " expected, " + std::to_string(got.size()) +
                    " recorded\n";
    size_t from = i >= 3 ? i - 3 : 0;
    for (size_t k = from; k < i + 4; ++k) {
        s += "  #" + std::to_string(k) + "\n";
        s += "    want: " + (k < want.size() ? want[k].substr(0, 120) : "(end)") + "\n";
        s += "    got:  " + (k < got.size() ? got[k].substr(0, 120) : "(end)") + "\n";
    }
    return s;
}

class StartupSequence : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The module initialises the USB library at its first device; do that here, with no
        // board, so that the counts below see only what StartRx on a board does.
        usbsim::World::instance().reset();
        Host h(0);
        h.start();
        h.stop();
    }
    void SetUp() override { usbsim::World::instance().reset(); }
    void TearDown() override {
        module().stop_rx();
        usbsim::World::instance().reset();
    }

    usbsim::BoardId board(bool warm) {
        usbsim::BoardConfig c = board_config(warm);
        c.eeprom[1] = usbsim::eeprom_image(SLOT1_ID, SLOT1_WORD1, SLOT1_WORD2, SLOT1_WORD3);
        return attach_board(c);
    }

    // Starts a session and waits for its first block, by which time the receive enable is out.
    void start_and_stream(Host& h) {
        h.start();
        ASSERT_TRUE(h.errors().empty()) << h.errors()[0];
        ASSERT_TRUE(h.wait_blocks(1));
    }
};

}  // namespace

TEST_F(StartupSequence, ColdBoardLoadsBothImagesThenConfiguresAndStreams) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = board(false);
    const int busses_before = w.find_busses_calls();
    const int devices_before = w.find_devices_calls();
    const int inits_before = w.usb_init_calls();

    Host h(0);
    start_and_stream(h);

    std::vector<std::string> want = expected_startup(true);
    std::vector<std::string> got = recorded_startup();
    EXPECT_EQ(describe_difference(want, got), "");

    // One rescan after the fresh firmware, so that the board is found as it re-joined.
    EXPECT_EQ(w.find_busses_calls() - busses_before, 1);
    EXPECT_EQ(w.find_devices_calls() - devices_before, 1);
    EXPECT_EQ(w.usb_init_calls() - inits_before, 0);
    EXPECT_TRUE(w.firmware_running(b));
    EXPECT_TRUE(w.fpga_configured(b));
    EXPECT_EQ(w.bitstream_digest(b), md5_of_file(image_path(4, "std_4rx_0tx.rbf")));
    EXPECT_EQ(w.open_handles(), 1) << "only the receive interface stays open";
    EXPECT_EQ(w.indicator(b, 1), 0);
}

// The board that the first session loaded keeps its images: the second session only compares
// the digests.
TEST_F(StartupSequence, WarmBoardSkipsBothImages) {
    auto& w = usbsim::World::instance();
    board(false);
    {
        Host first(0);
        start_and_stream(first);
        first.stop();
    }
    w.clear_log();
    const int busses_before = w.find_busses_calls();

    Host h(1);
    start_and_stream(h);
    std::vector<std::string> want = expected_startup(false);
    std::vector<std::string> got = recorded_startup();
    EXPECT_EQ(describe_difference(want, got), "");
    EXPECT_EQ(w.find_busses_calls(), busses_before) << "no rescan without a firmware load";
    EXPECT_TRUE(matching(w.control_log(), {0x02, {}, {}, {}}).empty()) << "no FPGA configuration";
}

TEST_F(StartupSequence, BoardHoldsTheSessionSettings) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = board(true);
    Host h(2);
    start_and_stream(h);

    EXPECT_EQ(w.fpga_register(b, 49), 0x300u) << "16-bit I/Q";
    EXPECT_EQ(w.fpga_register(b, 38), 4u) << "four channels, mux 0";
    EXPECT_EQ(w.fpga_register(b, 33), 127u) << "decimation 128";
    EXPECT_EQ(w.fpga_register(b, 13), 0u) << "mode 0";
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(w.fpga_register(b, 34 + ch), 0xF199999Au) << "DDC " << ch;
        EXPECT_EQ(w.fpga_register(b, 44 + ch), 0u) << "phase " << ch;
    }
    for (int codec = 0; codec < 2; ++codec)
        for (int reg = 2; reg <= 3; ++reg)
            EXPECT_EQ(w.codec_register(b, codec, reg) & 0x7F, 20) << codec << "/" << reg;
    EXPECT_TRUE(w.rx_enabled(b));
    EXPECT_FALSE(w.rx_in_reset(b));

    // Phases, then frequencies, then gains, each for receivers 0 to 3.
    auto log = w.control_log();
    std::vector<std::string> order;
    for (const auto& c : log) {
        bool fpga = c.request == 0x09 && c.index == 0x0120 && c.data.size() == 4;
        bool gain = c.request == 0x09 && c.index != 0x0120 && (c.value == 2 || c.value == 3);
        if (fpga && c.value >= 44 && c.value <= 47)
            order.push_back("phase" + std::to_string(c.value - 44));
        else if (fpga && c.value >= 34 && c.value <= 37 && c.data[0] == 0xF1)
            order.push_back("freq" + std::to_string(c.value - 34));
        else if (gain && c.data.size() == 1 && c.data[0] == 20)
            order.push_back("gain" + std::to_string((c.index == 0x0420 ? 2 : 0) + c.value - 2));
    }
    // Construction writes phase 0 once per DDC before the session's own loops.
    std::vector<std::string> want = {"phase0", "phase1", "phase2", "phase3", "phase0", "phase1",
                                     "phase2", "phase3", "freq0",  "freq1",  "freq2",  "freq3",
                                     "gain0",  "gain1",  "gain2",  "gain3"};
    EXPECT_EQ(order, want);
}
