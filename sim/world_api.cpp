// The C++ API of the simulated world: building scenes, injecting faults, reading what happened.
#include <algorithm>

#include "model.h"

namespace usbsim {

using namespace detail;

World& World::instance() {
    static World* w = new World;
    return *w;
}

World::World() = default;

void World::reset() {
    Impl& w = impl();
    {
        std::lock_guard<std::mutex> lk(w.m);
        w.clear();
        w.touched = true;
        w.logging = true;
    }
    surface_reset();
}

namespace detail {

int add_bus_locked(Impl& w) {
    w.touched = true;
    w.buses.emplace_back();
    w.bus_devnum.push_back(2);  // 1 is the root hub
    return int(w.buses.size()) - 1;
}

}  // namespace detail

int World::add_bus() {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    return add_bus_locked(w);
}

static void check_bus(const Impl& w, int bus) {
    if (bus < 0 || size_t(bus) >= w.buses.size())
        throw std::out_of_range("usbsim: no such bus");
}

static void apply_config(Board& b) {
    const BoardConfig& c = b.config;
    for (int s = 0; s < 4; ++s) {
        b.eeprom[size_t(s)].reset();
        if (c.eeprom[size_t(s)]) {
            std::array<uint8_t, EEPROM_BYTES> e;
            e.fill(0xFF);
            std::copy(c.eeprom[size_t(s)]->begin(), c.eeprom[size_t(s)]->end(), e.begin());
            b.eeprom[size_t(s)] = e;
        }
    }
}

void detail::power_on(Impl& w, Board& b, bool warm) {
    b.ram.assign(RAM_BYTES, 0);
    b.cpu_held = b.written_while_held = b.running_before_hold = false;
    b.firmware_running = warm;
    b.fpga_configured = warm;
    b.fpga_reset = b.config_open = false;
    b.config_bytes = 0;
    b.digest = warm ? b.config.fpga_hash : std::array<uint8_t, 16>{};
    b.regs.fill(0);
    for (auto& c : b.codec)
        c.fill(0);
    b.tx_enable = b.rx_enable = b.tx_reset = b.rx_reset = false;
    b.indicator[0] = b.indicator[1] = -1;
    for (auto& p : b.eeprom_pointer)
        p = 0;
    b.overrun = false;
    if (warm) {
        std::copy(b.config.firmware_hash.begin(), b.config.firmware_hash.end(),
                  b.ram.begin() + FIRMWARE_HASH_ADDRESS);
        std::copy(b.config.fpga_hash.begin(), b.config.fpga_hash.end(),
                  b.ram.begin() + FPGA_HASH_ADDRESS);
    }
    apply_config(b);
    b.scene = std::make_shared<const Scene>(b.config.scene);
    w.changed(b);
}

BoardId detail::add_board_locked(Impl& w, int bus, const BoardConfig& config) {
    w.touched = true;
    check_bus(w, bus);
    auto b = std::make_unique<Board>();
    b->id = BoardId(w.boards.size());
    b->bus = bus;
    b->config = config;
    if (b->config.serial.empty())
        b->config.serial = "sim-" + std::to_string(b->id);
    b->slot = int(w.slots.size());
    Slot s;
    s.board = b->id;
    s.vendor = 0xFFFE;
    s.product = 0x0002;
    s.bcd = config.bcd_device;
    w.slots.push_back(s);
    w.buses[size_t(bus)].slots.push_back(b->slot);
    power_on(w, *b, config.warm);
    for (const Unplug& u : config.unplugs)
        b->unplug_rules.push_back({u, 0, unplug_draws(u.seed), false});
    w.join_bus(*b);
    w.boards.push_back(std::move(b));
    return w.boards.back()->id;
}

BoardId World::add_board(int bus, const BoardConfig& config) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    return add_board_locked(w, bus, config);
}

void detail::add_other_locked(Impl& w, int bus, uint16_t vendor, uint16_t product,
                              uint16_t bcd_device) {
    w.touched = true;
    check_bus(w, bus);
    Slot s;
    s.vendor = vendor;
    s.product = product;
    s.bcd = bcd_device;
    s.uid = w.next_uid++;
    w.devnums[s.uid] = w.bus_devnum[size_t(bus)]++;
    w.uid_slot[s.uid] = int(w.slots.size());
    w.slots.push_back(s);
    w.buses[size_t(bus)].slots.push_back(int(w.slots.size()) - 1);
}

void World::add_other_device(int bus, uint16_t vendor, uint16_t product, uint16_t bcd_device) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    add_other_locked(w, bus, vendor, product, bcd_device);
}

void World::detach(BoardId id) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Board& b = w.board(id);
    b.plugged = false;
    b.detach_at.reset();
    w.leave_bus(b);
}

void World::attach(BoardId id, bool power_cycle) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Board& b = w.board(id);
    b.replug_at.reset();
    plug_in(w, b, power_cycle);
}

void detail::plug_in(Impl& w, Board& b, bool power_cycle) {
    if (b.present)
        w.leave_bus(b);
    b.plugged = true;
    if (power_cycle)
        power_on(w, b, b.config.warm);
    b.rejoin_rescans_left = 1;
}

void World::set_scene(BoardId id, const Scene& scene) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Board& b = w.board(id);
    b.config.scene = scene;
    b.scene = std::make_shared<const Scene>(scene);
    w.changed(b);
}

void World::set_pacing(BoardId id, usbsim::Pacing pacing, size_t fifo_bytes) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Board& b = w.board(id);
    b.config.pacing = pacing;
    b.config.fifo_bytes = fifo_bytes;
    b.pacing.running = false;  // restarts from now
    w.changed(b);
}

void World::set_eeprom(BoardId id, int slot, std::optional<std::array<uint8_t, 32>> bytes) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    if (slot < 0 || slot > 3)
        throw std::out_of_range("usbsim: EEPROM slot");
    Board& b = w.board(id);
    b.config.eeprom[size_t(slot)] = bytes;
    apply_config(b);
}

void World::set_capabilities(BoardId id, uint32_t caps) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    Board& b = w.board(id);
    b.config.capabilities = caps;
    w.changed(b);
}

// ---- faults ----------------------------------------------------------------------------------

void World::fail_control_at(int k, Fault fault) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    ControlFault f;
    f.at = w.control_count + uint64_t(std::max(0, k));
    f.fault = fault;
    w.control_faults.push_back(f);
}

void World::fail_control_matching(const ControlMatch& match, Fault fault) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    ControlFault f;
    f.match = match;
    f.fault = fault;
    w.control_faults.push_back(f);
}

void World::fail_bulk_at(int n, Fault fault) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.bulk_faults[w.bulk_count + uint64_t(std::max(0, n))] = fault;
}

void World::detach_after_ms(BoardId id, int ms) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.board(id).detach_at = Clock::now() + std::chrono::milliseconds(ms);
}

void World::pause_stream(BoardId id, int ms) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.board(id).paused_until = Clock::now() + std::chrono::milliseconds(std::max(0, ms));
}

void World::fail_call(UsbCall call, Fault fault) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.call_faults[call] = fault;
}

void World::clear_faults() {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.control_faults.clear();
    w.bulk_faults.clear();
    w.call_faults.clear();
    for (auto& b : w.boards)
        b->detach_at.reset();
}

void World::rescan() {
    surface_rescan();
}

}  // namespace usbsim
