// Shared set-up for the primitives' tests: a fresh simulated world per test, helpers to attach and
// open boards, to read what crossed the bus, to capture standard error and to make files.
#pragma once

#include "usbsim.h"
#include "usrp_prims.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace prims_test {

using usbsim::ControlRecord;
using Bytes = std::vector<uint8_t>;

// Environment variables read by the loaders; tests set them explicitly and restore them.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

class SimTest : public ::testing::Test {
  protected:
    usbsim::World& world = usbsim::World::instance();

    void SetUp() override {
        world.reset();
        usrp_usb_init_pending = true;
    }

    void TearDown() override {
        world.clear_faults();
        EXPECT_EQ(world.open_handles(), 0) << "a handle was left open";
        EXPECT_EQ(world.claimed_interfaces(), 0) << "an interface was left claimed";
    }

    usbsim::BoardConfig warm_board(uint16_t bcd = 0x0004) {
        usbsim::BoardConfig c;
        c.bcd_device = bcd;
        c.warm = true;
        return c;
    }

    // One bus with one warm board; its command interface opened; the log cleared.
    usb_dev_handle* open_warm(uint16_t bcd = 0x0004) {
        int bus = world.add_bus();
        board = world.add_board(bus, warm_board(bcd));
        usb_dev_handle* h = open_nth_cmd_interface(0);
        EXPECT_NE(h, nullptr);
        world.clear_log();
        return h;
    }

    // After a firmware start the board re-enumerates: close the old handle, rescan, open again.
    usb_dev_handle* reopen(usb_dev_handle* h) {
        if (h)
            usb_close(h);
        world.rescan();
        usb_dev_handle* fresh = open_nth_cmd_interface(0);
        EXPECT_NE(fresh, nullptr);
        world.clear_log();
        return fresh;
    }

    std::vector<ControlRecord> log() const { return world.control_log(); }

    usbsim::BoardId board = -1;
};

// A test on one warm board (revision `bcd`) whose command interface stays open in `h` for the
// test and is closed after it.
class WarmHandleTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        h = open_warm(bcd);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override {
        if (h)
            usb_close(h);
        SimTest::TearDown();
    }
    uint16_t bcd = 0x0004;
    usb_dev_handle* h = nullptr;
};

inline void capture_stderr() {
    testing::internal::CaptureStderr();
}
inline std::string captured_stderr() {
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

inline Bytes bytes_of(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<uint8_t>(x));
    return b;
}

// Expects one control record with these fields (and, when given, these data bytes).
inline void expect_request(const ControlRecord& r, int type, int request, int value, int index,
                           int length, const Bytes* data = nullptr) {
    EXPECT_EQ(r.request_type, type);
    EXPECT_EQ(r.request, request);
    EXPECT_EQ(r.value, value);
    EXPECT_EQ(r.index, index);
    EXPECT_EQ(r.length, length);
    if (data) {
        EXPECT_EQ(r.data, *data);
    }
}

// A private folder under /tmp, removed with everything in it at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    // Writes a file (making its folders); returns its full path.
    std::string write(const std::string& relative, const std::string& contents) const;
    std::string write(const std::string& relative, const Bytes& contents) const {
        return write(relative, std::string(contents.begin(), contents.end()));
    }

  private:
    std::string path_;
};

// MD5 of a byte string, as the board's hash slots hold it.
std::array<uint8_t, 16> md5_of(const std::string& contents);

// An Intel HEX image of our own: data records of up to 16 bytes from address base, then the
// end-of-file record.
std::string intel_hex(const Bytes& bytes, int base = 0);
// One HEX record with a correct checksum (type and data given).
std::string hex_record(int type, int address, const Bytes& data);

}  // namespace prims_test
