// Spectrum and waterfall of one receiver's I/Q stream: windowed FFT frames (Blackman-Harris,
// no overlap), their average and peak over the whole run, and a waterfall whose rows each
// average a run of consecutive frames.
#pragma once

#include <cstdint>
#include <vector>

namespace capture {

// FFT length for an output rate: 1024 at 48 kHz, growing with the rate, so every rate shows
// 46.875 Hz per bin and 21.3 ms per frame.
int fft_size_for_rate(int rate_hz);

class SpectrumAnalyzer {
  public:
    // expected_samples: the planned length of the run, which fixes how many frames go into a
    // waterfall row (at most max_rows rows).
    SpectrumAnalyzer(int fft_size, int rate_hz, int64_t expected_samples, int max_rows);
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    // Takes `count` complex samples, interleaved I, Q, full scale 1.0.
    void add(const float* iq, int64_t count);

    int fft_size() const { return n_; }
    int rate_hz() const { return rate_; }
    double bin_hz() const { return double(rate_) / n_; }
    int64_t frames() const { return frames_done_; }
    // Frequency offset of display bin k (0 .. fft_size-1), from -rate/2 upwards.
    double bin_offset_hz(int k) const { return (k - n_ / 2) * bin_hz(); }

    // Levels in dBFS per display bin (a complex tone of amplitude A at a bin centre reads
    // 20 log10 A); empty before the first frame.
    std::vector<float> average_db() const;
    std::vector<float> peak_db() const;

    // Waterfall rows that hold at least one frame, top (earliest) first.
    int rows() const;
    std::vector<float> row_db(int row) const;
    // Signal time at which a row starts, in seconds.
    double row_start_s(int row) const;
    double frame_seconds() const { return double(n_) / rate_; }

  private:
    void run_frame();

    int n_;
    int rate_;
    int64_t planned_frames_;
    int planned_rows_;
    void* plan_ = nullptr;  // fftwf_plan
    float* in_ = nullptr;   // fftwf_complex[n_]
    float* out_ = nullptr;  // fftwf_complex[n_]
    std::vector<float> window_;
    double scale_ = 1;  // 1 / (sum of window)^2
    int fill_ = 0;
    int64_t frames_done_ = 0;
    std::vector<double> sum_;
    std::vector<float> peak_;
    std::vector<float> row_sum_;  // planned_rows_ * n_
    std::vector<int> row_frames_;
};

}  // namespace capture
