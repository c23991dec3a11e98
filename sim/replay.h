// A board streaming a recording (Scene::replay) instead of its scene.
#pragma once

#include <cstdint>

#include "usbsim.h"

namespace usbsim {
namespace detail {

// Writes instants [first, first + n) of the recording for `nch` channels into `out` (I, Q per
// channel per instant).
void replay_block(const Replay& replay, uint64_t first, int16_t* out, int n, int nch);

}  // namespace detail
}  // namespace usbsim
