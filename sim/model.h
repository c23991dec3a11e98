// Internal state of the simulated world: buses, devices, boards, handles, faults and logs. Shared
// by the model's source files; the USB library surfaces reach it only through surface.h.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "md5.h"
#include "stream.h"
#include "surface.h"
#include "usbsim.h"

namespace usbsim {
namespace detail {

using Clock = std::chrono::steady_clock;

constexpr int RAM_BYTES = 65536;
constexpr int CPU_CONTROL_ADDRESS = 0xE600;
constexpr int FIRMWARE_HASH_ADDRESS = 0xE1E0;
constexpr int FPGA_HASH_ADDRESS = 0xE1F0;
constexpr int EEPROM_BYTES = 256;
constexpr int MAX_CONTROL_DATA = 64;
constexpr size_t LOG_LIMIT = 200000;         // records kept per log; the oldest go first
constexpr size_t BULK_OUT_LIMIT = 64 << 20;  // bytes of endpoint 2 data kept

// One device position on a bus: a board or an unrelated device.
struct Slot {
    int board = -1;  // board id, or -1 for an unrelated device
    uint16_t vendor = 0, product = 0, bcd = 0;
    uint64_t uid = 0;  // unrelated devices: their one enumeration
};

struct Bus {
    std::vector<int> slots;  // indexes into Impl::slots, in list order
};

// Real-time accounting of the board's FIFO (guarded by the world mutex).
struct FifoPacing {
    bool running = false;
    Clock::time_point origin;     // when the stream (re)started at the current rate
    uint64_t consumed = 0;        // instants taken since origin (including dropped ones)
    uint64_t pending_skip = 0;    // dropped instants the generator has yet to skip
    uint64_t dropped = 0;         // total dropped
    bool restarted = false;       // the stream (re)started: the generator drops what it holds
    uint64_t reader_need = 0;     // instants a waiting read still wants
    uint32_t decimation_reg = 0;  // rate and width the pacing runs at
    int channels = 0;
};

struct Board {
    BoardId id = 0;
    int bus = 0;
    int slot = 0;
    BoardConfig config;

    // Presence on the bus.
    bool plugged = true;          // false after detach(), until attach()
    bool present = true;          // answering on the bus (false while re-enumerating or detached)
    uint64_t uid = 0;             // current enumeration instance; 0 while absent
    int rejoin_rescans_left = 0;  // re-enumeration: rescans until it re-joins
    std::optional<Clock::time_point> rejoin_at;
    std::optional<Clock::time_point> leave_at;  // re-enumeration: when the old device leaves
    std::optional<Clock::time_point> detach_at;
    std::optional<Clock::time_point> paused_until;  // the receive endpoint sends nothing until then

    // The unplug schedule: each rule's next start and its draws, counted from the first stream.
    struct UnplugRule {
        Unplug plan;
        uint64_t next = 0;  // starts taken (or skipped) so far
        uint32_t draw = 0;  // generator state
        bool done = false;
    };
    std::vector<UnplugRule> unplug_rules;
    std::optional<Clock::time_point> first_stream;
    std::optional<Clock::time_point> replug_at;  // off the bus by the schedule until then
    bool replug_warm = false;
    int unplugs_done = 0;

    // USB controller.
    std::vector<uint8_t> ram = std::vector<uint8_t>(RAM_BYTES, 0);
    bool cpu_held = false;
    bool written_while_held = false;
    bool running_before_hold = false;
    bool firmware_running = false;

    // FPGA and codecs.
    bool fpga_configured = false;
    bool fpga_reset = false;
    bool config_open = false;
    uint64_t config_bytes = 0;
    md5_context config_md5;
    std::array<uint8_t, 16> digest{};
    std::array<uint32_t, 128> regs{};
    std::array<std::array<uint8_t, 64>, 2> codec{};
    bool tx_enable = false, rx_enable = false, tx_reset = false, rx_reset = false;
    int indicator[2] = {-1, -1};
    std::array<std::optional<std::array<uint8_t, EEPROM_BYTES>>, 4> eeprom;
    uint8_t eeprom_pointer[4] = {0, 0, 0, 0};
    bool overrun = false;

    // Stream.
    uint64_t settings_version = 1;
    FifoPacing pacing;
    uint64_t stream_bytes = 0;
    std::vector<uint8_t> bulk_out;
    std::shared_ptr<Stream> stream = std::make_shared<Stream>();

    std::shared_ptr<const Scene> scene = std::make_shared<const Scene>();  // config.scene, shared

    bool streaming() const;  // the FPGA emits samples now
    StreamSettings stream_settings() const;
    uint32_t decimation() const;
    int instant_bytes() const { return 4 * std::min<int>(int(regs[38] & 7), 4); }
};

struct Handle {
    int id = 0;
    int slot = -1;
    int board = -1;
    uint64_t uid = 0;   // enumeration instance it was opened on
    bool dead = false;  // opened on a device that was gone: every call fails with EBADF
    int configuration = 0;
    int altsetting = 0;
    std::vector<int> claimed;
};

struct ControlFault {
    std::optional<uint64_t> at;  // absolute control request number
    std::optional<ControlMatch> match;
    Fault fault;
};

struct Impl {
    mutable std::mutex m;
    bool touched = false;  // the C++ API built this world (else it is populated on first use)

    std::vector<Bus> buses;
    std::vector<Slot> slots;
    std::vector<std::unique_ptr<Board>> boards;
    std::map<int, Handle> handles;
    int next_handle = 1;
    uint64_t next_uid = 1;
    std::map<uint64_t, int> devnums;  // uid -> device number on its bus
    std::vector<int> bus_devnum;      // next device number per bus

    // What the library's lists showed at the last rescan.
    std::vector<int> listed_buses;
    std::vector<std::vector<uint64_t>> listed;  // per bus: uids in list order
    std::map<uint64_t, int> uid_slot;           // every uid ever given -> slot

    // Faults.
    uint64_t control_count = 0, bulk_count = 0;
    std::vector<ControlFault> control_faults;
    std::map<uint64_t, Fault> bulk_faults;
    std::map<UsbCall, Fault> call_faults;

    // Logs and counters.
    uint64_t seq = 0;
    std::deque<ControlRecord> control_log;
    std::deque<BulkRecord> bulk_log;
    std::deque<CallRecord> call_log;
    int init_calls = 0, find_busses_calls = 0, find_devices_calls = 0;
    int trace = 0;
    bool logging = true;

    Board& board(BoardId b);
    const Board& board(BoardId b) const;

    // Everything below expects the mutex held.
    void poll_timers(Clock::time_point now);
    // The board's unplug schedule (unplug.cpp).
    void poll_unplugs(Board& b, Clock::time_point now);
    void leave_bus(Board& b);
    void join_bus(Board& b);
    void start_firmware(Board& b);
    // Leaves the bus and schedules the return that the board's configuration asks for.
    void re_enumerate(Board& b);
    // A register, enable or scene changed: the stream takes new settings, pacing restarts when
    // the stream starts, stops or changes its rate.
    void changed(Board& b);
    bool handle_alive(const Handle& h) const;
    Err handle_error(const Handle& h) const;
    void update_pacing(Board& b, Clock::time_point now);
    std::optional<Fault> take_control_fault(int type, int request, int value, int index);
    std::optional<Fault> take_bulk_fault();
    std::optional<Fault> take_call_fault(UsbCall call);
    void log_call(UsbCall call, int handle, int board, int arg, int result);
    void log_control(ControlRecord r);
    void log_bulk(BulkRecord r);
    void populate_default();
    void clear();

    // The board's firmware: decodes one vendor request. Returns bytes moved or an error.
    Result firmware_request(Board& b, int type, int request, int value, int index, uint8_t* data,
                            int length);
};

Impl& impl();

// Building blocks of the world, with the mutex held.
// Puts a board into its power-on state, cold or warm.
void power_on(Impl& w, Board& b, bool warm);
// Plugs a board in again: it joins the bus at the next rescan.
void plug_in(Impl& w, Board& b, bool power_cycle);
// The first state of an unplug rule's draws from its seed.
uint32_t unplug_draws(uint32_t seed);
int add_bus_locked(Impl& w);
BoardId add_board_locked(Impl& w, int bus, const BoardConfig& config);
void add_other_locked(Impl& w, int bus, uint16_t vendor, uint16_t product, uint16_t bcd_device);

// A scene file: the scene shared by every board, and the buses with their devices.
struct WorldSpec {
    struct Device {
        bool board = true;
        BoardConfig config;
        uint16_t vendor = 0, product = 0, bcd = 0;
    };
    Scene scene;
    std::vector<std::vector<Device>> buses;
};
WorldSpec parse_world_file(const std::string& path);
WorldSpec default_world();
void build_world_locked(Impl& w, const WorldSpec& spec);

}  // namespace detail
}  // namespace usbsim
