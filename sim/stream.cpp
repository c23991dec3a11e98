#include "stream.h"
#include "replay.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the stream is written in host byte order, which must be little-endian"
#endif

namespace usbsim {
namespace detail {
namespace {

constexpr double TWO_PI = 6.283185307179586476925286766559;
constexpr int NOISE_TABLE = 1 << 16;  // complex samples per converter input, used cyclically

double frac(double x) {
    return x - std::floor(x);
}

// Wraps a frequency in cycles per sample into [-0.5, 0.5).
double wrap_half(double x) {
    return x - std::floor(x + 0.5);
}

// Small deterministic generator, so that a seed gives the same noise on every platform.
struct XorShift {
    uint64_t s;
    explicit XorShift(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    double uniform() { return (double(next() >> 11) + 0.5) / 9007199254740992.0; }
};

const char* morse_code(char c) {
    static const char* letters[26] = {".-",   "-...", "-.-.", "-..",  ".",    "..-.", "--.",
                                      "....", "..",   ".---", "-.-",  ".-..", "--",   "-.",
                                      "---",  ".--.", "--.-", ".-.",  "...",  "-",    "..-",
                                      "...-", ".--",  "-..-", "-.--", "--.."};
    static const char* digits[10] = {"-----", ".----", "..---", "...--", "....-",
                                     ".....", "-....", "--...", "---..", "----."};
    if (c >= 'A' && c <= 'Z')
        return letters[c - 'A'];
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    switch (c) {
        case '/': return "-..-.";
        case '?': return "..--..";
        case '.': return ".-.-.-";
        case ',': return "--..--";
        case '=': return "-...-";
        default: return nullptr;
    }
}

}  // namespace

std::vector<uint8_t> morse_units(const std::string& text) {
    std::vector<uint8_t> u;
    bool letter_before = false;
    for (char raw : text) {
        char c = char(std::toupper(static_cast<unsigned char>(raw)));
        if (c == ' ') {
            if (letter_before)
                u.insert(u.end(), 4, 0);  // 3 already there: 7 between words
            letter_before = false;
            continue;
        }
        const char* code = morse_code(c);
        if (!code)
            continue;
        for (const char* p = code; *p; ++p) {
            u.insert(u.end(), *p == '.' ? 1 : 3, 1);
            u.push_back(0);
        }
        u.insert(u.end(), 2, 0);  // 1 after the last element + 2: 3 between letters
        letter_before = true;
    }
    if (!u.empty() && letter_before)
        u.insert(u.end(), 4, 0);  // a word gap before repeating
    return u;
}

Stream::Stream() = default;

void Stream::configure(const StreamSettings& settings) {
    // Instants computed ahead under the old settings are taken back, so that the new settings
    // apply from the first instant not yet handed out.
    const size_t ahead = ahead_instants();
    if (ahead) {
        buf_.resize(pos_ + partial_);
        rewind(ahead);
    }
    settings_ = settings;
    build();
}

size_t Stream::partial_bytes() const {
    return partial_;
}

size_t Stream::ahead_instants() const {
    if (settings_.channels <= 0)
        return 0;
    return (buf_.size() - pos_ - partial_) / size_t(settings_.instant_bytes());
}

void Stream::build() {
    const Scene empty;
    const Scene& scene = settings_.scene ? *settings_.scene : empty;
    if (built_scene_ != settings_.scene) {
        // A new scene: carriers start at phase 0 at the current instant.
        built_scene_ = settings_.scene;
        carrier_phase_.assign(scene.carriers.size(), 0.0);
        keying_.assign(scene.carriers.size(), Keying{});
        for (size_t c = 0; c < scene.carriers.size(); ++c) {
            const Carrier& car = scene.carriers[c];
            if (!car.morse.empty() && car.wpm > 0) {
                keying_[c].units = morse_units(car.morse);
                keying_[c].unit_seconds = 1.2 / car.wpm;
            }
        }
        if (!noise_built_ || noise_seed_ != scene.seed) {
            for (int in = 0; in < 4; ++in) {
                XorShift rng(uint64_t(scene.seed) * 4 + uint64_t(in) + 1);
                std::vector<float>& t = noise_[in];
                t.resize(2 * NOISE_TABLE);
                for (int i = 0; i < NOISE_TABLE; ++i) {
                    // Box-Muller: two independent unit-variance Gaussians per pair of uniforms.
                    double r = std::sqrt(-2.0 * std::log(rng.uniform()));
                    double a = TWO_PI * rng.uniform();
                    t[2 * i] = float(r * std::cos(a));
                    t[2 * i + 1] = float(r * std::sin(a));
                }
            }
            noise_seed_ = scene.seed;
            noise_built_ = true;
        }
    }

    const double D = settings_.decimation;
    carrier_step_.resize(scene.carriers.size());
    for (size_t c = 0; c < scene.carriers.size(); ++c)
        carrier_step_[c] = frac(scene.carriers[c].freq_hz / ADC_CLOCK_HZ * D);

    for (int k = 0; k < 4; ++k) {
        Channel& ch = channels_[k];
        ch.components.clear();
        ch.noise_i = ch.noise_q = -1;
        if (k >= settings_.channels)
            continue;
        const int in_i = settings_.input_i[k], in_q = settings_.input_q[k];
        if (scene.noise_dbfs) {
            auto sigma = [&](int in) {
                return float(NOISE_AMPLITUDE *
                             std::pow(10.0, (*scene.noise_dbfs + settings_.gain_db[in]) / 20));
            };
            ch.noise_i = in_i;
            ch.sigma_i = sigma(in_i);
            if (in_q >= 0) {
                ch.noise_q = in_q;
                ch.sigma_q = sigma(in_q);
            }
        }
        const double nco_freq =
            double(int32_t(settings_.freq_word[k])) / 4294967296.0;  // cycles/clock
        for (size_t c = 0; c < scene.carriers.size(); ++c) {
            const Carrier& car = scene.carriers[c];
            const bool on_i = car.input == in_i, on_q = car.input == in_q;
            if (!on_i && !on_q)
                continue;
            const double amp = TONE_AMPLITUDE *
                               std::pow(10.0, (car.level_dbfs + settings_.gain_db[car.input]) / 20);
            for (int sign : {+1, -1}) {
                // Frequency after the mixer, folded into the converter's Nyquist band.
                double per_clock = wrap_half(sign * car.freq_hz / ADC_CLOCK_HZ + nco_freq);
                double per_instant = per_clock * D;
                if (per_instant < -0.5 || per_instant >= 0.5)
                    continue;  // outside the decimated band
                Component comp;
                comp.carrier = int(c);
                comp.sign = sign;
                comp.coef_re = float(on_i ? amp : 0.0);
                comp.coef_im = float(on_q ? amp : 0.0);
                comp.step = per_instant;
                comp.rot_re.resize(BLOCK);
                comp.rot_im.resize(BLOCK);
                for (int n = 0; n < BLOCK; ++n) {
                    double ph = TWO_PI * frac(per_instant * n);
                    comp.rot_re[n] = float(std::cos(ph));
                    comp.rot_im[n] = float(std::sin(ph));
                }
                ch.components.push_back(std::move(comp));
            }
        }
    }
}

void Stream::advance(uint64_t n) {
    const double nd = double(n);
    for (size_t c = 0; c < carrier_phase_.size(); ++c)
        carrier_phase_[c] = frac(carrier_phase_[c] + frac(carrier_step_[c] * nd));
    const uint32_t n32 = uint32_t(n);
    for (int k = 0; k < 4; ++k)
        nco_[k] += settings_.freq_word[k] * settings_.decimation * n32;
    instant_ += n;
    tick_ += n * settings_.decimation;
}

void Stream::rewind(uint64_t n) {
    const double nd = double(n);
    for (size_t c = 0; c < carrier_phase_.size(); ++c)
        carrier_phase_[c] = frac(carrier_phase_[c] - frac(carrier_step_[c] * nd));
    const uint32_t n32 = uint32_t(n);
    for (int k = 0; k < 4; ++k)
        nco_[k] -= settings_.freq_word[k] * settings_.decimation * n32;
    instant_ -= n;
    tick_ -= n * settings_.decimation;
}

void Stream::skip(uint64_t instants) {
    const size_t ib = size_t(settings_.instant_bytes());
    const uint64_t ahead = ahead_instants();
    const uint64_t from_buffer = std::min<uint64_t>(instants, ahead);
    const size_t at = pos_ + partial_;
    buf_.erase(buf_.begin() + long(at), buf_.begin() + long(at + size_t(from_buffer) * ib));
    advance(instants - from_buffer);
}

void Stream::compute_block(int16_t* out, int n) {
    const int nch = settings_.channels;
    if (settings_.scene && settings_.scene->replay) {
        replay_block(*settings_.scene->replay, instant_, out, n, nch);
        advance(uint64_t(n));
        return;
    }
    const double seconds = double(tick_) / ADC_CLOCK_HZ;
    alignas(32) float re[BLOCK], im[BLOCK];
    for (int k = 0; k < nch; ++k) {
        const Channel& ch = channels_[k];
        // Noise floor.
        if (ch.noise_i >= 0) {
            const float* t = noise_[ch.noise_i].data();
            const float s = ch.sigma_i;
            size_t pos = size_t(instant_ % NOISE_TABLE);
            for (int i = 0; i < n; ++i) {
                size_t p = (pos + size_t(i)) & (NOISE_TABLE - 1);
                re[i] = s * t[2 * p];
                im[i] = s * t[2 * p + 1];
            }
            if (ch.noise_q >= 0) {
                // The Q input's noise, times j (the same samples when both are one input).
                const float* q = noise_[ch.noise_q].data();
                const float sq = ch.sigma_q;
                for (int i = 0; i < n; ++i) {
                    size_t p = (pos + size_t(i)) & (NOISE_TABLE - 1);
                    re[i] -= sq * q[2 * p + 1];
                    im[i] += sq * q[2 * p];
                }
            }
        } else {
            std::fill(re, re + n, 0.0f);
            std::fill(im, im + n, 0.0f);
        }
        // Carriers.
        const double nco_cycles =
            double(uint32_t(nco_[k] + settings_.phase_word[k])) / 4294967296.0;
        for (const Component& c : ch.components) {
            const Keying& key = keying_[size_t(c.carrier)];
            if (!key.units.empty()) {
                uint64_t unit = uint64_t(seconds / key.unit_seconds);
                if (!key.units[size_t(unit % key.units.size())])
                    continue;
            }
            double ph = TWO_PI * frac(c.sign * carrier_phase_[size_t(c.carrier)] + nco_cycles);
            const float pr = float(std::cos(ph)), pi = float(std::sin(ph));
            const float ar = c.coef_re * pr - c.coef_im * pi;
            const float ai = c.coef_re * pi + c.coef_im * pr;
            const float* rr = c.rot_re.data();
            const float* ri = c.rot_im.data();
            for (int i = 0; i < n; ++i) {
                re[i] += ar * rr[i] - ai * ri[i];
                im[i] += ar * ri[i] + ai * rr[i];
            }
        }
        // Quantise with saturation; adding 1.5 * 2^23 rounds to nearest in the low bits.
        for (int i = 0; i < n; ++i) {
            float r = std::min(std::max(re[i], -32768.0f), 32767.0f) + 12582912.0f;
            float q = std::min(std::max(im[i], -32768.0f), 32767.0f) + 12582912.0f;
            int32_t rb, qb;
            std::memcpy(&rb, &r, 4);
            std::memcpy(&qb, &q, 4);
            out[(i * nch + k) * 2] = int16_t(rb - 0x4B400000);
            out[(i * nch + k) * 2 + 1] = int16_t(qb - 0x4B400000);
        }
    }
    advance(uint64_t(n));
}

void Stream::produce(uint8_t* out, size_t length) {
    const size_t ib = size_t(settings_.instant_bytes());
    size_t done = 0;
    while (done < length) {
        if (pos_ == buf_.size()) {
            if (settings_.channels <= 0)
                return;
            buf_.resize(size_t(BLOCK) * ib);
            pos_ = 0;
            partial_ = 0;
            compute_block(reinterpret_cast<int16_t*>(buf_.data()), BLOCK);
        }
        const size_t n = std::min(buf_.size() - pos_, length - done);
        std::memcpy(out + done, buf_.data() + pos_, n);
        // What is left of the instant being handed out.
        if (n <= partial_) {
            partial_ -= n;
        } else {
            const size_t beyond = n - partial_;
            partial_ = (ib - beyond % ib) % ib;
        }
        pos_ += n;
        done += n;
    }
}

}  // namespace detail
}  // namespace usbsim
