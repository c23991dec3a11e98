// One receiver's picture: the spectrum (average and peak level against frequency offset) above
// the waterfall (level against frequency offset and time), with labelled axes and a colour scale,
// written as PNG.
#pragma once

#include "spectrum.h"

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

struct TuningChange {
    double at_s;  // signal time
    int32_t hz;
};

struct PictureLabels {
    int receiver = 0;
    int32_t start_hz = 0;               // tuning at the start
    bool tuning_known = true;           // else start_hz means nothing
    std::vector<TuningChange> retunes;  // later tunings of this receiver
    double seconds = 0;                 // signal recorded
    bool interrupted = false;
};

// Where the two plots lie in the picture, in pixels. Both span the same frequency offsets, from
// -rate/2 at plot_left to +rate/2 at plot_left + plot_width; the waterfall's time runs downwards.
struct PictureLayout {
    int width, height;
    int plot_left, plot_width;
    int spectrum_top, spectrum_height;
    int waterfall_top, waterfall_height;
};
PictureLayout picture_layout();

// Level ranges in dBFS: the spectrum's level axis and the waterfall's colour scale.
struct PictureLevels {
    float spectrum_low = -120, spectrum_high = 0;
    float colour_low = -120, colour_high = 0;
};

// Ranges that suit all the given spectra at once, so that the pictures of one run compare
// directly: from below the quietest noise floor to above the strongest peak.
PictureLevels shared_levels(const std::vector<const SpectrumAnalyzer*>& spectra);

// Writes the picture; false with a readable error.
bool write_picture(const std::string& path, const SpectrumAnalyzer& spectrum,
                   const PictureLabels& labels, const PictureLevels& levels, std::string* error);

// Frees the drawing and font libraries' process-wide caches; call once no picture is drawn any
// more (it keeps leak checkers quiet about memory those libraries hold until the end).
void release_picture_caches();

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most `max_ticks` parts.
double nice_step(double span, int max_ticks);

}  // namespace capture
