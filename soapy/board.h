// The boards on a bus as SoapySDR lists them, what a device string asks for, and the devices
// open in this process.
#pragma once

#include <SoapySDR/Types.hpp>

#include <functional>
#include <string>
#include <vector>

namespace zalvo_soapy {

struct UsbBus;

// One board of a rescan.
struct BoardEntry {
    std::string serial;  // its USB serial-number string; empty when it has none
    std::string place;   // "<bus>/<device>" as the library names them
    int index = 0;       // its place among the USRPs of its bus (the device layer's board number)
    int revision = 0;
};

// What a device string asks for, checked: a value that cannot be honoured is refused by name
// (std::runtime_error).
struct DeviceRequest {
    bool simulated = false;  // sim=1 (or ZALVO_SOAPY_SIM=1)
    std::string serial;      // serial=, or empty
    int index = -1;          // index=, or -1
    bool reconnect = true;   // reconnect=0 turns it off
    size_t buffers = 0;      // buffers=, or 0 for the default
};
DeviceRequest parse_request(const SoapySDR::Kwargs& args);
// The stream ring's size in blocks: default, limits, and a value checked ("buffers=N").
constexpr size_t DEFAULT_BUFFERS = 64;  // module blocks: 0.68 s at every rate
size_t parse_buffers(const std::string& text);

// The bus a request names, loaded; null with the reason in `error`.
UsbBus* bus_of(const DeviceRequest& request, std::string* error);

// Rescans `bus` and lists its boards. Hold usb_bus_lock(). A board open in this process is not
// touched: its serial comes from the device that has it.
std::vector<BoardEntry> scan_boards(UsbBus* bus);
// Whether the bus has any USB bus at all (as of the last rescan).
bool any_bus(UsbBus* bus);
// SoapySDR's description of a board: driver, serial (or index when it has none), label, and
// sim=1 on the simulated bus.
SoapySDR::Kwargs identity_of(const BoardEntry& board, bool simulated);

// The devices open in this process, one per board. `place` tells where the board is now (empty
// while it is not open on the bus).
struct OpenBoard {
    UsbBus* bus = nullptr;
    std::string serial;  // the board's key
    SoapySDR::Kwargs identity;
    std::function<std::string()> place;
};
// The key of a board among the open ones: its serial, or "#<index>" when it has none.
std::string board_key(const BoardEntry& board);
// Reserves a board for a device; false when it is open already.
bool claim_board(const OpenBoard& board);
// Tells where the board of a claimed key is, from now on.
void set_board_place(UsbBus* bus, const std::string& key, std::function<std::string()> place);
// Frees the key; no call of its place function is running or comes after it.
void release_board(UsbBus* bus, const std::string& key);
// The serial of the open board at `place` on `bus`, if one is there.
bool open_board_at(UsbBus* bus, const std::string& place, std::string* serial);

// Why the board cannot be opened before a stream tries: the images of its revision missing.
// Empty when both are found.
std::string missing_images(int revision);

// What zalvo_capture info shows of the board: revision, image digests on the board and in the
// files, daughterboards. Hold usb_bus_lock() with the board's bus the thread's.
SoapySDR::Kwargs board_report(int index, bool simulated);

// What to do about one of the session's error texts (empty when there is no advice).
std::string advice_for(const std::string& text, bool simulated);

}  // namespace zalvo_soapy
