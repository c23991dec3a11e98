#include "sim_board.h"

#include "md5.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace support {

const char* images_dir() {
    return ZALVO_IMAGES_DIR;
}

std::string image_path(int revision, const char* name) {
    return std::string(ZALVO_IMAGES_DIR) + "/rev" + std::to_string(revision) + "/" + name;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

std::array<uint8_t, 16> md5_of_file(const std::string& path) {
    std::array<uint8_t, 16> d{};
    if (!md5_file(path.c_str(), d.data()))
        throw std::runtime_error("cannot hash " + path);
    return d;
}

const ImageDigests& image_digests() {
    static const ImageDigests d = [] {
        ImageDigests x;
        x.firmware = md5_of_file(image_path(4, "std.ihx"));
        x.fpga = md5_of_file(image_path(4, "std_4rx_0tx.rbf"));
        return x;
    }();
    return d;
}

void make_warm(usbsim::BoardConfig& c) {
    c.warm = true;
    c.firmware_hash = image_digests().firmware;
    c.fpga_hash = image_digests().fpga;
}

void add_basic_rx(usbsim::BoardConfig& c) {
    c.eeprom[1] = usbsim::eeprom_image(0x0001);
    c.eeprom[3] = usbsim::eeprom_image(0x0001);
}

usbsim::Carrier carrier(double freq_hz, double level_dbfs) {
    usbsim::Carrier c;
    c.freq_hz = freq_hz;
    c.level_dbfs = level_dbfs;
    c.input = 0;
    return c;
}

usbsim::BoardId attach_board(const usbsim::BoardConfig& c) {
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = w.add_board(w.add_bus(), c);
    w.rescan();
    return b;
}

usbsim::BoardId attach_only_board(const usbsim::BoardConfig& c) {
    usbsim::World::instance().reset();
    return attach_board(c);
}

}  // namespace support
