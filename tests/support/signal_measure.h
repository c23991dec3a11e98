// Test signals and their measurement: tones, least-squares tone fits, levels in dB, a tone's
// amplitude and the strongest tone's frequency in complex samples, breaks in a steady carrier, and
// the down-converter's frequency word. Builds on Linux and in the MinGW cross build.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace support {

constexpr double PI = 3.14159265358979323846;

inline double db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// amplitude * sin(2 pi freq n / rate + phase), n = 0 .. count - 1.
std::vector<float> tone(double freq, double rate, size_t count, double amplitude,
                        double phase = 0.0);

struct Fit {
    double amplitude;
    double phase;     // of amplitude * sin(2 pi f n / rate + phase)
    double residual;  // RMS of what the tone does not explain
};
// Least-squares fit of a sine of known frequency to x[first..].
Fit fit_tone(const std::vector<float>& x, size_t first, double freq, double rate);

// Peak level (sqrt(2) * RMS) of x[first..] in dB relative to full scale 1.0.
double level_dbfs(const std::vector<float>& x, size_t first);

// Receiver samples given as I, Q interleaved floats, as complex values.
std::vector<std::complex<double>> complex_samples(const std::vector<float>& iq);

// Amplitude of the complex tone at freq_hz in x[0, n), Hann-windowed; the vector form measures
// x[start, start + n) (-1 when that passes the end).
double tone_amplitude(const std::complex<float>* x, size_t n, double freq_hz, double rate);
double tone_amplitude(const std::vector<std::complex<float>>& x, size_t start, size_t n,
                      double freq_hz, double rate);

// Frequency (Hz, signed) of the strongest tone in x, searched from -band_hz to +band_hz in steps
// of step_hz.
double strongest_tone(const std::vector<std::complex<double>>& x, double rate, double band_hz,
                      double step_hz);

// Breaks in a steady carrier: samples whose rotation from the sample before, or whose amplitude,
// differs by more than 2 % from the steady one (taken from the first 64 samples); a run of such
// samples counts once. -1 for fewer than 64 samples.
int phase_breaks(const std::vector<std::complex<double>>& x);
int phase_breaks(const std::vector<float>& iq);

// The 32-bit word the FPGA holds for a down-converter frequency: the frequency in units of
// 64 MHz / 2^32, rounded to the nearest step.
uint32_t ddc_word(double hz);

}  // namespace support
