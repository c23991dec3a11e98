// Arbitrary bytes as an Intel HEX firmware file, loaded into the simulated board. Beyond memory
// safety, every RAM write must stay within one control request's 64 bytes and the 16-bit address
// space, a rejected file must leave the CPU held, and an accepted one must end with the digest
// and the CPU release.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzz::write_input(data, size);
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
    const auto& last = log.back();
    bool released = last.value == CPU_CONTROL_ADDRESS && last.data.size() == 1 && last.data[0] == 0;
    fuzz::check(ok == released, "success exactly when the CPU was released");
    if (ok) {
        fuzz::check(log.size() >= 3, "digest and release follow the records");
        const auto& slot = log[log.size() - 2];
        fuzz::check(slot.value == FIRMWARE_HASH_ADDRESS && slot.length == 16, "digest stored");
    }
    return 0;
}
