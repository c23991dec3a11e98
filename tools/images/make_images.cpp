// Writes placeholder images for the simulated board: for each revision N in the range given,
// <root>/revN/std.ihx (an Intel HEX firmware image of our own bytes) and the bitstreams
// std_4rx_0tx.rbf and std_2rxhb_2tx.rbf (opaque bytes of our own). The bytes differ per revision
// and per file, so each file has its own digest. A real board needs its own images instead.
//
// usage: make_images <root> [first_revision last_revision]     (default 0 4)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A small deterministic generator, so that every build writes the same files.
struct pattern {
    uint32_t state;
    uint8_t next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint8_t>(state >> 24);
    }
};

std::vector<uint8_t> firmware_bytes(int revision) {
    std::string tag = "zalvo placeholder firmware, revision " + std::to_string(revision) + "\n";
    std::vector<uint8_t> bytes(tag.begin(), tag.end());
    pattern p{0x5A17u + unsigned(revision)};
    while (bytes.size() < 1500)
        bytes.push_back(p.next());
    return bytes;
}

std::vector<uint8_t> bitstream_bytes(int revision, uint32_t seed, size_t size) {
    std::string tag = "zalvo placeholder bitstream, revision " + std::to_string(revision) + "\n";
    std::vector<uint8_t> bytes(tag.begin(), tag.end());
    pattern p{seed * 131u + unsigned(revision)};
    while (bytes.size() < size)
        bytes.push_back(p.next());
    return bytes;
}

bool write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        std::perror(path.c_str());
    return ok;
}

// Data records of 16 bytes from address 0, then the end-of-file record.
std::string intel_hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char field[16];
    for (size_t pos = 0; pos < bytes.size(); pos += 16) {
        size_t n = bytes.size() - pos < 16 ? bytes.size() - pos : 16;
        unsigned sum = unsigned(n) + unsigned(pos >> 8 & 0xFF) + unsigned(pos & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X00", unsigned(n), unsigned(pos));
        out += field;
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(field, sizeof field, "%02X", bytes[pos + i]);
            out += field;
            sum += bytes[pos + i];
        }
        std::snprintf(field, sizeof field, "%02X\n", (256 - sum % 256) % 256);
        out += field;
    }
    out += ":00000001FF\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s <root> [first_revision last_revision]\n", argv[0]);
        return 2;
    }
    int first = argc == 4 ? std::atoi(argv[2]) : 0;
    int last = argc == 4 ? std::atoi(argv[3]) : 4;
    for (int rev = first; rev <= last; ++rev) {
        std::string dir = std::string(argv[1]) + "/rev" + std::to_string(rev);
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", dir.c_str(), ec.message().c_str());
            return 1;
        }
        std::vector<uint8_t> rx4 = bitstream_bytes(rev, 4, 10000);
        std::vector<uint8_t> rx2 = bitstream_bytes(rev, 2, 9000);
        if (!write_file(dir + "/std.ihx", intel_hex(firmware_bytes(rev))) ||
            !write_file(dir + "/std_4rx_0tx.rbf", std::string(rx4.begin(), rx4.end())) ||
            !write_file(dir + "/std_2rxhb_2tx.rbf", std::string(rx2.begin(), rx2.end())))
            return 1;
    }
    return 0;
}
