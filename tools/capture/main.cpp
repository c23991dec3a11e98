// zalvo_capture: records the four receivers of a USRP board through the receiver module, on a
// real board or on the simulated one, and lists the boards on the bus.
#include "advice.h"
#include "console.h"
#include "module.h"
#include "options.h"
#include "plugins.h"
#include "raw.h"
#include "session.h"
#include "sys.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace capture;

const char* const PROGRAM = "zalvo_capture";
// The name a user types, in the usage texts.
#ifdef _WIN32
const char* const COMMAND_NAME = "zalvo_capture.exe";
#else
const char* const COMMAND_NAME = PROGRAM;
#endif

// A helper library: at the path it was built to, or else beside this program.
void* load_plugin(const char* built_path, bool global, std::string* error) {
    const std::string built = sys::beside_program(built_path);
    void* h = sys::load_library(built, global, error);
    if (h)
        return h;
    if (built != built_path)
        return nullptr;  // a relative path: it was taken from the program's folder already
    std::string name(built);
    name = name.substr(name.find_last_of("/\\") + 1);
    const std::string beside = sys::program_folder() + name;
    std::string ignored;
    return beside == built ? nullptr : sys::load_library(beside, global, &ignored);
}

// What is on the bus the board report looks at (the simulated one once the simulator is loaded),
// and the image files the device layer finds for the first board there.
BoardFacts look_at_bus() {
    BoardFacts f;
    std::string error;
    void* lib = load_plugin(ZALVO_CAPTURE_BOARD_PLUGIN, false, &error);
    auto find = lib ? reinterpret_cast<zalvo_capture_find_images_fn>(
                          sys::find_symbol(lib, ZALVO_CAPTURE_FIND_IMAGES))
                    : nullptr;
    if (!find)
        return f;
    zalvo_capture_board_images images;
    f.boards = find(&images);
    f.known = true;
    f.revision = images.revision;
    f.firmware = images.firmware;
    f.fpga = images.fpga;
    f.missing = images.missing;
    f.tried = images.tried;
    f.firmware_root = images.firmware_root;
    return f;
}

// A command for a real board must never run on the simulated one: on Windows a libusb0.dll in
// the current folder (such as the ZIP's simulator\) or on PATH is loaded before the driver's.
// Returns an exit code, or -1 when the USB library loaded is not the simulator.
int refuse_simulated_board(const char* command) {
    const std::string sim = sys::simulated_usb_library();
    if (sim.empty())
        return -1;
    const std::string folder = sim.substr(0, sim.find_last_of("\\/") + 1);
    std::fprintf(stderr,
                 "%s: Windows loaded the simulated board (libusb0.dll in %s) in place of the "
                 "board's driver: it takes a libusb0.dll in the current folder or on PATH first. "
                 "%s never runs on the simulated board: run zalvo_capture.exe from another "
                 "folder; \"simulate\" and \"info --simulate\" find the simulated board by "
                 "themselves.\n",
                 PROGRAM, folder.c_str(), command);
    return EXIT_DEVICE;
}

// Puts the simulated USB library in front of everything loaded later and builds its world.
// Returns an exit code, or -1 when all is well.
int prepare_simulator(const std::string& scene_path, const std::string& replay_path,
                      zalvo_capture_sim_dropped_fn* dropped,
                      zalvo_capture_replay_info* replay_info = nullptr) {
    const std::string placeholders = sys::beside_program(ZALVO_IMAGES_DIR);
    advise_for_simulator(placeholders);
    std::string error;
    void* sim = load_plugin(ZALVO_CAPTURE_SIM_PLUGIN, true, &error);
    if (!sim) {
        std::fprintf(stderr, "%s: cannot load the simulator (%s). %s\n", PROGRAM, error.c_str(),
                     advice_for_missing(Part::simulator,
                                        sys::beside_program(ZALVO_CAPTURE_SIM_PLUGIN), false)
                         .c_str());
        return EXIT_DEVICE;
    }
    auto setup = reinterpret_cast<zalvo_capture_sim_setup_fn>(
        sys::find_symbol(sim, ZALVO_CAPTURE_SIM_SETUP));
    *dropped = reinterpret_cast<zalvo_capture_sim_dropped_fn>(
        sys::find_symbol(sim, ZALVO_CAPTURE_SIM_DROPPED));
    if (!setup || !*dropped) {
        std::fprintf(stderr, "%s: %s is not the capture tool's simulator library\n", PROGRAM,
                     ZALVO_CAPTURE_SIM_PLUGIN);
        return EXIT_DEVICE;
    }
    char text[512] = "";
    if (setup(scene_path.c_str(), text, sizeof text) != 0) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, text);
        return EXIT_USAGE;
    }
    if (!replay_path.empty()) {
        auto replay = reinterpret_cast<zalvo_capture_sim_replay_fn>(
            sys::find_symbol(sim, ZALVO_CAPTURE_SIM_REPLAY));
        if (!replay || replay(replay_path.c_str(), replay_info, text, sizeof text) != 0) {
            std::fprintf(stderr, "%s: %s\n", PROGRAM, replay ? text : "no replay in the simulator");
            return EXIT_USAGE;
        }
    }
    // The simulated board takes any images; the build makes placeholders.
    sys::set_env_default("USRP_PATH", placeholders);
    return -1;
}

// The version text the module file carries ("ZalvoIntf version X.Y.Z"), found by reading the
// file: the module exports nothing that would tell it.
std::string module_version(const std::string& path) {
    static const std::string MARK = "ZalvoIntf version ";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = data.find(MARK);
    if (at == std::string::npos)
        return "";
    size_t end = at + MARK.size();
    while (end < data.size() && end < at + MARK.size() + 32 &&
           (std::isalnum(static_cast<unsigned char>(data[end])) || data[end] == '.' ||
            data[end] == '-'))
        ++end;
    return data.substr(at + MARK.size(), end - at - MARK.size());
}

// --module NAME: a bare name is a file in the current folder when there is one (dlopen itself
// would only search the library path).
std::string module_path_of(const Options& o) {
    if (o.module_path.empty())
        return sys::beside_program(ZALVO_MODULE_PATH);
    std::error_code ec;
    if (sys::is_bare_name(o.module_path) && std::filesystem::exists(o.module_path, ec))
        return (std::filesystem::path(".") / o.module_path).string();
    return o.module_path;
}

int run_version(const Options& o) {
    const std::string path = module_path_of(o);
    std::printf("zalvo_capture %s\n", ZALVO_VERSION);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        std::printf("module %s: missing\n", path.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "%s: the receiver module %s is missing. %s\n", PROGRAM, path.c_str(),
                     advice_for_missing(Part::module, path, !o.module_path.empty()).c_str());
        return EXIT_DEVICE;
    }
    const std::string v = module_version(path);
    std::printf("module %s: %s\n", path.c_str(),
                v.empty() ? "version not known (no version text in the file)" : v.c_str());
    return EXIT_DONE;
}

void print_line(void*, const char* text) {
    std::printf("%s\n", text);
}

// The simulated bus's report: each board line says that it is the simulated board.
void print_simulated_line(void*, const char* text) {
    const bool board = std::strncmp(text, "board ", 6) == 0;
    std::printf("%s%s\n", text, board ? " (simulated board)" : "");
}

int run_info(const Options& o) {
    zalvo_capture_sim_dropped_fn dropped = nullptr;
    if (o.info_simulated) {
        int code = prepare_simulator("", "", &dropped);
        if (code >= 0)
            return code;
    }
    std::string error;
    void* lib = load_plugin(ZALVO_CAPTURE_BOARD_PLUGIN, false, &error);
    auto report = lib ? reinterpret_cast<zalvo_capture_board_report_fn>(
                            sys::find_symbol(lib, ZALVO_CAPTURE_BOARD_REPORT))
                      : nullptr;
    if (!report) {
        std::fprintf(stderr, "%s: cannot load the board report (%s). %s\n", PROGRAM, error.c_str(),
                     advice_for_missing(Part::board_report,
                                        sys::beside_program(ZALVO_CAPTURE_BOARD_PLUGIN), false)
                         .c_str());
        return EXIT_DEVICE;
    }
    if (!o.info_simulated) {
        int code = refuse_simulated_board("info");
        if (code >= 0)
            return code;
    }
    int boards = report(o.info_simulated ? print_simulated_line : print_line, nullptr);
    std::fflush(stdout);
    if (boards == 0) {
        std::fprintf(stderr, "%s: no USRP (vendor 0xfffe, product 0x0002) on the USB buses%s. %s\n",
                     PROGRAM, o.info_simulated ? " of the simulator" : "",
                     advice_for_no_board().c_str());
        return EXIT_DEVICE;
    }
    return EXIT_DONE;
}

// A replay is as long as its recording (or shorter, by --duration) and tuned as it was.
void follow_recording(const zalvo_capture_replay_info& info, Options* o, RunContext* context) {
    const double seconds = double(info.instants) / RAW_RATE_HZ;
    const std::string length = signal_length_text(info.instants, RAW_RATE_HZ);
    if (!o->duration_given || o->duration_s > seconds) {
        context->replay_note = "  the replay ends where the recording does: " +
                               (o->duration_given ? "--duration cut to the recording's " + length
                                                  : "the recording's " + length);
        o->duration_s = seconds;
    }
    context->tuning_known = info.tuning_known != 0;
    if (context->tuning_known)
        for (int i = 0; i < RECEIVERS; ++i)
            o->freq_hz[i] = info.freq_hz[i];
}

// The simulated board's scene and images, two lines of the summary: the scene file in use, and
// the folder the device layer takes the images from (USRP_PATH, or one of its own folders).
std::string simulator_notes(const Options& o) {
    std::string scene = "  scene: ";
    const char* env_scene = std::getenv("USBSIM_SCENE");
    if (!o.replay_path.empty())
        scene += "the recording " + o.replay_path;
    else if (!o.scene_path.empty())
        scene += o.scene_path;
    else if (env_scene && *env_scene)
        scene += std::string(env_scene) + " (from USBSIM_SCENE)";
    else
        scene += "the simulator's built-in scene";
    const BoardFacts f = look_at_bus();
    const char* given = std::getenv("USRP_PATH");
    const std::string usrp_path = given ? given : "";
    const std::string placeholders = sys::beside_program(ZALVO_IMAGES_DIR);
    std::string images = "  images: ";
    if (!f.known || f.boards == 0)
        images += "not looked for (no board on the simulated bus before the start)";
    else if (f.firmware.empty())
        images +=
            "none found for revision " + std::to_string(f.revision) + " (searched " + f.tried + ")";
    else if (f.firmware_root == sys::native_path(placeholders))
        images += f.firmware_root + " (the placeholders that came with this program)";
    else if (f.firmware_root == sys::native_path(usrp_path))
        images += f.firmware_root + " (from USRP_PATH)";
    else
        images += f.firmware_root + " (a folder the module searches after USRP_PATH, which holds " +
                  "no images: \"" + usrp_path + "\")";
    return scene + "\n" + images;
}

int run_capture_command(const Options& given) {
    Options o = given;
    RunContext context;
    if (o.command == Command::simulate) {
        zalvo_capture_sim_dropped_fn dropped = nullptr;
        zalvo_capture_replay_info replay{};
        int code = prepare_simulator(o.scene_path, o.replay_path, &dropped, &replay);
        if (code >= 0)
            return code;
        context.simulated = true;
        context.simulator_dropped = [dropped] { return dropped(); };
        if (!o.replay_path.empty())
            follow_recording(replay, &o, &context);
        context.images_note = simulator_notes(o);
        advise_with(look_at_bus);
    } else {
        advise_with(look_at_bus);
    }
    if (o.raw) {
        std::string error;
        void* lib = load_plugin(ZALVO_CAPTURE_BOARD_PLUGIN, false, &error);
        auto record = lib ? reinterpret_cast<zalvo_capture_raw_fn>(
                                sys::find_symbol(lib, ZALVO_CAPTURE_RAW_RECORD))
                          : nullptr;
        if (!record) {
            std::fprintf(stderr, "%s: cannot load the raw recorder (%s). %s\n", PROGRAM,
                         error.c_str(),
                         advice_for_missing(Part::board_report,
                                            sys::beside_program(ZALVO_CAPTURE_BOARD_PLUGIN), false)
                             .c_str());
            return EXIT_DEVICE;
        }
        if (!context.simulated) {
            int code = refuse_simulated_board("capture");
            if (code >= 0)
                return code;
        }
        install_signal_handlers();
        return run_raw(o, record, context);
    }
    const std::string path = module_path_of(o);
    context.module_version = module_version(path);
    Module module;
    std::string error;
    if (!module.load(path, &error)) {
        std::fprintf(stderr, "%s: cannot load the receiver module: %s\n  %s\n", PROGRAM,
                     error.c_str(),
                     advice_for_missing(Part::module, path, !o.module_path.empty()).c_str());
        return EXIT_DEVICE;
    }
    if (!context.simulated) {
        int code = refuse_simulated_board("capture");
        if (code >= 0) {
            module.unload();
            return code;
        }
    }
    install_signal_handlers();
    int code = run_capture(o, module, context);
    module.unload();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    ParseResult r = parse_options(argc, argv);
    if (!r.ok) {
        std::fprintf(stderr, "%s: %s\n%s", PROGRAM, r.error.c_str(),
                     short_usage(COMMAND_NAME).c_str());
        return EXIT_USAGE;
    }
    switch (r.options.command) {
        case Command::help: std::fputs(usage_text(COMMAND_NAME).c_str(), stdout); return EXIT_DONE;
        case Command::info: return run_info(r.options);
        case Command::version: return run_version(r.options);
        case Command::capture:
        case Command::simulate: break;
    }
    return run_capture_command(r.options);
}
