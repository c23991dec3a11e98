// The simulated board for the simulate command: builds its world from a scene file and reads
// its counters. Loaded by the tool with global symbol scope, so that it also supplies the USB
// calls of everything loaded after it.
#include "plugins.h"

#include "usbsim.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

// True when the file describes buses or boards itself, not only a signal scene.
bool describes_world(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + ": cannot open the scene file");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "bus" || first == "board" || first == "other")
            return true;
    }
    return false;
}

// The simulator's default board (one cold revision-4 board, real-time pacing with a 2 MiB FIFO,
// "Basic Tx" and "Basic Rx" daughterboards) showing the given scene.
void default_board_with(const usbsim::Scene& scene) {
    usbsim::World& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig c;
    c.bcd_device = 0x0004;
    c.pacing = usbsim::Pacing::real_time;
    c.fifo_bytes = 2 << 20;
    c.eeprom[0] = usbsim::eeprom_image(0x0000);
    c.eeprom[1] = usbsim::eeprom_image(0x0001);
    c.eeprom[2] = usbsim::eeprom_image(0x0000);
    c.eeprom[3] = usbsim::eeprom_image(0x0001);
    c.scene = scene;
    w.add_board(w.add_bus(), c);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int
zalvo_capture_sim_setup(const char* scene_path, char* error, size_t error_size) {
    try {
        if (!scene_path || !*scene_path) {
            // The simulator builds its default world at the first usb_init(), from the file
            // USBSIM_SCENE names if set: a bad file is refused here, before anything starts.
            const char* env = std::getenv("USBSIM_SCENE");
            if (env) {
                if (describes_world(env))
                    usbsim::World::instance().load_file(env);
                else
                    default_board_with(usbsim::load_scene_file(env));
            }
            return 0;
        }
        if (describes_world(scene_path))
            usbsim::World::instance().load_file(scene_path);
        else
            default_board_with(usbsim::load_scene_file(scene_path));
        return 0;
    } catch (const std::exception& e) {
        std::snprintf(error, error_size, "%s", e.what());
        return -1;
    }
}

extern "C" __attribute__((visibility("default"))) int64_t zalvo_capture_sim_dropped(void) {
    usbsim::World& w = usbsim::World::instance();
    int64_t total = 0;
    // Board ids count up from 0; asking past the last one throws.
    for (usbsim::BoardId b = 0;; ++b) {
        try {
            total += static_cast<int64_t>(w.samples_dropped(b));
        } catch (const std::exception&) {
            break;
        }
    }
    return total;
}
