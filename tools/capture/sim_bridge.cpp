// The simulated board for the simulate command: builds its world from a scene file and reads
// its counters. Loaded by the tool with global symbol scope, so that it also supplies the USB
// calls of everything loaded after it.
#include "plugins.h"

#include "usbsim.h"

#include <nlohmann/json.hpp>

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
    bool first_line = true;
    while (std::getline(in, line)) {
        if (first_line && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);  // Notepad's UTF-8 mark
        first_line = false;
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "bus" || first == "board" || first == "other" || first == "unplug")
            return true;
    }
    return false;
}

// The simulator's default board (one cold revision-4 board, real-time pacing with a 2 MiB FIFO,
// "Basic Tx" and "Basic Rx" daughterboards) showing the given scene.
void default_board_with(const usbsim::Scene& scene) {
    usbsim::World& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig c = usbsim::default_board();
    c.scene = scene;
    w.add_board(w.add_bus(), c);
}

// The simulated board of a run: no record of what crossed the bus is ever read here, so none is
// kept (a run of hours keeps its memory flat).
int ready() {
    usbsim::World::instance().keep_logs(false);
    return 0;
}

}  // namespace

extern "C" ZALVO_CAPTURE_EXPORT int zalvo_capture_sim_setup(const char* scene_path, char* error,
                                                            size_t error_size) {
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
            return ready();
        }
        if (describes_world(scene_path))
            usbsim::World::instance().load_file(scene_path);
        else
            default_board_with(usbsim::load_scene_file(scene_path));
        return ready();
    } catch (const std::exception& e) {
        std::snprintf(error, error_size, "%s", e.what());
        return -1;
    }
}

extern "C" ZALVO_CAPTURE_EXPORT int64_t zalvo_capture_sim_dropped(void) {
    usbsim::World& w = usbsim::World::instance();
    int64_t total = 0;
    for (usbsim::BoardId b = 0; b < w.board_count(); ++b)
        total += static_cast<int64_t>(w.samples_dropped(b));
    return total;
}

// Sample instants dropped by the simulated board whose serial number is `serial` (0 when there is
// none such).
extern "C" ZALVO_CAPTURE_EXPORT int64_t zalvo_capture_sim_board_dropped(const char* serial) {
    usbsim::World& w = usbsim::World::instance();
    for (usbsim::BoardId b = 0; b < w.board_count(); ++b)
        if (serial && w.serial(b) == serial)
            return static_cast<int64_t>(w.samples_dropped(b));
    return 0;
}

// Makes every simulated board stream the raw recording described by a SigMF meta file of
// "zalvo_capture --raw" instead of its scene.
extern "C" ZALVO_CAPTURE_EXPORT int zalvo_capture_sim_replay(const char* meta_path,
                                                             zalvo_capture_replay_info* info,
                                                             char* error, size_t error_size) {
    try {
        const std::string meta(meta_path);
        std::ifstream in(meta);
        if (!in)
            throw std::runtime_error(meta + ": cannot open the recording's meta file");
        nlohmann::json m = nlohmann::json::parse(in, nullptr, false);
        if (m.is_discarded() || !m.is_object() || !m.contains("global"))
            throw std::runtime_error(meta + ": not a SigMF meta file");
        const nlohmann::json& g = m["global"];
        const std::string type = g.value("core:datatype", "");
        const int channels = g.value("core:num_channels", 1);
        const double rate = g.value("core:sample_rate", 0.0);
        if (type != "ci16_le" || channels < 1 || channels > 4 || rate != 500000.0)
            throw std::runtime_error(meta +
                                     ": not a raw recording of the board (ci16_le, 1 to 4 "
                                     "channels, 500000 Hz; this one: " +
                                     type + ", " + std::to_string(channels) +
                                     (channels == 1 ? " channel, " : " channels, ") +
                                     std::to_string(rate) + " Hz)");
        std::string data = meta;
        const std::string suffix = ".sigmf-meta";
        if (data.size() > suffix.size() &&
            data.compare(data.size() - suffix.size(), suffix.size(), suffix) == 0)
            data = data.substr(0, data.size() - suffix.size());
        data += ".sigmf-data";
        std::ifstream d(data, std::ios::binary | std::ios::ate);
        if (!d)
            throw std::runtime_error(data + ": cannot open the recording's data file");
        const std::streamoff bytes = d.tellg();
        const std::streamoff instant_bytes = 4 * channels;  // 16-bit I and Q per channel
        if (bytes <= 0)
            throw std::runtime_error(data + ": holds no samples");
        if (bytes % instant_bytes != 0)
            throw std::runtime_error(
                data + ": " + std::to_string(bytes) +
                " bytes are not a whole number of sample instants (" +
                std::to_string(instant_bytes) + " bytes each: " + std::to_string(channels) +
                (channels == 1 ? " channel" : " channels") + " of 16-bit I and Q); cut or damaged");
        const int64_t instants = bytes / instant_bytes;
        // Segments and annotations place themselves in the data: none may lie past its end.
        for (const char* list : {"captures", "annotations"}) {
            if (!m.contains(list) || !m[list].is_array())
                continue;
            for (const nlohmann::json& item : m[list]) {
                const int64_t start = item.value("core:sample_start", int64_t(0));
                const int64_t count = item.value("core:sample_count", int64_t(0));
                if (start < 0 || count < 0 || start + count > instants)
                    throw std::runtime_error(meta + ": describes sample instants up to " +
                                             std::to_string(start + count) + ", but " + data +
                                             " holds " + std::to_string(instants) +
                                             "; the files do not belong together");
            }
        }
        info->instants = instants;
        // The recorder's own description names the receivers' tuning.
        info->tuning_known =
            std::sscanf(g.value("core:description", "").c_str(),
                        "channel k is receiver k, tuned to %d, %d, %d and %d Hz", &info->freq_hz[0],
                        &info->freq_hz[1], &info->freq_hz[2], &info->freq_hz[3]) == 4;
        auto replay = std::make_shared<usbsim::Replay>();
        replay->channels = channels;
        replay->iq.resize(static_cast<size_t>(bytes) / 2);
        d.seekg(0);
        d.read(reinterpret_cast<char*>(replay->iq.data()),
               static_cast<std::streamsize>(replay->iq.size() * 2));
        if (!d)
            throw std::runtime_error(data + ": cannot read the recording's data file");

        usbsim::World& w = usbsim::World::instance();
        int boards = 0;
        for (usbsim::BoardId b = 0; b < w.board_count(); ++b) {
            usbsim::Scene scene;
            scene.replay = replay;
            w.set_scene(b, scene);
            ++boards;
        }
        if (boards == 0) {
            usbsim::Scene scene;
            scene.replay = replay;
            default_board_with(scene);
        }
        return ready();
    } catch (const std::exception& e) {
        std::snprintf(error, error_size, "%s", e.what());
        return -1;
    }
}
