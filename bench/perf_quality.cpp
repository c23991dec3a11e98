#include "perf_quality.h"

#include "signal_measure.h"

#include <algorithm>
#include <cmath>

namespace perf {
namespace {

constexpr double PI = 3.14159265358979323846;

}  // namespace

std::vector<float> run_tone(Resampler& r, int out_rate, double freq, double amplitude,
                            double seconds) {
    const size_t total = static_cast<size_t>(seconds * IN_RATE);
    std::vector<float> in(CHUNK), out, part(CHUNK + 1024);
    for (size_t pos = 0; pos < total; pos += CHUNK) {
        for (size_t i = 0; i < CHUNK; ++i)
            in[i] =
                static_cast<float>(amplitude * std::sin(2 * PI * freq * double(pos + i) / IN_RATE));
        size_t n = r.process(in.data(), CHUNK, part.data(), part.size());
        out.insert(out.end(), part.begin(), part.begin() + static_cast<ptrdiff_t>(n));
    }
    return out;
}

Quality measure_quality(const Contender& c, int out_rate) {
    Quality q{0, 0, 0, 0};
    dsp::KernelPath before = dsp::kernel_path();
    if (c.ours)
        dsp::set_kernel_path(c.path);
    {
        auto r = c.make(out_rate);
        std::vector<float> y = run_tone(*r, out_rate, 5000, 0.5, 0.4);
        double amp = 0, res = 1;
        if (y.size() > 100) {
            const support::Fit f = support::fit_tone(y, y.size() / 4, 5000, out_rate);
            amp = f.amplitude;
            res = f.residual;
        }
        q.snr_db = 20 * std::log10((amp + 1e-30) / (std::sqrt(2.0) * res + 1e-30));
    }
    auto alias = [&](double f) {
        auto r = c.make(out_rate);
        std::vector<float> y = run_tone(*r, out_rate, f, 1.0, 0.2);
        return y.size() > 100 ? support::level_dbfs(y, y.size() / 4) : 0.0;
    };
    q.alias5_db = alias(out_rate / 2.0 + 5000);
    const double edge = 1.1 * out_rate / 2, top = IN_RATE / 2.0 - 1;
    q.alias_db = -400;
    for (int k = 0; k < 16; ++k) {
        // Denser near the edge of the stop band; uneven steps so that the tones do not share
        // one alias pattern.
        double u = (k + 0.37 * (k % 3)) / 16.0;
        double f = k == 15 ? top : edge + (top - edge) * u * u;
        q.alias_db = std::max(q.alias_db, alias(f));
    }
    auto gain = [&](double f) {
        auto r = c.make(out_rate);
        std::vector<float> y = run_tone(*r, out_rate, f, 0.5, 0.1);
        return y.size() > 100 ? support::fit_tone(y, y.size() / 4, f, out_rate).amplitude : 0.0;
    };
    const double ref = gain(1000);
    q.passband_db = 0;
    for (int k = 1; k <= 8; ++k) {
        double dev = std::fabs(20 * std::log10(gain(0.8 * out_rate / 2 * k / 8) / ref));
        q.passband_db = std::max(q.passband_db, dev);
    }
    dsp::set_kernel_path(before);
    return q;
}

}  // namespace perf
