// Arbitrary bytes as an FPGA bitstream. The first byte, when below 0x80, also places a fault on
// one of the first control requests (its kind from the low two bits), so that the failure paths
// are explored too; the bitstream is the rest of the input. Properties: the configuration data
// on the wire is the file, in order, in pieces of 1 to 64 bytes; a failed configuration ends with
// the codec list and no digest, a failed release of the FPGA with the slot cleared; a success
// stores the digest and turns the indicator off last.
#include "fuzz_common.h"

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    usbsim::World& w = usbsim::World::instance();
    usbsim::BoardId board;
    usb_dev_handle* h = fuzz::board_for_run(&board);

    const uint8_t* bits = data;
    size_t n = size;
    if (size > 0) {
        ++bits;
        --n;
        if (data[0] < 0x80) {
            static const usbsim::FaultKind kinds[] = {
                usbsim::FaultKind::stall, usbsim::FaultKind::io_error,
                usbsim::FaultKind::short_data, usbsim::FaultKind::timeout};
            w.fail_control_at(data[0] >> 2, usbsim::Fault{kinds[data[0] & 3], 1, 0});
        }
    }
    const std::string& path = fuzz::write_input(bits, n);
    static const unsigned char digest[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    bool ok = load_fpga_image(h, path.c_str(), digest);

    auto log = w.control_log();
    std::string sent;
    const usbsim::ControlRecord* last_slot_write = nullptr;
    for (const auto& r : log) {
        if (r.request == REQ_FPGA_CONFIG && r.index == CONFIG_DATA) {
            fuzz::check(r.length >= 1 && r.length <= 64, "pieces of 1 to 64 bytes");
            sent.append(r.data.begin(), r.data.end());
        }
        if (r.request == REQ_RAM_ACCESS)
            last_slot_write = &r;
    }
    if (ok) {
        fuzz::check(sent.size() == n && std::memcmp(sent.data(), bits, n) == 0,
                    "the whole file went out in order");
        fuzz::check(last_slot_write && last_slot_write->value == FPGA_HASH_ADDRESS,
                    "the digest was stored");
        fuzz::check(log.back().request == REQ_INDICATOR && log.back().value == 0,
                    "the indicator goes off last");
    } else {
        fuzz::check(sent.size() <= n && std::memcmp(sent.data(), bits, sent.size()) == 0,
                    "what was sent is a prefix of the file");
        if (last_slot_write) {
            // Configured, but the FPGA could not be released: the slot is cleared again and
            // nothing follows.
            fuzz::check(last_slot_write == &log.back(), "the slot is cleared last");
            fuzz::check(std::all_of(last_slot_write->data.begin(), last_slot_write->data.end(),
                                    [](uint8_t b) { return b == 0; }),
                        "no digest stays in the slot after a failure");
        } else {
            fuzz::check(log.size() >= 6, "the codec list follows a failure");
            for (size_t i = log.size() - 6; i < log.size(); ++i)
                fuzz::check(log[i].request == REQ_SPI_WRITE, "the codec list ends a failure");
        }
    }
    return 0;
}
