// Test signals and their measurement (tones, least-squares tone fits, levels in dB) under the
// names the resampler tests use; they live in the test-support library.
#pragma once

#include "signal_measure.h"

namespace testsig {

using support::db;
using support::Fit;
using support::fit_tone;
using support::level_dbfs;
using support::PI;
using support::tone;

}  // namespace testsig
