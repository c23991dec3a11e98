// Test signals and their measurement: tones, least-squares tone fits, levels in dB.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace testsig {

constexpr double PI = 3.14159265358979323846;

inline std::vector<float> tone(double freq, double rate, size_t count, double amplitude,
                               double phase = 0.0) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2 * PI * freq * i / rate + phase));
    return v;
}

struct Fit {
    double amplitude;
    double phase;     // of amplitude * sin(2 pi f n / rate + phase)
    double residual;  // RMS of what the tone does not explain
};

// Least-squares fit of a sine of known frequency to x[first..].
inline Fit fit_tone(const std::vector<float>& x, size_t first, double freq, double rate) {
    double scc = 0, sss = 0, scs = 0, sxc = 0, sxs = 0;
    for (size_t n = first; n < x.size(); ++n) {
        double a = 2 * PI * freq * n / rate;
        double c = std::cos(a), s = std::sin(a);
        scc += c * c;
        sss += s * s;
        scs += c * s;
        sxc += x[n] * c;
        sxs += x[n] * s;
    }
    double det = scc * sss - scs * scs;
    double bc = (sxc * sss - sxs * scs) / det;  // cosine weight
    double bs = (sxs * scc - sxc * scs) / det;  // sine weight
    double res = 0;
    for (size_t n = first; n < x.size(); ++n) {
        double a = 2 * PI * freq * n / rate;
        double e = x[n] - bc * std::cos(a) - bs * std::sin(a);
        res += e * e;
    }
    Fit f;
    f.amplitude = std::hypot(bc, bs);
    f.phase = std::atan2(bc, bs);
    f.residual = std::sqrt(res / double(x.size() - first));
    return f;
}

// Peak level (sqrt(2) * RMS) of x[first..] in dB relative to full scale 1.0.
inline double level_dbfs(const std::vector<float>& x, size_t first) {
    double sum = 0;
    for (size_t n = first; n < x.size(); ++n)
        sum += double(x[n]) * x[n];
    double rms = std::sqrt(sum / double(x.size() - first));
    return 20 * std::log10(rms * std::sqrt(2.0) + 1e-30);
}

inline double db(double ratio) {
    return 20 * std::log10(ratio);
}

}  // namespace testsig
