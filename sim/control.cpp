// Control requests: the board's firmware, which decodes the vendor requests, and the path of a
// request through faults, the log and the trace.
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "model.h"

namespace usbsim {
namespace detail {

namespace {

const char* request_name(int request) {
    switch (request) {
        case 0x01: return "INDICATOR";
        case 0x02: return "FPGA_CONFIG";
        case 0x04: return "FPGA_RESET";
        case 0x05: return "TX_ENABLE";
        case 0x06: return "RX_ENABLE";
        case 0x08: return "I2C_WRITE";
        case 0x09: return "SPI_WRITE";
        case 0x0A: return "TX_RESET";
        case 0x0B: return "RX_RESET";
        case 0x80: return "STATUS";
        case 0x81: return "I2C_READ";
        case 0x82: return "SPI_READ";
        case 0xA0: return "RAM_ACCESS";
        default: return "?";
    }
}

void trace_control(const ControlRecord& r) {
    std::string line = "usbsim: #" + std::to_string(r.seq) + " board " + std::to_string(r.board);
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  " ctrl type 0x%02x req 0x%02x %-10s value 0x%04x index 0x%04x len %d",
                  r.request_type, r.request, request_name(r.request), r.value, r.index, r.length);
    line += buf;
    if (!r.data.empty()) {
        line += " data";
        for (size_t i = 0; i < r.data.size() && i < 16; ++i) {
            std::snprintf(buf, sizeof buf, " %02x", r.data[i]);
            line += buf;
        }
        if (r.data.size() > 16)
            line += " ...";
    }
    line += " -> " + std::to_string(r.result) + "\n";
    std::fputs(line.c_str(), stderr);
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

Result Impl::firmware_request(Board& b, int type, int request, int value, int index, uint8_t* data,
                              int length) {
    const Result stall{0, Err::stall};
    const bool in = (type & 0x80) != 0;
    if ((type & 0x7F) != 0x40 || length > MAX_CONTROL_DATA)
        return stall;  // vendor, device only

    if (request == 0xA0) {  // controller RAM: answered by the controller itself, firmware or not
        const int address = value & 0xFFFF;
        if (address + length > RAM_BYTES)
            return stall;
        if (in) {
            std::copy(b.ram.begin() + address, b.ram.begin() + address + length, data);
            return {length, Err::none};
        }
        std::copy(data, data + length, b.ram.begin() + address);
        const bool cpucs = address <= CPU_CONTROL_ADDRESS && CPU_CONTROL_ADDRESS < address + length;
        if (b.cpu_held && (!cpucs || length > 1))
            b.written_while_held = true;
        if (cpucs) {
            const bool hold = data[CPU_CONTROL_ADDRESS - address] & 1;
            if (hold && !b.cpu_held) {
                b.cpu_held = true;
                b.running_before_hold = b.firmware_running;
                b.firmware_running = false;
                b.written_while_held = false;
                b.pacing.running = false;
            } else if (!hold && b.cpu_held) {
                b.cpu_held = false;
                if (b.written_while_held)
                    start_firmware(b);
                else
                    b.firmware_running = b.running_before_hold;
            }
        }
        return {length, Err::none};
    }

    if (!b.firmware_running)
        return stall;
    if (in != ((request & 0x80) != 0))
        return stall;
    const bool on = value != 0;
    switch (request) {
        case 0x01:  // indicator
            if (index < 0 || index > 1)
                return stall;
            b.indicator[index] = value;
            return {length, Err::none};
        case 0x02:  // FPGA configuration phases
            if (index == 0) {
                b.config_open = true;
                b.fpga_configured = false;
                b.config_bytes = 0;
                b.config_md5.reset();
                b.regs.fill(0);
            } else if (index == 1) {
                if (!b.config_open)
                    return stall;
                b.config_md5.update(data, size_t(length));
                b.config_bytes += uint64_t(length);
            } else if (index == 2) {
                if (!b.config_open)
                    return stall;
                b.config_open = false;
                if (b.config_bytes > 0) {
                    b.fpga_configured = true;
                    b.config_md5.final(b.digest.data());
                }
            } else {
                return stall;
            }
            changed(b);
            return {length, Err::none};
        case 0x04:
            b.fpga_reset = on;
            changed(b);
            return {length, Err::none};
        case 0x05: b.tx_enable = on; return {length, Err::none};
        case 0x06:
            b.rx_enable = on;
            changed(b);
            return {length, Err::none};
        case 0x0A: b.tx_reset = on; return {length, Err::none};
        case 0x0B:
            b.rx_reset = on;
            changed(b);
            return {length, Err::none};
        case 0x08:    // I2C write
        case 0x81: {  // I2C read
            const int slot = value - 0x54;
            if (slot < 0 || slot > 3 || !b.eeprom[size_t(slot)])
                return stall;  // nobody acknowledges
            auto& e = *b.eeprom[size_t(slot)];
            uint8_t& ptr = b.eeprom_pointer[slot];
            if (request == 0x08) {
                if (length >= 1)
                    ptr = data[0];
                for (int i = 1; i < length; ++i)
                    e[ptr++] = data[i];
            } else {
                if (length < 1)
                    return stall;
                for (int i = 0; i < length; ++i)
                    data[i] = e[ptr++];
            }
            return {length, Err::none};
        }
        case 0x09:    // SPI write
        case 0x82: {  // SPI read
            if ((index & 0xFF) != 0x20 || value < 0 || value > 0xFF)
                return stall;
            const int select = (index >> 8) & 0xFF;
            const bool read = request == 0x82;
            if (read != ((value & 0x80) != 0))
                return stall;
            if (select == 0x01) {
                if (length != 4)
                    return stall;
                const int reg = value & 0x7F;
                if (read) {
                    const uint32_t v = reg == 3 ? b.config.capabilities : 0;
                    for (int i = 0; i < 4; ++i)
                        data[i] = uint8_t(v >> (24 - 8 * i));
                } else {
                    b.regs[size_t(reg)] = be32(data);
                    changed(b);
                }
                return {4, Err::none};
            }
            if (select == 0x02 || select == 0x04) {
                if (length != 1 || (value & 0x40))
                    return stall;
                auto& regs = b.codec[select == 0x02 ? 0 : 1];
                const int reg = value & 0x3F;
                if (read) {
                    data[0] = regs[size_t(reg)];
                } else {
                    regs[size_t(reg)] = data[0];
                    changed(b);
                }
                return {1, Err::none};
            }
            return stall;
        }
        case 0x80:  // status
            if (length != 1)
                return stall;
            if (index == 1) {
                update_pacing(b, Clock::now());
                data[0] = b.overrun ? 1 : 0;
                b.overrun = false;
            } else if (index == 2) {
                data[0] = 0;  // transmit underrun: nothing is ever transmitted
            } else {
                return stall;
            }
            return {1, Err::none};
        default: return stall;
    }
}

Result api_control(int handle, int type, int request, int value, int index, uint8_t* data,
                   int length, int timeout_ms) {
    Impl& w = impl();
    std::unique_lock<std::mutex> lk(w.m);
    w.poll_timers(Clock::now());
    ++w.control_count;
    ControlRecord rec{0, -1, type, request, value, index, length, {}, 0};
    auto it = w.handles.find(handle);
    Result r;
    if (it == w.handles.end()) {
        r.err = Err::inval;
    } else {
        const Handle h = it->second;
        rec.board = h.board;
        const bool in = (type & 0x80) != 0;
        if (!in && data && length > 0)
            rec.data.assign(data, data + length);
        std::optional<Fault> fault = w.take_control_fault(type, request, value, index);
        if (fault && fault->kind != FaultKind::short_data) {
            r.err = fault->kind == FaultKind::stall     ? Err::stall
                    : fault->kind == FaultKind::timeout ? Err::timeout
                    : fault->kind == FaultKind::detach  ? Err::nodev
                                                        : Err::io;
            if (fault->kind == FaultKind::detach && h.board >= 0) {
                w.board(h.board).plugged = false;
                w.leave_bus(w.board(h.board));
            }
            if (fault->kind == FaultKind::timeout) {
                const int wait = fault->wait_ms >= 0 ? fault->wait_ms : std::max(0, timeout_ms);
                lk.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
                lk.lock();
            }
            if (!in)
                rec.data.clear();
        } else if (!w.handle_alive(h)) {
            r.err = w.handle_error(h);
            rec.data.clear();
        } else if (h.board < 0) {
            r.err = Err::stall;  // unrelated devices know none of these requests
            rec.data.clear();
        } else if (length < 0 || (length > 0 && !data)) {
            r.err = Err::inval;
            rec.data.clear();
        } else {
            const int latency = w.board(h.board).config.control_latency_us;
            if (latency > 0) {
                lk.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(latency));
                lk.lock();
            }
            Board& b = w.board(h.board);
            std::vector<uint8_t> scratch(in ? size_t(length) : 0);
            r = w.firmware_request(b, type, request, value, index, in ? scratch.data() : data,
                                   length);
            if (r.err == Err::none && fault)
                r.value = std::max(0, r.value - fault->short_by);
            if (r.err != Err::none) {
                rec.data.clear();
            } else if (in) {
                std::copy(scratch.begin(), scratch.begin() + r.value, data);
                rec.data.assign(scratch.begin(), scratch.begin() + r.value);
            } else {
                rec.data.resize(size_t(r.value));
            }
        }
    }
    rec.seq = ++w.seq;
    rec.result = r.err == Err::none ? r.value : surface_error_code(r.err);
    if (w.trace)
        trace_control(rec);
    w.log_control(std::move(rec));
    return r;
}

}  // namespace detail
}  // namespace usbsim
