// The two image loaders and the internal RAM writer, against the simulated board.
#include "prims_fixture.h"

#include <cstdlib>

using namespace prims_test;
using usbsim::ControlMatch;
using usbsim::Fault;
using usbsim::FaultKind;

namespace {

const unsigned char kDigest[16] = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7,
                                   0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};

Bytes pattern(size_t n, int seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}

bool is_ram_write(const ControlRecord& r) {
    return r.request == REQ_RAM_ACCESS && r.request_type == 0x40;
}

std::vector<ControlRecord> ram_writes(const std::vector<ControlRecord>& log) {
    std::vector<ControlRecord> out;
    for (const auto& r : log)
        if (is_ram_write(r))
            out.push_back(r);
    return out;
}

class Loaders : public WarmHandleTest {
  protected:
    bool load_hex(const std::string& text, std::string* err = nullptr) {
        std::string path = dir.write("fw.ihx", text);
        capture_stderr();
        bool ok = load_firmware_image(h, path.c_str(), kDigest);
        std::string e = captured_stderr();
        if (err)
            *err = e;
        hex_path = path;
        return ok;
    }

    bool load_rbf(const Bytes& bits, std::string* err = nullptr) {
        std::string path = dir.write("bits.rbf", bits);
        capture_stderr();
        bool ok = load_fpga_image(h, path.c_str(), kDigest);
        std::string e = captured_stderr();
        if (err)
            *err = e;
        return ok;
    }

    TempDir dir;
    std::string hex_path;
};

class LoadersRev0 : public Loaders {
  protected:
    void SetUp() override {
        bcd = 0x0100;
        Loaders::SetUp();
    }
};

// The complete request sequence of one firmware load: hold, the records, digest, release.
void expect_firmware_frame(const std::vector<ControlRecord>& w, bool digest_whole = true) {
    ASSERT_GE(w.size(), 3u);
    Bytes hold = bytes_of({1}), run = bytes_of({0});
    Bytes digest(kDigest, kDigest + 16);
    expect_request(w.front(), 0x40, REQ_RAM_ACCESS, CPU_CONTROL_ADDRESS, 0, 1, &hold);
    expect_request(w[w.size() - 2], 0x40, REQ_RAM_ACCESS, 0xE1E0, 0, 16,
                   digest_whole ? &digest : nullptr);
    expect_request(w.back(), 0x40, REQ_RAM_ACCESS, CPU_CONTROL_ADDRESS, 0, 1, &run);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Intel HEX firmware
// ---------------------------------------------------------------------------------------------

TEST_F(Loaders, HexRecordsReachRamInFileOrder) {
    Bytes a = pattern(100, 1), b = pattern(3, 2);
    std::string text = hex_record(0, 0x1234, a) + hex_record(0, 0x0010, b) + ":00000001FF\n";
    ASSERT_TRUE(load_hex(text));
    auto w = log();
    ASSERT_EQ(w.size(), 6u);
    expect_firmware_frame(w);
    // A 100-byte record goes out as 64 + 36 at AAAA and AAAA + 64.
    Bytes a0(a.begin(), a.begin() + 64), a1(a.begin() + 64, a.end());
    expect_request(w[1], 0x40, REQ_RAM_ACCESS, 0x1234, 0, 64, &a0);
    expect_request(w[2], 0x40, REQ_RAM_ACCESS, 0x1234 + 64, 0, 36, &a1);
    expect_request(w[3], 0x40, REQ_RAM_ACCESS, 0x0010, 0, 3, &b);
    EXPECT_EQ(world.ram(board, 0x1234, 100), a);
    EXPECT_EQ(world.ram(board, 0xE1E0, 16), Bytes(kDigest, kDigest + 16));
}

TEST_F(Loaders, HexLowerCaseCrLfAndSkippedRecordTypes) {
    Bytes a = pattern(16, 3);
    std::string rec = hex_record(0, 0x0200, a);
    for (char& c : rec)
        if (c >= 'A' && c <= 'F')
            c = char(c - 'A' + 'a');
    rec.insert(rec.size() - 1, "\r");
    std::string text = hex_record(4, 0, bytes_of({0x00, 0x00})) + rec +
                       hex_record(5, 0, bytes_of({0, 0, 0, 0})) +
                       hex_record(3, 0, bytes_of({1, 2, 3, 4})) + ":00000001FF\n";
    std::string err;
    ASSERT_TRUE(load_hex(text, &err));
    EXPECT_EQ(err, "");
    auto w = ram_writes(log());
    ASSERT_EQ(w.size(), 4u);
    expect_request(w[1], 0x40, REQ_RAM_ACCESS, 0x0200, 0, 16, &a);
}

TEST_F(Loaders, HexEndRecordStopsReading) {
    // Lines after the end record are never read, even malformed ones.
    std::string text = hex_record(0, 0, pattern(4, 1)) + ":00000001FF\n" + "garbage\n:zz\n";
    ASSERT_TRUE(load_hex(text));
    expect_firmware_frame(log());

    // No end record at all: accepted, digest and release still follow.
    h = reopen(h);
    ASSERT_TRUE(load_hex(hex_record(0, 0x40, pattern(8, 2))));
    auto w = log();
    ASSERT_EQ(w.size(), 4u);
    expect_firmware_frame(w);
}

TEST_F(Loaders, HexRejectedLinesStopTheLoadWithTheCpuHeld) {
    struct Case {
        std::string bad_line;  // placed after one good record
        std::string message;   // expected standard error
    };
    std::string ext = hex_record(2, 0, bytes_of({0x10, 0x00}));
    std::string bad_sum = ":0300300002337A1F\n";  // checksum should be 0x1e
    const Case cases[] = {
        {"\n", "invalid line: \"\n\"\n"},
        {"0300300002337A1E\n", "invalid line: \"0300300002337A1E\n\"\n"},
        {ext, "Extended address: whatever I do with it?\n"},
        {bad_sum, "  ** Checksum failed: got 0x1e versus 0x1f\n"},
        // A line shorter than its byte count says.
        {":10010000214601360121470136007EFE\n", "invalid line"},
        // Characters that are not hexadecimal digits where digits are due.
        {":0300300002G37A1E\n", "invalid line"},
        {":03003000 2337A1E\n", "invalid line"},
        {":+3003000023370A1E\n", "invalid line"},
        {":0X\n", "invalid line"},
        {":0300300002337A\n", "invalid line"},  // no checksum
        // Bytes that would run past the end of the 16-bit address space.
        {hex_record(0, 0xFFF1, pattern(16, 5)), "invalid line"},
    };
    for (const Case& c : cases) {
        world.clear_log();
        std::string err;
        EXPECT_FALSE(load_hex(hex_record(0, 0, pattern(2, 9)) + c.bad_line + ":00000001FF\n", &err))
            << c.bad_line;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.bad_line << " -> " << err;
        auto w = log();
        // Only the hold and the good record: no digest, no release.
        ASSERT_EQ(w.size(), 2u) << c.bad_line;
        EXPECT_EQ(w[0].value, CPU_CONTROL_ADDRESS);
        EXPECT_EQ(w[1].value, 0);
    }
    // The invalid-line report names the file and quotes the line as read.
    std::string err;
    EXPECT_FALSE(load_hex(ext, &err));
    EXPECT_EQ(err, "Extended address: whatever I do with it?\n" + hex_path + ": invalid line: \"" +
                       ext + "\"\n");
}

TEST_F(Loaders, HexRecordEndingAtTheLastAddressIsAccepted) {
    Bytes tail = pattern(16, 4);
    ASSERT_TRUE(load_hex(hex_record(0, 0xFFF0, tail) + ":00000001FF\n"));
    auto w = log();
    ASSERT_EQ(w.size(), 4u);
    expect_request(w[1], 0x40, REQ_RAM_ACCESS, 0xFFF0, 0, 16, &tail);
}

TEST_F(Loaders, HexTransferFailures) {
    std::string text =
        hex_record(0, 0, pattern(4, 1)) + hex_record(0, 0x10, pattern(4, 2)) + ":00000001FF\n";
    // Holding the CPU fails: nothing else is sent.
    world.fail_control_at(0, Fault{FaultKind::io_error});
    std::string err;
    EXPECT_FALSE(load_hex(text, &err));
    EXPECT_EQ(err.rfind("write_internal_ram failed: ", 0), 0u) << err;
    EXPECT_EQ(log().size(), 1u);

    // A record's write fails, stalled or not: reported, and the CPU stays held.
    world.clear_log();
    world.fail_control_at(2, Fault{FaultKind::stall});
    EXPECT_FALSE(load_hex(text, &err));
    EXPECT_EQ(err, std::string("write_internal_ram failed: ") + usb_strerror() + "\n");
    EXPECT_EQ(log().size(), 3u);

    // A short digest write is reported and the load goes on.
    world.clear_log();
    world.fail_control_matching(ControlMatch{REQ_RAM_ACCESS, 0xE1E0, {}, 0x40},
                                Fault{FaultKind::short_data, 2});
    EXPECT_TRUE(load_hex(text, &err));
    EXPECT_EQ(err, "usrp: failed to write firmware hash slot\n");
    expect_firmware_frame(log(), false);

    // Releasing the CPU fails: the load fails.
    h = reopen(h);
    world.fail_control_at(4, Fault{FaultKind::io_error});
    EXPECT_FALSE(load_hex(text, &err));
    EXPECT_EQ(log().size(), 5u);
}

TEST_F(Loaders, HexMadeByObjcopyLoadsByteForByte) {
    Bytes image = pattern(700, 8);
    std::string bin = dir.write("image.bin", image);
    std::string hex = dir.path() + "/image.ihx";
    std::string cmd =
        "objcopy -I binary -O ihex --change-addresses 0x0100 " + bin + " " + hex + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        GTEST_SKIP() << "objcopy not available";
    capture_stderr();
    ASSERT_TRUE(load_firmware_image(h, hex.c_str(), kDigest));
    EXPECT_EQ(captured_stderr(), "");
    EXPECT_EQ(world.ram(board, 0x0100, int(image.size())), image);
    expect_firmware_frame(ram_writes(log()));
}

TEST_F(Loaders, InternalRamWriterChunks) {
    Bytes data = pattern(130, 6);
    EXPECT_TRUE(write_internal_ram(h, 0x2000, data.data(), 130));
    auto w = log();
    ASSERT_EQ(w.size(), 3u);
    const int sizes[] = {64, 64, 2};
    for (int i = 0; i < 3; ++i) {
        Bytes part(data.begin() + 64 * i, data.begin() + 64 * i + sizes[i]);
        expect_request(w[i], 0x40, REQ_RAM_ACCESS, 0x2000 + 64 * i, 0, sizes[i], &part);
    }
    world.clear_log();
    EXPECT_TRUE(write_internal_ram(h, 0x2000, data.data(), 0));
    EXPECT_TRUE(log().empty());
}

TEST_F(Loaders, UnopenableFilesAreReportedThroughPerror) {
    std::string missing = dir.path() + "/none.ihx";
    capture_stderr();
    EXPECT_FALSE(load_firmware_image(h, missing.c_str(), kDigest));
    EXPECT_FALSE(load_fpga_image(h, missing.c_str(), kDigest));
    EXPECT_EQ(captured_stderr(), missing + ": No such file or directory\n" + missing +
                                     ": No such file or directory\n");
    EXPECT_TRUE(log().empty());
}

// ---------------------------------------------------------------------------------------------
// FPGA bitstream
// ---------------------------------------------------------------------------------------------

TEST_F(Loaders, BitstreamSuccessSequence) {
    Bytes bits = pattern(130, 7);
    std::string err;
    ASSERT_TRUE(load_rbf(bits, &err));
    EXPECT_EQ(err, "");
    auto l = log();

    size_t i = 0;
    auto next = [&]() -> const ControlRecord& {
        static const ControlRecord none{};
        return i < l.size() ? l[i++] : none;
    };
    expect_request(next(), 0x40, REQ_INDICATOR, 1, 1, 0);
    expect_request(next(), 0x40, REQ_FPGA_RESET, 1, 0, 0);
    expect_request(next(), 0x40, REQ_FPGA_CONFIG, 0, CONFIG_BEGIN, 0);
    const int sizes[] = {64, 64, 2};
    for (int k = 0; k < 3; ++k) {
        Bytes part(bits.begin() + 64 * k, bits.begin() + 64 * k + sizes[k]);
        expect_request(next(), 0x40, REQ_FPGA_CONFIG, 0, CONFIG_DATA, sizes[k], &part);
    }
    expect_request(next(), 0x40, REQ_FPGA_CONFIG, 0, CONFIG_END, 0);
    Bytes digest(kDigest, kDigest + 16);
    expect_request(next(), 0x40, REQ_RAM_ACCESS, 0xE1F0, 0, 16, &digest);
    expect_request(next(), 0x40, REQ_FPGA_RESET, 0, 0, 0);
    expect_request(next(), 0x40, REQ_TX_ENABLE, 0, 0, 0);
    expect_request(next(), 0x40, REQ_RX_ENABLE, 0, 0, 0);
    expect_request(next(), 0x40, REQ_TX_RESET, 1, 0, 0);
    expect_request(next(), 0x40, REQ_RX_RESET, 1, 0, 0);
    expect_request(next(), 0x40, REQ_TX_RESET, 0, 0, 0);
    expect_request(next(), 0x40, REQ_RX_RESET, 0, 0, 0);
    Bytes zero = bytes_of({0, 0, 0, 0});
    for (int reg = 0; reg < 64; ++reg) {
        if (reg == 4)
            continue;
        expect_request(next(), 0x40, REQ_SPI_WRITE, reg, 0x0120, 4, &zero);
    }
    const int codec_list[] = {1, 0x01, 8, 0x0F, 20, 0x00};
    for (int codec_index : {0x0220, 0x0420}) {
        for (int k = 0; k < 3; ++k) {
            Bytes v = bytes_of({codec_list[2 * k + 1]});
            expect_request(next(), 0x40, REQ_SPI_WRITE, codec_list[2 * k], codec_index, 1, &v);
        }
    }
    expect_request(next(), 0x40, REQ_INDICATOR, 0, 1, 0);
    EXPECT_EQ(i, l.size()) << "requests after the indicator went off";
    EXPECT_EQ(l.size(), 3u + 3 + 1 + 1 + 1 + 6 + 63 + 6 + 1);

    EXPECT_TRUE(world.fpga_configured(board));
    EXPECT_EQ(world.bitstream_digest(board), md5_of(std::string(bits.begin(), bits.end())));
    EXPECT_EQ(world.ram(board, 0xE1F0, 16), digest);
    EXPECT_EQ(world.codec_register(board, 1, 8), 0x0F);
}

TEST_F(Loaders, EmptyBitstreamSendsBeginAndEndOnly) {
    ASSERT_TRUE(load_rbf(Bytes{}));
    auto cfg = usbsim::with_request(log(), REQ_FPGA_CONFIG);
    ASSERT_EQ(cfg.size(), 2u);
    EXPECT_EQ(cfg[0].index, CONFIG_BEGIN);
    EXPECT_EQ(cfg[1].index, CONFIG_END);
}

TEST_F(Loaders, BitstreamFailuresLeaveTheFpgaInReset) {
    Bytes bits = pattern(130, 2);
    // Begin, the second data piece, end; stalled or not, each takes the failure path.
    const struct {
        int index;
        int skip;  // matching requests to let through first
        FaultKind kind;
        bool reported;
    } cases[] = {
        {CONFIG_BEGIN, 0, FaultKind::io_error, true},
        {CONFIG_DATA, 1, FaultKind::short_data, false},
        {CONFIG_DATA, 2, FaultKind::stall, false},
        {CONFIG_END, 0, FaultKind::timeout, true},
    };
    for (const auto& c : cases) {
        world.clear_log();
        // Let `skip` matching requests through by counting positions in the sequence.
        int position =
            2 + (c.index == CONFIG_DATA ? 1 + c.skip : 0) + (c.index == CONFIG_END ? 4 : 0);
        world.fail_control_at(position, Fault{c.kind, 1, 0});
        std::string err;
        EXPECT_FALSE(load_rbf(bits, &err)) << c.index;
        auto l = log();
        ASSERT_GT(l.size(), size_t(position));
        EXPECT_EQ(l[position].request, REQ_FPGA_CONFIG);
        EXPECT_EQ(l[position].index, c.index);
        // After the failed request: the codec list to both codecs, and nothing else.
        ASSERT_EQ(l.size(), size_t(position) + 1 + 6);
        for (size_t k = position + 1; k < l.size(); ++k) {
            EXPECT_EQ(l[k].request, REQ_SPI_WRITE);
            EXPECT_EQ(l[k].index, k < size_t(position) + 4 ? 0x0220 : 0x0420);
        }
        EXPECT_EQ(err.find("usb_control_msg failed: ") != std::string::npos, c.reported) << err;
        if (c.index != CONFIG_BEGIN) {
            EXPECT_FALSE(world.fpga_configured(board));
        }
        EXPECT_EQ(world.ram(board, 0xE1F0, 16), Bytes(16, 0)) << "slot written after a failure";
    }
}

TEST_F(Loaders, BitstreamAfterEffectsFailButLoadSucceeds) {
    world.fail_control_matching(ControlMatch{REQ_RAM_ACCESS, 0xE1F0, {}, 0x40},
                                Fault{FaultKind::io_error});
    world.fail_control_matching(ControlMatch{REQ_RX_RESET, 1, {}, {}}, Fault{FaultKind::stall});
    world.fail_control_matching(ControlMatch{REQ_TX_ENABLE, {}, {}, {}}, Fault{FaultKind::stall});
    std::string err;
    EXPECT_TRUE(load_rbf(pattern(10, 1), &err));
    EXPECT_EQ(err, "usrp: failed to write fpga hash slot\n"
                   "usrp: failed to reset tx and/or rx path\n");
    // All six path requests were still sent.
    auto l = log();
    int path_requests = 0;
    for (const auto& r : l)
        if (r.request == REQ_TX_ENABLE || r.request == REQ_RX_ENABLE || r.request == REQ_TX_RESET ||
            r.request == REQ_RX_RESET)
            ++path_requests;
    EXPECT_EQ(path_requests, 6);
    EXPECT_EQ(l.back().request, REQ_INDICATOR);
}

TEST_F(LoadersRev0, FailureWritesNoCodecsAndClearSendsNoRegisters) {
    world.fail_control_at(2, Fault{FaultKind::stall});
    EXPECT_FALSE(load_rbf(pattern(10, 1)));
    auto l = log();
    ASSERT_EQ(l.size(), 3u);  // indicator, reset, failed begin
    EXPECT_EQ(l.back().request, REQ_FPGA_CONFIG);

    // A successful load on revision 0: the register clear sends nothing, the codec list is not
    // sent, the indicator still goes off.
    world.clear_log();
    std::string err;
    EXPECT_TRUE(load_rbf(pattern(10, 1), &err));
    for (const auto& r : log())
        EXPECT_NE(r.request, REQ_SPI_WRITE);
    EXPECT_EQ(log().back().request, REQ_INDICATOR);
    EXPECT_NE(err.find("usrp_fpga_reg_write: not supported on a revision 0 board\n"),
              std::string::npos);
}
