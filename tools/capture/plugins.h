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
// What a raw recording holds, as its files say.
typedef struct {
    int64_t instants;    // sample instants in the data file
    int tuning_known;    // the meta file says how the receivers were tuned
    int32_t freq_hz[4];  // ... to these frequencies
} zalvo_capture_replay_info;
// Every simulated board streams the raw recording of a SigMF meta file instead of its scene.
// A data file that is not a whole number of instants, or that the meta file describes past its
// end, is refused. 0 with `info` filled, or -1 with a message in `error`.
typedef int (*zalvo_capture_sim_replay_fn)(const char* meta_path, zalvo_capture_replay_info* info,
                                           char* error, size_t error_size);
// Sample instants the simulated boards dropped because the reader fell behind.
typedef int64_t (*zalvo_capture_sim_dropped_fn)(void);

// The board's own stream, below the module: four receivers at 500 kHz, 16-bit I/Q per receiver
// per instant as the bulk endpoint delivers it.
typedef struct {
    int32_t freq_hz[4];  // tuning of each receiver
    int64_t instants;    // sample instants to record
    // Each piece of the stream, whole instants; a nonzero return ends the recording.
    int (*data)(void* context, const void* bytes, size_t size);
    // A read that found the board's overrun flag set, after `instant` instants were recorded.
    void (*overrun)(void* context, int64_t instant);
    void* context;
    int64_t recorded;  // out: instants handed to `data`
    int stalled;       // out: the board stopped delivering
    char error[256];   // out: why the board could not be started
} zalvo_capture_raw_request;
// 0 once the recording ended (see `recorded`, `stalled`), -1 when the board could not be
// started (see `error`).
typedef int (*zalvo_capture_raw_fn)(zalvo_capture_raw_request* request);

// Writes one line of text per call to `line`. Returns the number of boards found.
typedef int (*zalvo_capture_board_report_fn)(void (*line)(void* context, const char* text),
                                             void* context);

// The first board on the bus and the image files the device layer would load for it, found as
// the device layer finds them (USRP_PATH when set, then the system's folders), paths written
// the system's way.
typedef struct {
    int boards;               // on the bus now
    int revision;             // of the first board; -1 when there is none
    char firmware[512];       // the file found; empty when there is none
    char fpga[512];           // the same for the FPGA bitstream
    char firmware_root[512];  // the search folder the firmware was found under
    char missing[64];         // the first image not found ("std.ihx"), or empty
    char tried[2048];         // the paths tried for it, in order, each in double quotes
} zalvo_capture_board_images;
// Fills `images`; the number of boards on the bus.
typedef int (*zalvo_capture_find_images_fn)(zalvo_capture_board_images* images);
}

#define ZALVO_CAPTURE_SIM_SETUP "zalvo_capture_sim_setup"
#define ZALVO_CAPTURE_SIM_DROPPED "zalvo_capture_sim_dropped"
#define ZALVO_CAPTURE_SIM_REPLAY "zalvo_capture_sim_replay"
#define ZALVO_CAPTURE_BOARD_REPORT "zalvo_capture_board_report"
#define ZALVO_CAPTURE_RAW_RECORD "zalvo_capture_raw_record"
#define ZALVO_CAPTURE_FIND_IMAGES "zalvo_capture_find_images"
