// The driver "zalvo": discovery and opening of the boards for SoapySDR. Every entry from
// SoapySDR's factory runs its body behind one error barrier.
#include "board.h"
#include "device.h"
#include "session.h"
#include "usb_route.h"

#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Registry.hpp>

#include <chrono>
#include <mutex>
#include <stdexcept>

namespace zalvo_soapy {

namespace {

// A refusal goes to SoapySDR's log once: the factory's make runs a find with the same
// arguments just before, and the same text from both within a moment is one refusal.
void log_refusal(const std::string& text) {
    static std::mutex lock;
    static std::string last;
    static std::chrono::steady_clock::time_point when;
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto now = std::chrono::steady_clock::now();
        if (text == last && now - when < std::chrono::seconds(2))
            return;
        last = text;
        when = now;
    }
    SoapySDR::log(SOAPY_SDR_ERROR, text);
}

std::vector<SoapySDR::Kwargs> find_zalvo(const SoapySDR::Kwargs& args) {
    try {
        const DeviceRequest request = parse_request(args);
        std::string error;
        UsbBus* bus = bus_of(request, &error);
        if (!bus) {
            // Without sim=1 a machine without the USB library simply has no board to list.
            if (request.simulated)
                log_refusal(error);
            return {};
        }
        std::vector<BoardEntry> boards;
        {
            std::lock_guard<std::mutex> scan(usb_bus_lock());
            boards = scan_boards(bus);
        }
        std::vector<SoapySDR::Kwargs> found;
        for (const BoardEntry& b : boards) {
            if (!request.serial.empty() && b.serial != request.serial)
                continue;
            if (request.index >= 0 && b.index != request.index)
                continue;
            found.push_back(identity_of(b, is_simulated(bus)));
        }
        return found;
    } catch (const std::exception& e) {
        log_refusal(e.what());
    } catch (...) {
        log_refusal("zalvo: find failed");
    }
    return {};
}

// The text for a bus that does not have the board asked for.
std::string no_board_text(const DeviceRequest& request, UsbBus* bus, size_t boards) {
    const bool simulated = is_simulated(bus);
    const std::string which = !request.serial.empty() ? "board with serial " + request.serial
                              : request.index >= 0 ? "board index=" + std::to_string(request.index)
                                                   : "USRP (vendor 0xfffe, product 0x0002)";
    if (simulated)
        return "zalvo: no " + which + " on the simulated bus (" + std::to_string(boards) +
               " board(s) there; USBSIM_SCENE sets what it holds)";
    if (!any_bus(bus))
        return "zalvo: no USB buses at all on this machine (no /dev/bus/usb: a container or a "
               "machine without USB?), so no " +
               which + ". Add sim=1 to the device arguments for the simulated board.";
    if (boards > 0)
        return "zalvo: no " + which + " on the USB buses (" + std::to_string(boards) +
               " board(s) there: SoapySDRUtil --find=driver=zalvo lists them)";
    return "zalvo: no " + which +
           " on the USB buses. Check the cable and power, and that you may open USB devices "
           "(a udev rule, or root); add sim=1 to the device arguments for the simulated board.";
}

SoapySDR::Device* open_zalvo(const SoapySDR::Kwargs& args) {
    const DeviceRequest request = parse_request(args);
    std::string error;
    UsbBus* bus = bus_of(request, &error);
    if (!bus)
        throw std::runtime_error(error);
    std::vector<BoardEntry> boards;
    {
        std::lock_guard<std::mutex> scan(usb_bus_lock());
        boards = scan_boards(bus);
    }
    const BoardEntry* board = nullptr;
    for (const BoardEntry& b : boards) {
        if (!request.serial.empty() ? b.serial == request.serial
            : request.index >= 0    ? b.index == request.index
                                    : true) {
            board = &b;
            break;
        }
    }
    if (!board)
        throw std::runtime_error(no_board_text(request, bus, boards.size()));
    const std::string missing = missing_images(board->revision);
    if (!missing.empty())
        throw std::runtime_error("zalvo: " + missing);

    const SoapySDR::Kwargs identity = identity_of(*board, is_simulated(bus));
    OpenBoard open;
    open.bus = bus;
    open.serial = board_key(*board);
    open.identity = identity;
    if (!claim_board(open))
        throw std::runtime_error("zalvo: " + identity.at("label") +
                                 " is open already in this process (make it with the arguments "
                                 "that opened it to share that device)");
    ZalvoDevice* device = nullptr;
    try {
        device = new ZalvoDevice(bus, *board, request);
    } catch (...) {
        release_board(bus, open.serial);
        throw;
    }
    // From now on scans take the board's serial from the device, and leave the board alone.
    set_board_place(bus, open.serial, [device] { return device->place(); });
    return device;
}

SoapySDR::Device* make_zalvo(const SoapySDR::Kwargs& args) {
    try {
        return open_zalvo(args);
    } catch (const std::exception& e) {
        // Programs that show only SoapySDR's log (rtl_433) show the cause this way.
        log_refusal(e.what());
        throw;
    }
}

const SoapySDR::Registry registration("zalvo", &find_zalvo, &make_zalvo, SOAPY_SDR_ABI_VERSION);

}  // namespace

}  // namespace zalvo_soapy
