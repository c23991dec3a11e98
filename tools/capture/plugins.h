// The two helper libraries the capture tool loads at run time, and what they export.
//
// The simulator bridge links the simulated USB library; the tool loads it with global symbol
// scope before it loads the receiver module, so the module's USB calls reach the simulated board.
// The board report links the device layer; loaded after the bridge it looks at the simulated
// bus, otherwise at the real one. The tool itself links no USB library, so either choice holds.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Builds the simulated world: a scene file describing buses and boards replaces the world; a
// file with only signal lines (noise, seed, carrier) puts that scene on the default board; no
// file (null or empty) leaves the simulator's own default (or USBSIM_SCENE). 0, or -1 with a
// message in `error`.
typedef int (*zalvo_capture_sim_setup_fn)(const char* scene_path, char* error, size_t error_size);
// Sample instants the simulated boards dropped because the reader fell behind.
typedef int64_t (*zalvo_capture_sim_dropped_fn)(void);

// Writes one line of text per call to `line`. Returns the number of boards found.
typedef int (*zalvo_capture_board_report_fn)(void (*line)(void* context, const char* text),
                                             void* context);
}

#define ZALVO_CAPTURE_SIM_SETUP "zalvo_capture_sim_setup"
#define ZALVO_CAPTURE_SIM_DROPPED "zalvo_capture_sim_dropped"
#define ZALVO_CAPTURE_BOARD_REPORT "zalvo_capture_board_report"
