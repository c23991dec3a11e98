// The raw recording: the board's own stream below the module (four receivers interleaved at
// 500 kHz, 16-bit I/Q as delivered) as one SigMF recording, raw.sigmf-data and raw.sigmf-meta.
#pragma once

#include "options.h"
#include "plugins.h"
#include "session.h"

namespace capture {

constexpr int RAW_RATE_HZ = 500000;

int run_raw(const Options& o, zalvo_capture_raw_fn record, const RunContext& context);

}  // namespace capture
