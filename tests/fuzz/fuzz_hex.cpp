// Arbitrary bytes as an Intel HEX firmware file, loaded into the simulated board. Beyond memory
// safety, every RAM write must stay within one control request's 64 bytes and the 16-bit address
// space, and an accepted file must end with the digest and the CPU release.
//
// An input that starts with '#' has that byte dropped and the checksum of every well-formed line
// repaired first, so that mutated counts, addresses and data reach the RAM writes instead of
// stopping at the checksum test.
#include "fuzz_common.h"

#include <algorithm>
#include <string>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int byte_at(const std::string& s, size_t pos, size_t end) {
    if (pos + 2 > end)
        return -1;
    int hi = hex_value(s[pos]), lo = hex_value(s[pos + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

void repair_checksums(std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text[start] == ':') {
            int count = byte_at(text, start + 1, end);
            size_t cc = start + 9 + 2 * size_t(count < 0 ? 0 : count);
            unsigned sum = 0;
            bool ok = count >= 0 && cc + 2 <= end;
            for (size_t p = start + 1; ok && p < cc; p += 2) {
                int b = byte_at(text, p, end);
                ok = b >= 0;
                sum += unsigned(b);
            }
            if (ok) {
                static const char digits[] = "0123456789ABCDEF";
                unsigned want = (256 - sum % 256) % 256;
                text[cc] = digits[want >> 4];
                text[cc + 1] = digits[want & 15];
            }
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!text.empty() && text[0] == '#') {
        text.erase(0, 1);
        repair_checksums(text);
    }
    const std::string& path =
        fuzz::write_input(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    usbsim::BoardId board;
    usb_dev_handle* h = fuzz::board_for_run(&board);
    static const unsigned char digest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    bool ok = load_firmware_image(h, path.c_str(), digest);

    auto log = usbsim::World::instance().control_log();
    fuzz::check(!log.empty(), "the CPU is held first");
    fuzz::check(log.front().value == CPU_CONTROL_ADDRESS && log.front().data.size() == 1 &&
                    log.front().data[0] == 1,
                "the first request holds the CPU");
    for (const auto& r : log) {
        fuzz::check(r.request == REQ_RAM_ACCESS && r.request_type == 0x40, "only RAM writes");
        fuzz::check(r.length >= 1 && r.length <= 64, "RAM writes carry 1 to 64 bytes");
        fuzz::check(r.value + r.length <= 0x10000, "RAM writes stay below 0x10000");
    }
    // A file may itself write the CPU control register (the format allows any address), so a
    // failed load can end on a write that looks like the release: only the success direction is
    // a property of the loader.
    if (ok) {
        fuzz::check(log.size() >= 3, "digest and release follow the records");
        const auto& slot = log[log.size() - 2];
        const auto& last = log.back();
        fuzz::check(slot.value == FIRMWARE_HASH_ADDRESS && slot.length == 16 &&
                        std::equal(slot.data.begin(), slot.data.end(), digest),
                    "the digest is stored before the release");
        fuzz::check(last.value == CPU_CONTROL_ADDRESS && last.data.size() == 1 && last.data[0] == 0,
                    "a successful load ends with the CPU release");
    }
    return 0;
}
