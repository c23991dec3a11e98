// The simulated USB bus and receiver board: the C++ side, for tests and tools to build scenes,
// inject faults and read what crossed the bus. The USB library side (the libusb 0.1 calls the
// module makes) is provided by the same library, over the same model.
//
// One simulated world per process. Every call here is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#define USBSIM_API __declspec(dllexport)
#else
#define USBSIM_API __attribute__((visibility("default")))
#endif

namespace usbsim {

// ------------------------------------------------------------------------------------------------
// Signal scene
// ------------------------------------------------------------------------------------------------

struct Carrier {
    double freq_hz = 0;       // at the converter input
    double level_dbfs = -20;  // 0 dBFS: see README for the amplitude it gives
    int input = 0;            // converter input 0..3
    std::string morse;        // empty: steady; otherwise the text keyed in Morse, repeating
    double wpm = 20;          // Morse speed
    int board = -1;           // scene files: shown only by this board (its place among the
                              // file's board lines, from 0); -1: by every board
};

// A recorded stream that a board hands out instead of computing its scene: per sample instant,
// for each of `channels` channels, I then Q as 16-bit integers, from the stream's first instant.
// Channels beyond `channels` and instants past the end read 0; the down-converters' tuning does
// not change it.
struct Replay {
    int channels = 4;
    std::vector<int16_t> iq;
};

struct Scene {
    std::vector<Carrier> carriers;
    std::optional<double> noise_dbfs;  // Gaussian noise floor per converter input, or none
    uint32_t seed = 1;
    std::shared_ptr<const Replay> replay;  // set: the stream comes from this recording
};

// A handful of CW carriers spread over a band, some keyed, over a noise floor.
USBSIM_API Scene default_scene();
// Parses a scene file; throws std::runtime_error with a readable message.
USBSIM_API Scene load_scene_file(const std::string& path);

// ------------------------------------------------------------------------------------------------
// Board
// ------------------------------------------------------------------------------------------------

enum class Pacing { free_running, real_time };

// A board taken off the bus and put back on a schedule, once or again and again: a loose cable,
// a hub that resets. Times count from the moment the board first streams.
struct Unplug {
    double at_s = 0;       // the first time off the bus
    double every_s = 0;    // > 0: off again this many seconds after each previous start
    double for_s = 1;      // off the bus this long ...
    double for_max_s = 0;  // ... or, when above for_s, a length drawn in for_s..for_max_s each time
    uint32_t seed = 1;     // the draws (the same seed, the same lengths)
    // Back cold: power lost (RAM cleared, firmware stopped, FPGA unconfigured). Warm: only the
    // connection was lost; the firmware runs on and the FPGA keeps its configuration.
    bool back_warm = false;
};

struct BoardConfig {
    uint16_t bcd_device = 0x0004;  // low byte: hardware revision
    // Warm: firmware running and FPGA configured, with these digests in the hash slots.
    bool warm = false;
    std::array<uint8_t, 16> firmware_hash{};
    std::array<uint8_t, 16> fpga_hash{};
    uint32_t capabilities = 4;  // FPGA readback register 3: four down-converters
    // Daughterboard EEPROMs at I2C 0x54..0x57 (slots 0..3); empty: no board, the transfer fails.
    std::array<std::optional<std::array<uint8_t, 32>>, 4> eeprom{};
    // Re-enumeration after the firmware starts: the board leaves the bus and re-joins after this
    // many rescans (usb_find_busses + usb_find_devices; 1 = the next one) ...
    int rejoin_after_rescans = 1;
    // ... or, when > 0, once this many milliseconds have passed (then rescans alone do not do it);
    // REJOIN_NEVER: it stays off the bus (until attach()).
    int rejoin_after_ms = 0;
    static constexpr int REJOIN_NEVER = -1;
    // When > 0, the old device stays listed this many milliseconds after the firmware starts
    // before it leaves (a hub notices a disconnect only at its next status poll, up to about
    // 256 ms later); the delays above then count from its leaving.
    int leave_after_ms = 0;
    Pacing pacing = Pacing::free_running;
    size_t fifo_bytes = 32768;  // device FIFO for real-time pacing
    // Every control request to the board takes at least this long (a real board's round trip and
    // its work: loading a bitstream 64 bytes a request takes seconds).
    int control_latency_us = 0;
    Scene scene;
    // The board's USB serial-number string (string descriptor 3). Empty: "sim-<board id>".
    std::string serial;
    // Each one line of standard error as it leaves and comes back; a start that falls while the
    // board is already off the bus is skipped.
    std::vector<Unplug> unplugs;
};

// What a fault does to the request or transfer it hits.
enum class FaultKind {
    stall,       // control: EPIPE; bulk: 0 bytes (Debian libusb 0.1 behaviour)
    timeout,     // -110 (ETIMEDOUT) after the call's time-out; bulk: errno and text untouched
    io_error,    // -5 (EIO)
    short_data,  // the data stage moves fewer bytes than asked (see short_by)
    detach,      // the board leaves the bus at this request; this and later requests fail
};

struct Fault {
    FaultKind kind = FaultKind::stall;
    int short_by = 1;  // for short_data
    int wait_ms = -1;  // timeout: how long the call blocks first; -1 = the call's own time-out
};

// Calls of the USB library that are not control requests or bulk transfers, for fail_call() and
// the call log.
enum class UsbCall {
    open,
    close,
    set_configuration,
    claim_interface,
    release_interface,
    set_altinterface
};

// One call of the list above, in the same global order as control and bulk records.
struct CallRecord {
    uint64_t seq;
    UsbCall call;
    int handle;  // handle id (the open call: the id it produced, or -1)
    int board;   // board id, or -1 for an unrelated device
    int arg;     // configuration, interface or alternate setting; 0 for open/close
    int result;  // what the call returned (open: 0 or -1 for null)
};

// A pattern over control requests; an unset field matches anything.
struct ControlMatch {
    std::optional<int> request;
    std::optional<int> value;
    std::optional<int> index;
    std::optional<int> request_type;
};

struct ControlRecord {
    uint64_t seq;  // global order across control and bulk records
    int board;     // board id
    int request_type, request, value, index;
    int length;                 // wLength asked
    std::vector<uint8_t> data;  // bytes that crossed the bus (out: sent; in: returned)
    int result;                 // what usb_control_msg returned
};

struct BulkRecord {
    uint64_t seq;
    int board;
    int endpoint;  // with 0x80 for IN
    int length;    // bytes asked
    int result;    // bytes moved or negative error
};

// Board id: stable for the life of the board, survives detach, attach and re-enumeration.
typedef int BoardId;

class USBSIM_API World {
  public:
    static World& instance();

    // Removes every bus, device, fault and record; counters to zero. Handles still open become
    // invalid (their requests fail as on a removed device).
    void reset();

    // ---- scene building -----------------------------------------------------------------
    int add_bus();  // returns bus index; buses appear in usb_get_busses() in creation order
    BoardId add_board(int bus, const BoardConfig& config);
    // An unrelated device (any vendor/product) on a bus.
    void add_other_device(int bus, uint16_t vendor, uint16_t product, uint16_t bcd_device = 0);
    void detach(BoardId b);  // leaves the bus now; open handles fail from now on
    // Joins the bus at the next rescan. power_cycle: it comes back cold (RAM cleared, firmware
    // stopped, FPGA unconfigured), as a board that was unplugged and plugged in again.
    void attach(BoardId b, bool power_cycle = true);
    void set_scene(BoardId b, const Scene& scene);
    void set_pacing(BoardId b, Pacing pacing, size_t fifo_bytes);
    void set_eeprom(BoardId b, int slot, std::optional<std::array<uint8_t, 32>> bytes);
    void set_capabilities(BoardId b, uint32_t caps);

    // ---- faults -------------------------------------------------------------------------
    // The k-th control request from now (0 = the next one), on any board.
    void fail_control_at(int k, Fault fault);
    // The next control request matching the pattern.
    void fail_control_matching(const ControlMatch& match, Fault fault);
    // The n-th bulk transfer from now (0 = the next one).
    void fail_bulk_at(int n, Fault fault);
    // Detach the board after this many milliseconds from now.
    void detach_after_ms(BoardId b, int ms);
    // The board's receive endpoint sends nothing for this many milliseconds from now, as a board
    // whose stream stalls: reads wait for data (and time out) as with the receive path disabled.
    // A free-running stream loses nothing; a real-time one fills its FIFO and overflows as it
    // would behind a late host.
    void pause_stream(BoardId b, int ms);
    // The next call of this kind fails (open returns null; the others return the error of the
    // fault kind: stall -EPIPE, timeout -ETIMEDOUT, io_error/short_data -EIO, detach -ENODEV).
    void fail_call(UsbCall call, Fault fault);
    void clear_faults();

    // ---- observation --------------------------------------------------------------------
    std::vector<ControlRecord> control_log() const;
    std::vector<BulkRecord> bulk_log() const;
    std::vector<CallRecord> call_log() const;
    void clear_log();
    // Whether the three logs above keep records (they do unless turned off; reset() turns them
    // on again): a long run that never reads them keeps its memory flat without them.
    void keep_logs(bool on);

    uint32_t fpga_register(BoardId b, int reg) const;             // 0..127
    uint8_t codec_register(BoardId b, int codec, int reg) const;  // codec 0/1, reg 0..63
    std::vector<uint8_t> ram(BoardId b, int address, int length) const;
    bool firmware_running(BoardId b) const;
    bool fpga_configured(BoardId b) const;
    std::array<uint8_t, 16> bitstream_digest(BoardId b) const;  // MD5 of the last full config
    bool rx_enabled(BoardId b) const;
    bool overrun_flag(BoardId b) const;
    void set_overrun_flag(BoardId b, bool on);
    uint64_t stream_bytes_read(BoardId b) const;
    int board_count() const;  // boards made so far (ids 0 to count - 1), detached ones too
    uint64_t samples_dropped(BoardId b) const;            // sample instants lost to overruns
    std::string serial(BoardId b) const;                  // its USB serial-number string
    std::vector<uint8_t> bulk_out_data(BoardId b) const;  // everything written to endpoint 2
    bool on_bus(BoardId b) const;       // present on the bus now (not detached or re-enumerating)
    int unplugs_done(BoardId b) const;  // times the board's unplug schedule took it off the bus
    bool cpu_held(BoardId b) const;
    bool fpga_in_reset(BoardId b) const;
    bool tx_enabled(BoardId b) const;
    bool rx_in_reset(BoardId b) const;
    bool tx_in_reset(BoardId b) const;
    int indicator(BoardId b, int which) const;  // last wValue sent for indicator 0/1, or -1
    std::vector<uint8_t> eeprom(BoardId b, int slot) const;  // 256 bytes, empty: no board

    // Rescans as usb_find_busses + usb_find_devices do, without counting as a call of either:
    // for tests that build a scene after the module under test has initialised the library.
    void rescan();
    // Replaces everything by the buses, boards and scene of a scene file (see README).
    void load_file(const std::string& path);

    int open_handles() const;
    int claimed_interfaces() const;
    int usb_init_calls() const;
    int find_busses_calls() const;
    int find_devices_calls() const;

  private:
    World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;
};

// Filters of a control log.
USBSIM_API std::vector<ControlRecord> with_request(const std::vector<ControlRecord>& log,
                                                   int request);
USBSIM_API std::vector<ControlRecord> matching(const std::vector<ControlRecord>& log,
                                               const ControlMatch& match);
USBSIM_API std::vector<BulkRecord> on_endpoint(const std::vector<BulkRecord>& log, int endpoint);

// A valid 32-byte daughterboard EEPROM image: magic 0xDB, the id and words, check sum in byte 31.
USBSIM_API std::array<uint8_t, 32> eeprom_image(uint16_t id, uint16_t word1 = 0, int16_t word2 = 0,
                                                int16_t word3 = 0);
// The board of the default world: cold, revision 4, paced in real time with a 2 MiB FIFO (the
// device FIFO and the transfers a real host keeps queued), Basic Tx in slots 0 and 2 and Basic Rx
// in slots 1 and 3, showing the default scene.
USBSIM_API BoardConfig default_board();

// Physical constants of the model.
constexpr double ADC_CLOCK_HZ = 64e6;
// Output amplitude (int16 units) of a 0 dBFS carrier at 0 dB codec gain, on a channel that reads
// the carrier's input as I only. Reading it as both I and Q multiplies by (1+j). See README.
constexpr double TONE_AMPLITUDE = 16384.0;
// Standard deviation (int16 units) of each of I and Q of the noise floor at 0 dBFS, 0 dB gain.
constexpr double NOISE_AMPLITUDE = 16384.0;

}  // namespace usbsim
