// Shared by the fuzz targets: the input as a file, a fresh simulated board per run, and a check
// that stops the run loudly when a property does not hold.
#pragma once

#include "usbsim.h"
#include "usrp_prims.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Writes the bytes to the target's own scratch file and returns its path.
const std::string& write_input(const uint8_t* data, size_t size);

// The command interface of the session's one warm board of revision 4, with the log cleared and
// no fault pending. The handle belongs to this helper: runs must not close it.
usb_dev_handle* board_for_run(usbsim::BoardId* board);

// Aborts with a message when cond is false.
void check(bool cond, const char* what);

}  // namespace fuzz
