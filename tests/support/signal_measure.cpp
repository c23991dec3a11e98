#include "signal_measure.h"

namespace support {

std::vector<float> tone(double freq, double rate, size_t count, double amplitude, double phase) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2 * PI * freq * double(i) / rate + phase));
    return v;
}

Fit fit_tone(const std::vector<float>& x, size_t first, double freq, double rate) {
    double scc = 0, sss = 0, scs = 0, sxc = 0, sxs = 0;
    for (size_t n = first; n < x.size(); ++n) {
        double a = 2 * PI * freq * double(n) / rate;
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
        double a = 2 * PI * freq * double(n) / rate;
        double e = x[n] - bc * std::cos(a) - bs * std::sin(a);
        res += e * e;
    }
    Fit f;
    f.amplitude = std::hypot(bc, bs);
    f.phase = std::atan2(bc, bs);
    f.residual = std::sqrt(res / double(x.size() - first));
    return f;
}

double level_dbfs(const std::vector<float>& x, size_t first) {
    double sum = 0;
    for (size_t n = first; n < x.size(); ++n)
        sum += double(x[n]) * x[n];
    double rms = std::sqrt(sum / double(x.size() - first));
    return 20 * std::log10(rms * std::sqrt(2.0) + 1e-30);
}

std::vector<std::complex<double>> complex_samples(const std::vector<float>& iq) {
    std::vector<std::complex<double>> z(iq.size() / 2);
    for (size_t i = 0; i < z.size(); ++i)
        z[i] = {iq[2 * i], iq[2 * i + 1]};
    return z;
}

double tone_amplitude(const std::complex<float>* x, size_t n, double freq_hz, double rate) {
    if (n < 2)
        return 0;
    std::complex<double> acc = 0;
    double wsum = 0;
    for (size_t k = 0; k < n; ++k) {
        double w = 0.5 - 0.5 * std::cos(2 * PI * double(k) / double(n - 1));
        double ph = -2 * PI * freq_hz * double(k) / rate;
        acc += w * std::complex<double>(x[k]) * std::complex<double>(std::cos(ph), std::sin(ph));
        wsum += w;
    }
    return std::abs(acc) / wsum;
}

double tone_amplitude(const std::vector<std::complex<float>>& x, size_t start, size_t n,
                      double freq_hz, double rate) {
    if (start + n > x.size())
        return -1;
    return tone_amplitude(x.data() + start, n, freq_hz, rate);
}

double strongest_tone(const std::vector<std::complex<double>>& x, double rate, double band_hz,
                      double step_hz) {
    double best = 0, best_power = -1;
    for (double f = -band_hz; f <= band_hz; f += step_hz) {
        std::complex<double> acc = 0, rot = 1;
        const std::complex<double> turn = std::polar(1.0, -2 * PI * f / rate);
        for (const auto& v : x) {
            acc += v * rot;
            rot *= turn;
        }
        if (std::norm(acc) > best_power) {
            best_power = std::norm(acc);
            best = f;
        }
    }
    return best;
}

int phase_breaks(const std::vector<std::complex<double>>& x) {
    if (x.size() < 64)
        return -1;
    std::complex<double> step = 0;
    double amplitude = 0;
    for (size_t i = 1; i < 64; ++i) {
        step += x[i] * std::conj(x[i - 1]) / std::norm(x[i - 1]);
        amplitude += std::abs(x[i]);
    }
    step /= 63.0;
    amplitude /= 63.0;
    int breaks = 0;
    bool in_break = false;
    for (size_t i = 1; i < x.size(); ++i) {
        const bool bad = std::abs(x[i] - x[i - 1] * step) > 0.02 * amplitude ||
                         std::fabs(std::abs(x[i]) - amplitude) > 0.02 * amplitude;
        breaks += bad && !in_break;
        in_break = bad;
    }
    return breaks;
}

int phase_breaks(const std::vector<float>& iq) {
    return phase_breaks(complex_samples(iq));
}

uint32_t ddc_word(double hz) {
    return static_cast<uint32_t>(static_cast<int32_t>(std::llround(hz / 64e6 * 4294967296.0)));
}

}  // namespace support
