#include "board.h"

#include "usb_route.h"
#include "usrp_prims.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace zalvo_soapy {

namespace {

const size_t MIN_BUFFERS = 4;
const size_t MAX_BUFFERS = 4096;

bool yes_or_no(const std::string& key, const std::string& value) {
    if (value == "1" || value == "true" || value == "yes")
        return true;
    if (value == "0" || value == "false" || value == "no")
        return false;
    throw std::runtime_error("zalvo: " + key + "=" + value + " (1 or 0)");
}

std::mutex open_lock;
std::vector<OpenBoard>& open_boards() {
    static auto* boards = new std::vector<OpenBoard>();
    return *boards;
}

}  // namespace

size_t parse_buffers(const std::string& text) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || !end || *end || text[0] == '-' || v < MIN_BUFFERS || v > MAX_BUFFERS)
        throw std::runtime_error("zalvo: buffers=" + text + " (4 to 4096 blocks)");
    return v;
}

DeviceRequest parse_request(const SoapySDR::Kwargs& args) {
    DeviceRequest r;
    auto sim = args.find("sim");
    if (sim != args.end()) {
        r.simulated = yes_or_no("sim", sim->second);
    } else if (const char* env = std::getenv("ZALVO_SOAPY_SIM")) {
        r.simulated = yes_or_no("ZALVO_SOAPY_SIM", env);
    }
    auto serial = args.find("serial");
    if (serial != args.end()) {
        if (serial->second.empty())
            throw std::runtime_error("zalvo: serial= names no board");
        r.serial = serial->second;
    }
    auto index = args.find("index");
    if (index != args.end()) {
        const std::string& v = index->second;
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || !end || *end || n < 0 || n > 127)
            throw std::runtime_error("zalvo: index=" + v + " (a board number: 0, 1, ...)");
        r.index = static_cast<int>(n);
    }
    auto reconnect = args.find("reconnect");
    if (reconnect != args.end())
        r.reconnect = yes_or_no("reconnect", reconnect->second);
    auto buffers = args.find("buffers");
    if (buffers != args.end())
        r.buffers = parse_buffers(buffers->second);
    return r;
}

UsbBus* bus_of(const DeviceRequest& request, std::string* error) {
    return request.simulated ? simulated_bus(error) : real_bus(error);
}

std::vector<BoardEntry> scan_boards(UsbBus* bus) {
    ThreadBus on(bus);
    usrp_one_time_init();
    usrp_rescan();
    std::vector<BoardEntry> boards;
    for (int n = 0;; ++n) {
        struct usb_device* dev = usrp_find_device(n);
        if (!dev)
            break;
        BoardEntry b;
        b.index = n;
        b.place = usrp_place(dev);
        b.revision = usrp_board_revision(dev);
        if (!open_board_at(bus, b.place, &b.serial))
            b.serial = usrp_serial(dev);
        boards.push_back(b);
    }
    return boards;
}

bool any_bus(UsbBus* bus) {
    ThreadBus on(bus);
    return usb_get_busses() != nullptr;
}

SoapySDR::Kwargs identity_of(const BoardEntry& board, bool simulated) {
    SoapySDR::Kwargs identity;
    identity["driver"] = "zalvo";
    if (board.serial.empty())
        identity["index"] = std::to_string(board.index);
    else
        identity["serial"] = board.serial;
    identity["label"] = "USRP rev " + std::to_string(board.revision) + " " +
                        (board.serial.empty() ? "#" + std::to_string(board.index) : board.serial) +
                        (simulated ? " (simulated)" : "");
    if (simulated)
        identity["sim"] = "1";
    return identity;
}

std::string board_key(const BoardEntry& board) {
    return board.serial.empty() ? "#" + std::to_string(board.index) : board.serial;
}

void set_board_place(UsbBus* bus, const std::string& key, std::function<std::string()> place) {
    std::lock_guard<std::mutex> guard(open_lock);
    for (OpenBoard& b : open_boards()) {
        if (b.bus == bus && b.serial == key) {
            b.place = std::move(place);
            return;
        }
    }
}

bool claim_board(const OpenBoard& board) {
    std::lock_guard<std::mutex> guard(open_lock);
    for (const OpenBoard& b : open_boards())
        if (b.bus == board.bus && b.serial == board.serial)
            return false;
    open_boards().push_back(board);
    return true;
}

void release_board(UsbBus* bus, const std::string& serial) {
    std::lock_guard<std::mutex> guard(open_lock);
    auto& boards = open_boards();
    for (auto it = boards.begin(); it != boards.end(); ++it) {
        if (it->bus == bus && it->serial == serial) {
            boards.erase(it);
            return;
        }
    }
}

bool open_board_at(UsbBus* bus, const std::string& place, std::string* serial) {
    std::lock_guard<std::mutex> guard(open_lock);
    for (const OpenBoard& b : open_boards()) {
        if (b.bus == bus && b.place && b.place() == place) {
            *serial = b.serial;
            return true;
        }
    }
    return false;
}

std::string missing_images(int revision) {
    for (const char* name : {USRP_FIRMWARE_IMAGE, USRP_FPGA_IMAGE_4RX}) {
        if (find_image_file(name, revision))
            continue;
        const char* p = std::getenv("USRP_PATH");
        return std::string(name == USRP_FIRMWARE_IMAGE ? "Can't find firmware: "
                                                       : "Can't find fpga bitstream: ") +
               name +
               ". Set USRP_PATH to the folder that holds rev<N>/std.ihx and "
               "rev<N>/std_4rx_0tx.rbf for your board's revision (" +
               (p && *p ? std::string("USRP_PATH is now \"") + p + "\""
                        : std::string("USRP_PATH is not set")) +
               "; this board is revision " + std::to_string(revision) + ").";
    }
    return "";
}

SoapySDR::Kwargs board_report(int index, bool simulated) {
    SoapySDR::Kwargs info;
    struct usb_device* dev = usrp_find_device(index);
    if (!dev)
        return info;
    const int revision = usrp_board_revision(dev);
    char bcd[16];
    std::snprintf(bcd, sizeof bcd, "0x%04x", static_cast<unsigned>(dev->descriptor.bcdDevice));
    info["revision"] = std::to_string(revision);
    info["bcd_device"] = bcd;
    usb_dev_handle* udh = open_cmd_interface(dev);
    const struct {
        const char* key;
        const char* name;
        int slot;
    } images[] = {{"firmware", USRP_FIRMWARE_IMAGE, FIRMWARE_HASH_SLOT},
                  {"fpga", USRP_FPGA_IMAGE_4RX, FPGA_HASH_SLOT}};
    for (const auto& image : images) {
        const image_check c = usrp_check_image(udh, image.name, revision, image.slot);
        const std::string key = image.key;
        info[key + "_board_md5"] =
            c.board_known ? usrp_hex(c.board_md5, USRP_HASH_BYTES) : "unreadable";
        info[key + "_file"] = c.path.empty() ? "not found" : c.path;
        if (c.file_known) {
            info[key + "_file_md5"] = usrp_hex(c.file_md5, USRP_HASH_BYTES);
            info[key + "_loaded"] = c.loaded() ? "yes" : "no";
        }
    }
    if (udh) {
        const bool running = usrp_firmware_running(udh);
        for (int slot : {1, 3}) {
            const std::string key = slot == 1 ? "rx_a_dboard" : "rx_b_dboard";
            info[key] = running ? usrp_dboard_id_name(usrp_dboard_id(udh, slot))
                                : "not readable until the firmware runs";
        }
        usb_close(udh);
    }
    info["simulated"] = simulated ? "yes" : "no";
    return info;
}

std::string advice_for(const std::string& text, bool simulated) {
    if (text == "Can't create instance of USRP Rx device")
        return simulated ? "The simulated board could not be brought up (see the lines before)."
                         : "No USRP board could be opened and brought up. Check that the board "
                           "is plugged in and powered, that you may open it (a udev rule for "
                           "vendor 0xfffe, product 0x0002, or run as root), and that no other "
                           "program uses it.";
    if (text == "Low memory")
        return "The module could not allocate its sample buffers.";
    if (text == "Can't start worker thread")
        return "The system refused to start another thread.";
    return "";
}

}  // namespace zalvo_soapy
