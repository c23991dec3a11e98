#include "prims_fixture.h"

#include "md5.h"

#include <filesystem>
#include <fstream>

namespace prims_test {

TempDir::TempDir() {
    char name[] = "/tmp/prims_test_XXXXXX";
    const char* made = mkdtemp(name);
    EXPECT_NE(made, nullptr);
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& relative, const std::string& contents) const {
    std::filesystem::path full = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out.write(contents.data(), std::streamsize(contents.size()));
    EXPECT_TRUE(out.good()) << full;
    return full.string();
}

std::array<uint8_t, 16> md5_of(const std::string& contents) {
    md5_context c;
    c.update(contents.data(), contents.size());
    std::array<uint8_t, 16> d{};
    c.final(d.data());
    return d;
}

std::string hex_record(int type, int address, const Bytes& data) {
    char field[16];
    unsigned sum = unsigned(data.size()) + unsigned((address >> 8) & 0xFF) +
                   unsigned(address & 0xFF) + unsigned(type);
    std::snprintf(field, sizeof field, ":%02X%04X%02X", unsigned(data.size()), unsigned(address),
                  unsigned(type));
    std::string line = field;
    for (uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X\n", (256 - sum % 256) % 256);
    return line + field;
}

std::string intel_hex(const Bytes& bytes, int base) {
    std::string out;
    for (size_t pos = 0; pos < bytes.size(); pos += 16) {
        size_t n = std::min<size_t>(16, bytes.size() - pos);
        out += hex_record(0, base + int(pos), Bytes(bytes.begin() + pos, bytes.begin() + pos + n));
    }
    return out + ":00000001FF\n";
}

}  // namespace prims_test
