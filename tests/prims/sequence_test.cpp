// Image names and file search, the checked load, and the whole load sequence on the simulated
// board.
#include "prims_fixture.h"

#include <chrono>
#include <memory>
#include <tuple>
#include <unistd.h>

using namespace prims_test;
using usbsim::ControlMatch;
using usbsim::Fault;
using usbsim::FaultKind;

namespace {

class ImageEnv : public SimTest {
  protected:
    // Every variable the loaders read starts out absent.
    ScopedEnv path_{"USRP_PATH", nullptr};
    ScopedEnv firmware_{"USRP_FIRMWARE", nullptr};
    ScopedEnv fpga_{"USRP_FPGA", nullptr};
    ScopedEnv verbose_{"USRP_VERBOSE", nullptr};
    TempDir dir;
};

// Runs the test body inside a fresh current folder (the default roots are relative).
class InTempCwd {
  public:
    explicit InTempCwd(const std::string& path) {
        char buf[4096];
        old_ = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~InTempCwd() { EXPECT_EQ(chdir(old_.c_str()), 0); }

  private:
    std::string old_;
};

std::string str(const char* s) {
    return s ? s : "(null)";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names and search
// ---------------------------------------------------------------------------------------------

TEST_F(ImageEnv, NameComesFromCallerThenVariableThenDefault) {
    EXPECT_EQ(str(resolve_image_name("mine.ihx", "USRP_FIRMWARE", "std.ihx")), "mine.ihx");
    EXPECT_EQ(str(resolve_image_name("", "USRP_FIRMWARE", "std.ihx")), "std.ihx");
    ScopedEnv fw("USRP_FIRMWARE", "env.ihx");
    EXPECT_EQ(str(resolve_image_name("mine.ihx", "USRP_FIRMWARE", "std.ihx")), "mine.ihx");
    EXPECT_EQ(str(resolve_image_name("", "USRP_FIRMWARE", "std.ihx")), "env.ihx");
    ScopedEnv empty("USRP_FIRMWARE", "");
    EXPECT_EQ(str(resolve_image_name("", "USRP_FIRMWARE", "std.ihx")), "std.ihx");
    EXPECT_EQ(str(resolve_image_name(nullptr, "USRP_FIRMWARE", "std.ihx")), "std.ihx");
}

TEST_F(ImageEnv, OverlongNamesAreRefused) {
    std::string longest(511, 'n');
    EXPECT_EQ(str(resolve_image_name(longest.c_str(), "USRP_FIRMWARE", "std.ihx")), longest);
    std::string too_long(512, 'n');
    capture_stderr();
    EXPECT_EQ(resolve_image_name(too_long.c_str(), "USRP_FIRMWARE", "std.ihx"), nullptr);
    ScopedEnv fw("USRP_FIRMWARE", std::string(4000, 'e').c_str());
    EXPECT_EQ(resolve_image_name("", "USRP_FIRMWARE", "std.ihx"), nullptr);
    EXPECT_EQ(captured_stderr(), "usrp: image name too long (512 characters, at most 511)\n"
                                 "usrp: image name too long (4000 characters, at most 511)\n");
    EXPECT_EQ(find_image_file(nullptr, 4), nullptr);
}

TEST_F(ImageEnv, SearchTriesUsrpPathThenTheDefaultRootsInOrder) {
    InTempCwd cwd(dir.path());
    ScopedEnv path("USRP_PATH", (dir.path() + "/mine").c_str());
    dir.write("mine/rev4/a.bin", "1");
    dir.write("mine/rev4/b.bin", "2");
    dir.write("usrp/rev4/b.bin", "3");
    dir.write("usrp/rev4/c.bin", "4");
    dir.write("mine/rev3/d.bin", "5");
    // Windows' roots name nothing here: folders literally called so are not searched.
    dir.write("\\usrp/rev4/e.bin", "6");
    dir.write(".\\usrp/rev4/e.bin", "7");

    EXPECT_EQ(str(find_image_file("a.bin", 4)), dir.path() + "/mine/rev4/a.bin");
    EXPECT_EQ(str(find_image_file("b.bin", 4)), dir.path() + "/mine/rev4/b.bin");
    EXPECT_EQ(str(find_image_file("c.bin", 4)), "./usrp/rev4/c.bin");
    EXPECT_EQ(find_image_file("d.bin", 4), nullptr);  // the revision is part of the path
    EXPECT_EQ(str(find_image_file("d.bin", 3)), dir.path() + "/mine/rev3/d.bin");
    EXPECT_EQ(find_image_file("e.bin", 4), nullptr);
    EXPECT_EQ(find_image_file("none.bin", 4), nullptr);

    // Defined but empty: still composed ("/rev4/..."), then the default roots.
    ScopedEnv empty("USRP_PATH", "");
    EXPECT_EQ(str(find_image_file("b.bin", 4)), "./usrp/rev4/b.bin");
}

TEST_F(ImageEnv, OverlongPathsAreRefusedAndSkipped) {
    InTempCwd cwd(dir.path());
    dir.write("usrp/rev4/b.bin", "3");
    // 999 characters is the longest path that fits.
    std::string root = "/" + std::string(999 - 1 - std::string("/rev4/b.bin").size(), 'r');
    ScopedEnv fits("USRP_PATH", root.c_str());
    capture_stderr();
    EXPECT_EQ(str(find_image_file("b.bin", 4)), "./usrp/rev4/b.bin");
    EXPECT_EQ(captured_stderr(), "");

    ScopedEnv too_long("USRP_PATH", (root + "r").c_str());
    capture_stderr();
    EXPECT_EQ(str(find_image_file("b.bin", 4)), "./usrp/rev4/b.bin");
    std::string err = captured_stderr();
    EXPECT_EQ(err.rfind("usrp: image path too long (1000 characters, at most 999), skipped: ", 0),
              0u)
        << err;
    ScopedEnv huge("USRP_PATH", std::string(100000, 'h').c_str());
    capture_stderr();
    EXPECT_EQ(str(find_image_file("b.bin", 4)), "./usrp/rev4/b.bin");
    EXPECT_NE(captured_stderr(), "");

    // An overlong name that passed the name check still cannot overflow the path.
    capture_stderr();
    EXPECT_EQ(find_image_file(std::string(990, 'n').c_str(), 4), nullptr);
    EXPECT_NE(captured_stderr(), "");
}

TEST_F(ImageEnv, StatusReport) {
    capture_stderr();
    report_load_status("firmware", "/x/std.ihx", LOAD_FAILED);
    report_load_status("firmware", "/x/std.ihx", LOAD_DONE);
    report_load_status("fpga bitstream", "/x/b.rbf", LOAD_SKIPPED);
    EXPECT_EQ(captured_stderr(), "usrp: failed to load firmware /x/std.ihx.\n");
    ScopedEnv v("USRP_VERBOSE", "");
    capture_stderr();
    report_load_status("firmware", "/x/std.ihx", LOAD_DONE);
    report_load_status("fpga bitstream", "/x/b.rbf", LOAD_SKIPPED);
    EXPECT_EQ(captured_stderr(), "usrp: firmware /x/std.ihx loaded successfully.\n"
                                 "usrp: fpga bitstream /x/b.rbf already loaded.\n");
}

// ---------------------------------------------------------------------------------------------
// Checked load
// ---------------------------------------------------------------------------------------------

namespace {

int loader_calls = 0;
unsigned char loader_digest[16];
bool recording_loader(usb_dev_handle*, const char*, const unsigned char digest[16]) {
    ++loader_calls;
    std::copy(digest, digest + 16, loader_digest);
    return true;
}
bool failing_loader(usb_dev_handle*, const char*, const unsigned char*) {
    return false;
}

}  // namespace

TEST_F(ImageEnv, CheckedLoadComparesTheSlot) {
    const std::string contents = "bitstream bytes of our own";
    auto digest = md5_of(contents);
    int bus = world.add_bus();
    auto cfg = warm_board();
    cfg.fpga_hash = digest;
    board = world.add_board(bus, cfg);
    usb_dev_handle* h = open_nth_cmd_interface(0);
    ASSERT_NE(h, nullptr);
    std::string path = dir.write("b.rbf", contents);

    loader_calls = 0;
    EXPECT_EQ(load_with_hash_check(path.c_str(), h, false, FPGA_HASH_SLOT, recording_loader),
              LOAD_SKIPPED);
    EXPECT_EQ(loader_calls, 0);
    // Slot 0 holds something else: loaded, with the file's digest.
    EXPECT_EQ(load_with_hash_check(path.c_str(), h, false, FIRMWARE_HASH_SLOT, recording_loader),
              LOAD_DONE);
    EXPECT_EQ(loader_calls, 1);
    EXPECT_EQ(Bytes(loader_digest, loader_digest + 16), Bytes(digest.begin(), digest.end()));
    // Forced: loaded without asking the board.
    world.clear_log();
    EXPECT_EQ(load_with_hash_check(path.c_str(), h, true, FPGA_HASH_SLOT, recording_loader),
              LOAD_DONE);
    EXPECT_TRUE(log().empty());
    // A failed fetch is no error: the image is loaded.
    world.fail_control_at(0, Fault{FaultKind::short_data, 1});
    EXPECT_EQ(load_with_hash_check(path.c_str(), h, false, FPGA_HASH_SLOT, recording_loader),
              LOAD_DONE);
    EXPECT_EQ(loader_calls, 3);
    EXPECT_EQ(load_with_hash_check(path.c_str(), h, true, FPGA_HASH_SLOT, failing_loader),
              LOAD_FAILED);

    // A file that cannot be read: perror with the path, no request.
    world.clear_log();
    std::string missing = dir.path() + "/missing.rbf";
    capture_stderr();
    EXPECT_EQ(load_with_hash_check(missing.c_str(), h, false, 1, recording_loader), LOAD_FAILED);
    EXPECT_EQ(captured_stderr(), missing + ": No such file or directory\n");
    // A folder opens but cannot be read: a silent failure.
    capture_stderr();
    EXPECT_EQ(load_with_hash_check(dir.path().c_str(), h, false, 1, recording_loader), LOAD_FAILED);
    EXPECT_EQ(captured_stderr(), "");
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(loader_calls, 3);
    usb_close(h);
}

// ---------------------------------------------------------------------------------------------
// The whole sequence
// ---------------------------------------------------------------------------------------------

namespace {

class LoadSequence : public ImageEnv {
  protected:
    void SetUp() override {
        ImageEnv::SetUp();
        Bytes fw(300);
        for (size_t i = 0; i < fw.size(); ++i)
            fw[i] = static_cast<uint8_t>(i * 5 + 1);
        firmware_text = intel_hex(fw, 0);
        bitstream = std::string(1000, '\0');
        for (size_t i = 0; i < bitstream.size(); ++i)
            bitstream[i] = char(i * 11 + 3);
        firmware_path = dir.write("rev4/std.ihx", firmware_text);
        fpga_path = dir.write("rev4/std_4rx_0tx.rbf", bitstream);
        usrp_path = std::make_unique<ScopedEnv>("USRP_PATH", dir.path().c_str());
    }

    usbsim::BoardConfig config(bool firmware_matches, bool fpga_matches) {
        usbsim::BoardConfig c = warm_board();
        if (firmware_matches)
            c.firmware_hash = md5_of(firmware_text);
        if (fpga_matches)
            c.fpga_hash = md5_of(bitstream);
        return c;
    }

    bool run(std::string* err, const std::string& fpga = "std_4rx_0tx.rbf",
             const std::string& firmware = "std.ihx") {
        capture_stderr();
        bool ok = usrp_load_standard_bits(0, fpga, firmware);
        *err = captured_stderr();
        return ok;
    }

    int count(int request, int type) {
        int n = 0;
        for (const auto& r : log())
            if (r.request == request && r.request_type == type)
                ++n;
        return n;
    }

    std::string firmware_text, bitstream, firmware_path, fpga_path;
    std::unique_ptr<ScopedEnv> usrp_path;
};

}  // namespace

TEST_F(LoadSequence, BothDigestsOnTheBoardSendNothing) {
    board = world.add_board(world.add_bus(), config(true, true));
    ScopedEnv v("USRP_VERBOSE", "1");
    std::string err;
    ASSERT_TRUE(run(&err));
    EXPECT_EQ(err, "usrp: firmware " + firmware_path + " already loaded.\n" +
                       "usrp: fpga bitstream " + fpga_path + " already loaded.\n");
    auto l = log();
    ASSERT_EQ(l.size(), 2u);  // the two slot reads, nothing else
    expect_request(l[0], 0xC0, REQ_RAM_ACCESS, 0xE1E0, 0, 16);
    expect_request(l[1], 0xC0, REQ_RAM_ACCESS, 0xE1F0, 0, 16);
    EXPECT_EQ(world.find_busses_calls(), 1);  // no rescan
}

TEST_F(LoadSequence, ColdBoardGetsBothImages) {
    usbsim::BoardConfig c;
    board = world.add_board(world.add_bus(), c);
    std::string err;
    ASSERT_TRUE(run(&err));
    EXPECT_EQ(err, "");  // quiet unless USRP_VERBOSE is defined
    EXPECT_TRUE(world.firmware_running(board));
    EXPECT_TRUE(world.fpga_configured(board));
    EXPECT_EQ(world.bitstream_digest(board), md5_of(bitstream));
    auto fw_digest = md5_of(firmware_text);
    auto fpga_digest = md5_of(bitstream);
    EXPECT_EQ(world.ram(board, 0xE1E0, 16), Bytes(fw_digest.begin(), fw_digest.end()));
    EXPECT_EQ(world.ram(board, 0xE1F0, 16), Bytes(fpga_digest.begin(), fpga_digest.end()));
    EXPECT_EQ(world.find_busses_calls(), 2);  // initialisation and the rescan after the firmware
    EXPECT_EQ(world.find_devices_calls(), 2);
}

TEST_F(LoadSequence, FreshFirmwareForcesTheBitstream) {
    board = world.add_board(world.add_bus(), config(false, true));
    ScopedEnv v("USRP_VERBOSE", "");
    std::string err;
    ASSERT_TRUE(run(&err));
    EXPECT_EQ(err, "usrp: firmware " + firmware_path + " loaded successfully.\n" +
                       "usrp: fpga bitstream " + fpga_path + " loaded successfully.\n");
    // The FPGA slot was not even read: the load was forced.
    int slot1_reads = 0;
    for (const auto& r : log())
        if (r.request == REQ_RAM_ACCESS && r.request_type == 0xC0 && r.value == 0xE1F0)
            ++slot1_reads;
    EXPECT_EQ(slot1_reads, 0);
    EXPECT_EQ(count(REQ_FPGA_CONFIG, 0x40), 2 + (1000 + 63) / 64);
    EXPECT_TRUE(world.fpga_configured(board));
}

TEST_F(LoadSequence, OnlyTheDifferingBitstreamIsLoaded) {
    board = world.add_board(world.add_bus(), config(true, false));
    std::string err;
    ASSERT_TRUE(run(&err));
    EXPECT_EQ(count(REQ_RAM_ACCESS, 0x40), 1);  // just the FPGA digest
    EXPECT_EQ(count(REQ_FPGA_CONFIG, 0x40), 2 + 16);
    EXPECT_EQ(world.find_busses_calls(), 1);
    EXPECT_EQ(world.bitstream_digest(board), md5_of(bitstream));
}

// After its new firmware starts, a board leaves the bus and comes back later as a new device. The
// loader rescans until it is back and sends the bitstream to it: the same requests as to a board
// that is back at the first rescan. With a second board on the bus, the first one's absence does
// not pass for its return (board 1 would then be USRP 0 and get the bitstream).
TEST_F(LoadSequence, TheBitstreamWaitsForTheBoardToRejoin) {
    auto wire = [&] {
        std::vector<std::tuple<int, int, int, int, Bytes>> w;
        for (const auto& r : log())
            w.emplace_back(r.request_type, r.request, r.value, r.index, r.data);
        return w;
    };
    board = world.add_board(world.add_bus(), config(false, false));
    std::string err;
    ASSERT_TRUE(run(&err)) << err;
    const auto prompt = wire();
    ASSERT_FALSE(prompt.empty());

    world.reset();
    usrp_usb_init_pending = true;
    usbsim::BoardConfig c = config(false, false);
    c.rejoin_after_rescans = 3;
    board = world.add_board(world.add_bus(), c);
    ScopedEnv v("USRP_VERBOSE", "1");
    ASSERT_TRUE(run(&err)) << err;
    EXPECT_EQ(err, "usrp: firmware " + firmware_path + " loaded successfully.\n" +
                       "usrp: fpga bitstream " + fpga_path + " loaded successfully.\n");
    EXPECT_TRUE(world.fpga_configured(board));
    EXPECT_EQ(world.find_busses_calls(), 1 + 3);
    EXPECT_EQ(world.find_devices_calls(), 1 + 3);
    EXPECT_EQ(wire(), prompt);

    world.reset();
    usrp_usb_init_pending = true;
    c = config(false, false);
    c.rejoin_after_ms = 300;
    const int bus = world.add_bus();
    board = world.add_board(bus, c);
    const usbsim::BoardId other = world.add_board(bus, config(true, true));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(run(&err)) << err;
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_TRUE(world.fpga_configured(board));
    EXPECT_EQ(world.bitstream_digest(board), md5_of(bitstream));
    EXPECT_EQ(wire(), prompt) << "requests to USRP 1";
    for (const auto& r : log())
        EXPECT_EQ(r.board, board) << "a request to USRP 1";
    EXPECT_TRUE(world.fpga_configured(other));
}

TEST_F(LoadSequence, MissingBoardsAndFiles) {
    std::string err;
    world.add_bus();
    EXPECT_FALSE(run(&err));
    EXPECT_EQ(err, "usrp: failed to find usrp[0]\n");

    board = world.add_board(world.add_bus(), config(true, true));
    usb_find_busses();
    usb_find_devices();
    // After the fixed text, every path tried: USRP_PATH, the installed images folder, ./usrp.
    auto tried = [&](const std::string& name) {
        return "usrp: searched for " + name + " in: \"" + dir.path() + "/rev4/" + name +
               "\", \"" ZALVO_IMAGE_ROOT "/rev4/" + name + "\", \"./usrp/rev4/" + name + "\"\n";
    };
    EXPECT_FALSE(run(&err, "std_4rx_0tx.rbf", "other.ihx"));
    EXPECT_EQ(err, "Can't find firmware: other.ihx\n" + tried("other.ihx"));
    EXPECT_FALSE(run(&err, "other.rbf", "std.ihx"));
    EXPECT_EQ(err, "Can't find fpga bitstream: other.rbf\n" + tried("other.rbf"));
    // No names given: the variables, then the built-in names.
    EXPECT_FALSE(run(&err, "", ""));
    EXPECT_EQ(err, "Can't find fpga bitstream: std_2rxhb_2tx.rbf\n" + tried("std_2rxhb_2tx.rbf"));
    ScopedEnv fpga("USRP_FPGA", "std_4rx_0tx.rbf");
    ScopedEnv fw("USRP_FIRMWARE", "none.ihx");
    EXPECT_FALSE(run(&err, "", ""));
    EXPECT_EQ(err, "Can't find firmware: none.ihx\n" + tried("none.ihx"));
    // Without USRP_PATH only the default roots are listed; a root too long to compose is left
    // out of the list (it had its own line when it was skipped).
    {
        ScopedEnv unset("USRP_PATH", nullptr);
        EXPECT_FALSE(run(&err, "", ""));
        EXPECT_EQ(err, "Can't find firmware: none.ihx\nusrp: searched for none.ihx in: "
                       "\"" ZALVO_IMAGE_ROOT "/rev4/none.ihx\", \"./usrp/rev4/none.ihx\"\n");
        ScopedEnv huge("USRP_PATH", std::string(2000, 'h').c_str());
        EXPECT_FALSE(run(&err, "", ""));
        EXPECT_NE(err.find("usrp: image path too long (2014 characters, at most 999)"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("Can't find firmware: none.ihx\nusrp: searched for none.ihx in: "
                           "\"" ZALVO_IMAGE_ROOT "/rev4/none.ihx\", \"./usrp/rev4/none.ihx\"\n"),
                  std::string::npos)
            << err;
    }
    ScopedEnv fw2("USRP_FIRMWARE", "std.ihx");
    EXPECT_TRUE(run(&err, "", ""));
}

TEST_F(LoadSequence, FailedLoadsAreReported) {
    board = world.add_board(world.add_bus(), config(false, false));
    dir.write("rev4/bad.ihx", ":0300300002337A1F\n");
    std::string err;
    EXPECT_FALSE(run(&err, "std_4rx_0tx.rbf", "bad.ihx"));
    std::string bad = dir.path() + "/rev4/bad.ihx";
    EXPECT_EQ(err, "  ** Checksum failed: got 0x1e versus 0x1f\nusrp: failed to load firmware " +
                       bad + ".\n");
    EXPECT_EQ(count(REQ_FPGA_CONFIG, 0x40), 0);

    // The command interface is held elsewhere: the firmware step cannot open it.
    usb_dev_handle* holder = usrp_open_interface(usrp_find_device(0), CMD_INTERFACE);
    ASSERT_NE(holder, nullptr);
    EXPECT_FALSE(run(&err));
    EXPECT_NE(err.find("open_nth_cmd_interface: open_cmd_interface failed\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("usrp: failed to load firmware " + firmware_path + ".\n"),
              std::string::npos);
    usb_close(holder);
}

TEST_F(LoadSequence, FailedBitstreamIsReported) {
    board = world.add_board(world.add_bus(), config(true, false));
    world.fail_control_matching(ControlMatch{REQ_FPGA_CONFIG, {}, CONFIG_END, {}},
                                Fault{FaultKind::stall});
    std::string err;
    EXPECT_FALSE(run(&err));
    EXPECT_EQ(err, "usrp: failed to load fpga bitstream " + fpga_path + ".\n");
}
