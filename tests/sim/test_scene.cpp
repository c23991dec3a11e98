// Scene files and the built-in default scene.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "sim_fixture.h"

using namespace usbsim;

namespace {

std::string write_file(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

std::string error_of(const std::string& text) {
    try {
        load_scene_file(write_file("bad.scene", text));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST_F(SimTest, SceneFileGivesCarriersNoiseAndBoards) {
    world.load_file(std::string(USBSIM_TEST_DIR) + "/two_buses.scene");
    Scene s = load_scene_file(std::string(USBSIM_TEST_DIR) + "/two_buses.scene");
    ASSERT_EQ(s.carriers.size(), 2u);
    EXPECT_EQ(s.carriers[0].freq_hz, 3.6e6);
    EXPECT_EQ(s.carriers[0].level_dbfs, -30);
    EXPECT_EQ(s.carriers[0].morse, "CQ DE TEST");
    EXPECT_EQ(s.carriers[0].wpm, 25);
    EXPECT_EQ(s.carriers[1].input, 1);
    EXPECT_TRUE(s.carriers[1].morse.empty());
    ASSERT_TRUE(s.noise_dbfs.has_value());
    EXPECT_EQ(*s.noise_dbfs, -90);
    EXPECT_EQ(s.seed, 7u);

    rescan();
    auto all = listed();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]->descriptor.idVendor, 0x046d);
    EXPECT_EQ(all[1]->descriptor.bcdDevice, 0x0004);
    EXPECT_EQ(all[2]->descriptor.bcdDevice, 0x0102);
    EXPECT_STREQ(all[2]->bus->dirname, "002");
    EXPECT_TRUE(world.firmware_running(0));
    EXPECT_FALSE(world.firmware_running(1));
    EXPECT_EQ(world.eeprom(0, 1)[1], 0x01);
    EXPECT_EQ(world.eeprom(0, 3)[1], 0x02);
    EXPECT_TRUE(world.eeprom(0, 0).empty());
}

// Each board's USB serial string: set on its board line, or "sim-<id>"; read as the library
// reads it (string descriptor 3, in the first language of descriptor 0).
TEST_F(SimTest, SceneFileGivesEachBoardItsSerial) {
    world.load_file(write_file("serials.scene",
                               "carrier 3.6M -30\ncarrier 7M -40 board=1\nbus\n"
                               "board warm rev=4 pacing=free_running serial=ABC-1\n"
                               "board cold rev=4 pacing=free_running\n"));
    EXPECT_EQ(world.serial(0), "ABC-1");
    EXPECT_EQ(world.serial(1), "sim-1");
    rescan();
    auto all = listed();
    ASSERT_EQ(all.size(), 2u);
    const char* expected[] = {"ABC-1", "sim-1"};
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(all[i]->descriptor.iSerialNumber, 3);
        usb_dev_handle* h = usb_open(all[i]);
        ASSERT_NE(h, nullptr);
        char text[64] = "";
        EXPECT_EQ(usb_get_string_simple(h, 3, text, sizeof text), int(strlen(expected[i])));
        EXPECT_STREQ(text, expected[i]);
        EXPECT_LT(usb_get_string_simple(h, 5, text, sizeof text), 0);  // no such string
        usb_close(h);
    }
}

TEST_F(SimTest, SceneFileErrorsNameTheLine) {
    EXPECT_NE(error_of("noise -90\nbogus 1\n").find("bad.scene:2: unknown line: bogus"),
              std::string::npos);
    EXPECT_NE(error_of("carrier 7M\n").find(":1: carrier needs a frequency and a level"),
              std::string::npos);
    EXPECT_NE(error_of("carrier 7Q -3\n").find("not a number: 7Q"), std::string::npos);
    EXPECT_NE(error_of("carrier 7M -3 input=4\n").find("input must be 0 to 3"), std::string::npos);
    EXPECT_NE(error_of("carrier 7M -3 morse=\"CQ\n").find("unterminated quote"), std::string::npos);
    // Windows editors: UTF-8 with a byte order mark is read; UTF-16 is refused by its name.
    EXPECT_EQ(error_of("\xEF\xBB\xBFnoise -90\r\nseed 3\r\n"), "");
    EXPECT_EQ(*load_scene_file(write_file("bom.scene", "\xEF\xBB\xBFnoise -90\r\n")).noise_dbfs,
              -90);
    EXPECT_NE(error_of(std::string("\xFF\xFEn\0o\0", 6)).find("bad.scene: the file is UTF-16 text"),
              std::string::npos);
    // Nothing in the file, or no file at all: refused, not taken as an empty scene.
    EXPECT_NE(error_of("# only a comment\n\n").find("an empty scene file"), std::string::npos);
    try {
        load_scene_file(testing::TempDir());
        ADD_FAILURE() << "a folder was taken as a scene file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("a folder"), std::string::npos) << e.what();
    }
    // A board's pacing is never implied.
    EXPECT_NE(error_of("board cold rev=4\n").find("names its pacing"), std::string::npos);
    EXPECT_NE(error_of("board pacing=fast\n").find("pacing is real_time or free_running"),
              std::string::npos);
    EXPECT_NE(error_of("board firmware_hash=12\n").find("32 hexadecimal digits"),
              std::string::npos);
    EXPECT_NE(error_of("board pacing=real_time serial=\"A B\"\n").find("without spaces"),
              std::string::npos);
    EXPECT_NE(error_of("carrier 7M -3 board=1\nboard pacing=real_time\n")
                  .find("a carrier for board=1, but the file has 1 board line(s)"),
              std::string::npos);
    EXPECT_NE(error_of("board pacing=real_time\nunplug at=5\n").find(":2: unplug needs for="),
              std::string::npos);
    EXPECT_NE(error_of("unplug for=1\n").find("needs at="), std::string::npos);
    EXPECT_NE(error_of("unplug at=1 for=9..2\n").find("A no more than B"), std::string::npos);
    EXPECT_NE(error_of("unplug at=1 for=2 back=hot\n").find("cold or warm"), std::string::npos);
    EXPECT_NE(error_of("board pacing=real_time\nunplug at=1 for=2 board=1\n")
                  .find(":2: unplug names board 1, but the file has 1 board line"),
              std::string::npos);
    EXPECT_NE(error_of("").size(), 1u);  // an empty file is a valid, empty scene
    EXPECT_THROW(load_scene_file("/nonexistent/x.scene"), std::runtime_error);
    // A failed load leaves the world as it was.
    world.add_bus();
    EXPECT_THROW(world.load_file("/nonexistent/x.scene"), std::runtime_error);
    rescan();
    EXPECT_NE(usb_get_busses(), nullptr);
}

TEST_F(SimTest, DefaultSceneSpreadsKeyedCarriersOverTheBandAroundThreePointSix) {
    Scene s = default_scene();
    ASSERT_GE(s.carriers.size(), 5u);
    int in_band = 0, keyed = 0;
    for (const Carrier& c : s.carriers) {
        if (c.input == 0 && std::abs(c.freq_hz - 3.6e6) < 250000)
            ++in_band;
        if (!c.morse.empty())
            ++keyed;
    }
    EXPECT_GE(in_band, 5);
    EXPECT_GE(keyed, 3);
    EXPECT_TRUE(s.noise_dbfs.has_value());
}
