// Quality of a resampler, measured the same way for every contender: chunks of 4096 samples of
// one tone at 500 kHz, the output after its first quarter (past every contender's delay).
#pragma once

#include "perf_resamplers.h"

namespace perf {

struct Quality {
    double snr_db;       // 5 kHz tone at half scale: tone power over the power of everything else
    double alias_db;     // worst output level of full-scale tones from 1.1 x the output Nyquist
                         // frequency up to 250 kHz (16 tones), dBFS
    double alias5_db;    // full-scale tone at output Nyquist + 5 kHz: output level, dBFS
    double passband_db;  // largest gain deviation up to 0.8 x Nyquist (8 tones) from the gain at
                         // 1 kHz
};

Quality measure_quality(const Contender& c, int out_rate);

// Output of r for `seconds` of a tone, fed in CHUNK-sample pieces.
std::vector<float> run_tone(Resampler& r, int out_rate, double freq, double amplitude,
                            double seconds);

}  // namespace perf
