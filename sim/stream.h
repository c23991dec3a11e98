// The FPGA's receive stream: per sample instant, for each channel, I then Q as signed 16-bit
// little-endian, computed analytically from the scene, the down-converters and the codec gains.
// Portable C++; no knowledge of USB.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usbsim.h"

namespace usbsim {
namespace detail {

// What the FPGA and codec registers say about the stream, decoded.
struct StreamSettings {
    int channels = 0;         // 1..4
    uint32_t decimation = 1;  // converter clocks per output instant
    std::array<uint32_t, 4> freq_word{};
    std::array<uint32_t, 4> phase_word{};
    std::array<int, 4> input_i{};     // converter input read as I by each channel
    std::array<int, 4> input_q{};     // ... as Q, or -1 for none
    std::array<double, 4> gain_db{};  // per converter input
    std::shared_ptr<const Scene> scene;

    int instant_bytes() const { return 4 * channels; }
    double rate() const { return ADC_CLOCK_HZ / decimation; }
};

class Stream {
  public:
    static constexpr int BLOCK = 256;  // instants computed at a time

    Stream();
    // Held by the one bulk transfer that reads this stream.
    std::mutex mutex;
    // The board's settings version the generator was last configured from.
    uint64_t version = 0;

    // Takes new settings; phases of carriers and down-converters run on unbroken.
    void configure(const StreamSettings& settings);
    const StreamSettings& settings() const { return settings_; }
    // The rest of an instant whose first bytes were handed out already.
    size_t partial_bytes() const;
    // Writes exactly `length` bytes: the partial instant, then whole instants (the last perhaps
    // in part). Instants are computed in blocks on a fixed grid, so the bytes do not depend on
    // how a stream is cut into reads.
    void produce(uint8_t* out, size_t length);
    // Lets `instants` whole sample instants pass unseen (dropped by an overrun); a partly handed
    // out instant is completed first, so the stream stays aligned.
    void skip(uint64_t instants);
    // Forgets everything computed ahead (the receive path restarted).
    void flush() {
        buf_.clear();
        pos_ = 0;
    }

  private:
    struct Component {
        int carrier;
        int sign;                // +1: the carrier's positive-frequency half, -1: its image
        float coef_re, coef_im;  // amplitude times 1, j or 1+j
        double step;             // cycles per instant
        std::vector<float> rot_re, rot_im;  // e^(j 2 pi step n), n < BLOCK
    };
    struct Channel {
        std::vector<Component> components;
        int noise_i = -1, noise_q = -1;
        float sigma_i = 0, sigma_q = 0;
    };
    struct Keying {
        std::vector<uint8_t> units;  // on/off per Morse unit; empty: always on
        double unit_seconds = 0;
    };

    void build();
    void compute_block(int16_t* out, int n);
    void advance(uint64_t instants);
    void rewind(uint64_t instants);
    size_t ahead_instants() const;  // whole instants computed and not yet touched

    StreamSettings settings_;
    std::shared_ptr<const Scene> built_scene_;
    std::vector<Keying> keying_;
    std::array<Channel, 4> channels_;
    std::array<std::vector<float>, 4> noise_;  // per converter input: re, im interleaved
    uint32_t noise_seed_ = 0;
    bool noise_built_ = false;

    // Running state: the next instant to compute.
    uint64_t instant_ = 0;               // instants since the stream began (noise table position)
    uint64_t tick_ = 0;                  // converter clocks since the stream began (keying time)
    std::vector<double> carrier_phase_;  // cycles, in [0, 1)
    std::vector<double> carrier_step_;   // cycles per instant, in [0, 1)
    std::array<uint32_t, 4> nco_{};      // down-converter phase accumulators

    // Computed instants (whole ones of the settings in force, after perhaps the rest of one of
    // earlier settings) and the read position in them.
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    size_t partial_ = 0;  // bytes at pos_ that finish an instant already begun
};

// Decodes a Morse text into on/off units (dot 1 on, dash 3 on, 1 off inside a letter, 3 between
// letters, 7 between words and at the end of the text). Unknown characters are skipped.
std::vector<uint8_t> morse_units(const std::string& text);

}  // namespace detail
}  // namespace usbsim
