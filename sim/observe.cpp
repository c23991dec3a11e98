// Reading the simulated world: logs, register files, RAM, counters.
#include <algorithm>

#include "model.h"

namespace usbsim {

using namespace detail;

namespace {
template <class F> auto locked(F f) {
    Impl& w = impl();
    std::lock_guard<std::mutex> lk(w.m);
    w.poll_timers(Clock::now());
    return f(w);
}
}  // namespace

std::vector<ControlRecord> World::control_log() const {
    return locked([](Impl& w) {
        return std::vector<ControlRecord>(w.control_log.begin(), w.control_log.end());
    });
}

std::vector<BulkRecord> World::bulk_log() const {
    return locked(
        [](Impl& w) { return std::vector<BulkRecord>(w.bulk_log.begin(), w.bulk_log.end()); });
}

std::vector<CallRecord> World::call_log() const {
    return locked(
        [](Impl& w) { return std::vector<CallRecord>(w.call_log.begin(), w.call_log.end()); });
}

void World::clear_log() {
    locked([](Impl& w) {
        w.control_log.clear();
        w.bulk_log.clear();
        w.call_log.clear();
        return 0;
    });
}

void World::keep_logs(bool on) {
    locked([&](Impl& w) {
        w.logging = on;
        if (!on) {
            w.control_log.clear();
            w.bulk_log.clear();
            w.call_log.clear();
        }
        return 0;
    });
}

uint32_t World::fpga_register(BoardId b, int reg) const {
    if (reg < 0 || reg > 127)
        throw std::out_of_range("usbsim: FPGA register");
    return locked([&](Impl& w) { return w.board(b).regs[size_t(reg)]; });
}

uint8_t World::codec_register(BoardId b, int codec, int reg) const {
    if (codec < 0 || codec > 1 || reg < 0 || reg > 63)
        throw std::out_of_range("usbsim: codec register");
    return locked([&](Impl& w) { return w.board(b).codec[size_t(codec)][size_t(reg)]; });
}

std::vector<uint8_t> World::ram(BoardId b, int address, int length) const {
    if (address < 0 || length < 0 || address + length > RAM_BYTES)
        throw std::out_of_range("usbsim: RAM range");
    return locked([&](Impl& w) {
        const auto& r = w.board(b).ram;
        return std::vector<uint8_t>(r.begin() + address, r.begin() + address + length);
    });
}

bool World::firmware_running(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).firmware_running; });
}
bool World::fpga_configured(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).fpga_configured; });
}
std::array<uint8_t, 16> World::bitstream_digest(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).digest; });
}
bool World::rx_enabled(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).rx_enable; });
}
bool World::overrun_flag(BoardId b) const {
    return locked([&](Impl& w) {
        Board& bd = w.board(b);
        w.update_pacing(bd, Clock::now());
        return bd.overrun;
    });
}
void World::set_overrun_flag(BoardId b, bool on) {
    locked([&](Impl& w) { return w.board(b).overrun = on; });
}
uint64_t World::stream_bytes_read(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).stream_bytes; });
}
int World::board_count() const {
    return locked([&](Impl& w) { return static_cast<int>(w.boards.size()); });
}
uint64_t World::samples_dropped(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).pacing.dropped; });
}
std::string World::serial(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).config.serial; });
}
std::vector<uint8_t> World::bulk_out_data(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).bulk_out; });
}
bool World::on_bus(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).present; });
}
int World::unplugs_done(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).unplugs_done; });
}
bool World::cpu_held(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).cpu_held; });
}
bool World::fpga_in_reset(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).fpga_reset; });
}
bool World::tx_enabled(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).tx_enable; });
}
bool World::rx_in_reset(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).rx_reset; });
}
bool World::tx_in_reset(BoardId b) const {
    return locked([&](Impl& w) { return w.board(b).tx_reset; });
}
int World::indicator(BoardId b, int which) const {
    if (which < 0 || which > 1)
        throw std::out_of_range("usbsim: indicator");
    return locked([&](Impl& w) { return w.board(b).indicator[which]; });
}
std::vector<uint8_t> World::eeprom(BoardId b, int slot) const {
    if (slot < 0 || slot > 3)
        throw std::out_of_range("usbsim: EEPROM slot");
    return locked([&](Impl& w) {
        const auto& e = w.board(b).eeprom[size_t(slot)];
        return e ? std::vector<uint8_t>(e->begin(), e->end()) : std::vector<uint8_t>();
    });
}

int World::open_handles() const {
    return locked([](Impl& w) { return int(w.handles.size()); });
}
int World::claimed_interfaces() const {
    return locked([](Impl& w) {
        int n = 0;
        for (auto& [id, h] : w.handles)
            n += int(h.claimed.size());
        return n;
    });
}
int World::usb_init_calls() const {
    return locked([](Impl& w) { return w.init_calls; });
}
int World::find_busses_calls() const {
    return locked([](Impl& w) { return w.find_busses_calls; });
}
int World::find_devices_calls() const {
    return locked([](Impl& w) { return w.find_devices_calls; });
}

// ---- helpers ---------------------------------------------------------------------------------

static bool matches(const ControlMatch& m, int type, int request, int value, int index) {
    return (!m.request || *m.request == request) && (!m.value || *m.value == value) &&
           (!m.index || *m.index == index) && (!m.request_type || *m.request_type == type);
}

std::vector<ControlRecord> with_request(const std::vector<ControlRecord>& log, int request) {
    ControlMatch m;
    m.request = request;
    return matching(log, m);
}

std::vector<ControlRecord> matching(const std::vector<ControlRecord>& log,
                                    const ControlMatch& match) {
    std::vector<ControlRecord> out;
    for (const auto& r : log)
        if (matches(match, r.request_type, r.request, r.value, r.index))
            out.push_back(r);
    return out;
}

std::vector<BulkRecord> on_endpoint(const std::vector<BulkRecord>& log, int endpoint) {
    std::vector<BulkRecord> out;
    for (const auto& r : log)
        if (r.endpoint == endpoint)
            out.push_back(r);
    return out;
}

std::array<uint8_t, 32> eeprom_image(uint16_t id, uint16_t word1, int16_t word2, int16_t word3) {
    std::array<uint8_t, 32> e{};
    e[0] = 0xDB;
    auto put = [&](int at, uint16_t v) {
        e[size_t(at)] = uint8_t(v);
        e[size_t(at) + 1] = uint8_t(v >> 8);
    };
    put(1, id);
    put(3, word1);
    put(5, uint16_t(word2));
    put(7, uint16_t(word3));
    unsigned sum = 0;
    for (int i = 0; i < 31; ++i)
        sum += e[size_t(i)];
    e[31] = uint8_t(-sum);
    return e;
}

namespace detail {

std::optional<Fault> Impl::take_control_fault(int type, int request, int value, int index) {
    const uint64_t n = control_count - 1;  // this request's number
    for (auto it = control_faults.begin(); it != control_faults.end(); ++it) {
        bool hit = it->at ? *it->at == n : matches(*it->match, type, request, value, index);
        if (hit) {
            Fault f = it->fault;
            control_faults.erase(it);
            return f;
        }
    }
    // Faults meant for requests already past are dropped.
    control_faults.erase(std::remove_if(control_faults.begin(), control_faults.end(),
                                        [&](const ControlFault& f) { return f.at && *f.at < n; }),
                         control_faults.end());
    return std::nullopt;
}

std::optional<Fault> Impl::take_bulk_fault() {
    const uint64_t n = bulk_count - 1;
    auto it = bulk_faults.find(n);
    if (it == bulk_faults.end())
        return std::nullopt;
    Fault f = it->second;
    bulk_faults.erase(it);
    return f;
}

}  // namespace detail
}  // namespace usbsim
