#include "usbfs_test_util.h"

namespace usbfs_test {

std::vector<usbsim::BoardId> build_world(const std::vector<usbsim::BoardConfig>& boards) {
    usbfs::Bed& bed = usbfs::Bed::instance();
    auto& w = usbsim::World::instance();
    w.reset();
    const int bus = w.add_bus();
    w.add_other_device(bus, 0x046d, 0xc52b, 0x1203);
    std::vector<usbsim::BoardId> ids;
    for (const auto& c : boards)
        ids.push_back(w.add_board(bus, c));
    bed.sync();
    bed.clear_records();
    return ids;
}

usbsim::BoardConfig warm_board(size_t fifo_bytes) {
    usbsim::BoardConfig c;
    c.warm = true;
    c.pacing = usbsim::Pacing::real_time;
    c.fifo_bytes = fifo_bytes;
    c.scene.noise_dbfs = -60.0;
    for (int slot : {1, 3})
        c.eeprom[size_t(slot)] = usbsim::eeprom_image(0x0001);
    for (int slot : {0, 2})
        c.eeprom[size_t(slot)] = usbsim::eeprom_image(0x0000);
    return c;
}

usbsim::BoardConfig cold_board() {
    usbsim::BoardConfig c = warm_board();
    c.warm = false;
    return c;
}

std::vector<usbfs::UrbRecord> urbs_on(const std::vector<usbfs::UrbRecord>& log, int endpoint) {
    std::vector<usbfs::UrbRecord> v;
    for (const auto& r : log)
        if (r.endpoint == endpoint)
            v.push_back(r);
    return v;
}

}  // namespace usbfs_test
