// Shared between the signal-processing sources; not part of the layer's interface.
#pragma once

namespace dsp {

// Adjusts the count behind live_allocations().
void count_block(long delta);

}  // namespace dsp
