// Boards on the simulated bus for programs that drive the module: the build's placeholder images
// and their digests, carriers, warm boards, and a board made visible to a module that has already
// scanned the buses (it scans them only once per process). Builds on Linux and in the MinGW cross
// build.
#pragma once

#include "usbsim.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace support {

// The build's folder of placeholder images (rev<N>/ below it), and an image in it.
const char* images_dir();
std::string image_path(int revision, const char* name);

std::vector<uint8_t> read_file(const std::string& path);  // throws when it cannot
std::array<uint8_t, 16> md5_of_file(const std::string& path);

// The digests of the revision-4 images the module loads (firmware and 4-receiver bitstream).
struct ImageDigests {
    std::array<uint8_t, 16> firmware{};
    std::array<uint8_t, 16> fpga{};
};
const ImageDigests& image_digests();

// A board whose firmware runs and whose FPGA holds the image the module would load, so that both
// loads are skipped.
void make_warm(usbsim::BoardConfig& c);
// Basic RX daughterboards in both receive slots.
void add_basic_rx(usbsim::BoardConfig& c);
// A steady carrier on converter input 0 (which every receiver reads as I and Q with mux 0).
usbsim::Carrier carrier(double freq_hz, double level_dbfs);

// Adds the board on a bus of its own and rescans.
usbsim::BoardId attach_board(const usbsim::BoardConfig& c);
// The same in an emptied world.
usbsim::BoardId attach_only_board(const usbsim::BoardConfig& c);

}  // namespace support
