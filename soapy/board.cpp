#include "board.h"

#include "usrp_prims.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace zalvo_soapy {

namespace {

const char* const FIRMWARE_IMAGE = "std.ihx";
const char* const FPGA_IMAGE = "std_4rx_0tx.rbf";

enum class Bus { undecided, real, simulated };
Bus g_bus = Bus::undecided;  // guarded by module_lock()
int64_t (*g_sim_dropped)() = nullptr;

bool wants_simulator(const SoapySDR::Kwargs& args) {
    auto yes = [](const std::string& v) { return v == "1" || v == "true" || v == "yes"; };
    auto it = args.find("sim");
    if (it != args.end() && yes(it->second))
        return true;
    const char* env = std::getenv("ZALVO_SOAPY_SIM");
    return env && yes(env);
}

bool load_simulator(std::string* error) {
    // Global scope: the device layer's USB calls, bound lazily at their first use, resolve to
    // the simulator from now on.
    void* sim = dlopen(ZALVO_SOAPY_SIM_PLUGIN, RTLD_NOW | RTLD_GLOBAL);
    if (!sim) {
        const char* why = dlerror();
        *error = std::string("zalvo: cannot load the simulated board (") + (why ? why : "?") + ")";
        return false;
    }
    typedef int (*setup_fn)(const char*, char*, size_t);
    auto setup = reinterpret_cast<setup_fn>(dlsym(sim, "zalvo_capture_sim_setup"));
    g_sim_dropped = reinterpret_cast<int64_t (*)()>(dlsym(sim, "zalvo_capture_sim_dropped"));
    if (!setup || !g_sim_dropped) {
        *error = std::string("zalvo: ") + ZALVO_SOAPY_SIM_PLUGIN + " is not the simulated board";
        return false;
    }
    char text[512] = "";
    if (setup("", text, sizeof text) != 0) {  // USBSIM_SCENE, when set
        *error = std::string("zalvo: ") + text;
        return false;
    }
    // The simulated board takes the build's placeholder images.
    setenv("USRP_PATH", ZALVO_SOAPY_SIM_IMAGES, 0);
    return true;
}

}  // namespace

std::mutex& module_lock() {
    static std::mutex lock;
    return lock;
}

bool choose_bus(const SoapySDR::Kwargs& args, std::string* error) {
    const bool sim = wants_simulator(args);
    if (g_bus == Bus::undecided) {
        if (sim && !load_simulator(error))
            return false;
        g_bus = sim ? Bus::simulated : Bus::real;
        return true;
    }
    if (sim && g_bus == Bus::real) {
        *error = "zalvo: sim=1 after this process already used the real USB bus; the bus is "
                 "chosen once per process (start a new one, or set ZALVO_SOAPY_SIM=1)";
        return false;
    }
    return true;
}

namespace {
std::mutex g_open_lock;
bool g_open = false;
SoapySDR::Kwargs g_open_identity;
}  // namespace

void note_open(const SoapySDR::Kwargs* identity) {
    std::lock_guard<std::mutex> guard(g_open_lock);
    g_open = identity != nullptr;
    g_open_identity = identity ? *identity : SoapySDR::Kwargs();
}

bool open_identity(SoapySDR::Kwargs* identity) {
    std::lock_guard<std::mutex> guard(g_open_lock);
    if (g_open)
        *identity = g_open_identity;
    return g_open;
}

bool bus_is_simulated() {
    return g_bus == Bus::simulated;
}

int64_t simulator_dropped() {
    return g_sim_dropped ? g_sim_dropped() : 0;
}

bool scan_first_board(SoapySDR::Kwargs* identity, int* revision) {
    usrp_one_time_init();
    usb_find_busses();
    usb_find_devices();
    struct usb_device* dev = usrp_find_device(0);
    if (!dev)
        return false;
    *revision = usrp_board_revision(dev);
    identity->clear();
    (*identity)["driver"] = "zalvo";
    (*identity)["index"] = "0";
    (*identity)["label"] = "USRP rev " + std::to_string(*revision) + " #0" +
                           (bus_is_simulated() ? " (simulated)" : "");
    return true;
}

std::string missing_images(int revision) {
    for (const char* name : {FIRMWARE_IMAGE, FPGA_IMAGE}) {
        if (find_image_file(name, revision))
            continue;
        const char* p = std::getenv("USRP_PATH");
        return std::string(name == FIRMWARE_IMAGE ? "Can't find firmware: "
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

SoapySDR::Kwargs board_report() {
    SoapySDR::Kwargs info;
    struct usb_device* dev = usrp_find_device(0);
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
    } images[] = {{"firmware", FIRMWARE_IMAGE, FIRMWARE_HASH_SLOT},
                  {"fpga", FPGA_IMAGE, FPGA_HASH_SLOT}};
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
    info["simulated"] = bus_is_simulated() ? "yes" : "no";
    return info;
}

std::string advice_for(const std::string& text) {
    if (text == "Can't create instance of USRP Rx device")
        return "No USRP board could be opened and brought up. Check that the board is plugged "
               "in and powered, that you may open it (a udev rule for vendor 0xfffe, product "
               "0x0002, or run as root), and that no other program uses it.";
    if (text == "Low memory")
        return "The module could not allocate its sample buffers.";
    if (text == "Can't start worker thread")
        return "The system refused to start another thread.";
    return "";
}

}  // namespace zalvo_soapy
