// The process-wide side of the SoapySDR module: which USB bus this process uses (the real one or
// the simulated board), the lock around the receiver module's functions and the device layer,
// and what is known of the board.
#pragma once

#include <SoapySDR/Types.hpp>

#include <cstdint>
#include <mutex>
#include <string>

namespace zalvo_soapy {

// The module's six functions and the device layer serve one caller at a time: every call into
// them from this adapter holds this lock.
std::mutex& module_lock();

// Decides the bus at the first find or make of the process: the simulated board when `args`
// has sim=1 (or ZALVO_SOAPY_SIM=1 is set), the real bus otherwise. The simulator is loaded with
// global symbol scope before the first USB call, so the device layer's calls reach it. Returns
// false with a message when sim=1 comes after the real bus was chosen, or the simulator cannot
// be loaded.
bool choose_bus(const SoapySDR::Kwargs& args, std::string* error);
bool bus_is_simulated();

// The identity of the device open in this process (null: none). find keeps listing it, without
// touching the bus, so that SoapySDR's table of open devices finds it again.
void note_open(const SoapySDR::Kwargs* identity);
bool open_identity(SoapySDR::Kwargs* identity);

// Sample instants the simulated board dropped so far (0 on the real bus).
int64_t simulator_dropped();

// Rescans the bus and describes the first board (the one the module opens): its SoapySDR
// identity, or false when there is none. Hold module_lock().
bool scan_first_board(SoapySDR::Kwargs* identity, int* revision);

// Why the board cannot be opened before the module tries: the images of its revision missing.
// Empty when both are found. Hold module_lock().
std::string missing_images(int revision);

// What zalvo_capture info shows of the first board: revision, image digests on the board and in
// the files, daughterboards. Hold module_lock().
SoapySDR::Kwargs board_report();

// What to do about one of the module's error texts (empty when there is no advice).
std::string advice_for(const std::string& text);

}  // namespace zalvo_soapy
