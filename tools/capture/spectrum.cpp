#include "spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace capture {

namespace {

constexpr double PI = 3.14159265358979323846;

float to_db(double power) {
    return static_cast<float>(10.0 * std::log10(power + 1e-30));
}

}  // namespace

int fft_size_for_rate(int rate_hz) {
    int n = 1024;
    while (n * 48000 < 1024 * rate_hz)
        n *= 2;
    return n;
}

SpectrumAnalyzer::SpectrumAnalyzer(int fft_size, int rate_hz, int64_t expected_samples,
                                   int max_rows)
    : n_(fft_size), rate_(rate_hz) {
    planned_frames_ = std::max<int64_t>(1, expected_samples / n_);
    planned_rows_ = static_cast<int>(std::min<int64_t>(planned_frames_, std::max(1, max_rows)));
    in_ = static_cast<float*>(fftwf_malloc(sizeof(fftwf_complex) * n_));
    out_ = static_cast<float*>(fftwf_malloc(sizeof(fftwf_complex) * n_));
    plan_ = fftwf_plan_dft_1d(n_, reinterpret_cast<fftwf_complex*>(in_),
                              reinterpret_cast<fftwf_complex*>(out_), FFTW_FORWARD, FFTW_ESTIMATE);
    // Four-term Blackman-Harris, periodic: side lobes 92 dB down.
    window_.resize(n_);
    double sum = 0;
    for (int i = 0; i < n_; ++i) {
        double x = 2 * PI * i / n_;
        window_[i] = static_cast<float>(0.35875 - 0.48829 * std::cos(x) +
                                        0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x));
        sum += window_[i];
    }
    scale_ = 1.0 / (sum * sum);
    sum_.assign(n_, 0.0);
    peak_.assign(n_, 0.0f);
    row_sum_.assign(static_cast<size_t>(planned_rows_) * n_, 0.0f);
    row_frames_.assign(planned_rows_, 0);
}

SpectrumAnalyzer::~SpectrumAnalyzer() {
    fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    fftwf_free(in_);
    fftwf_free(out_);
}

void SpectrumAnalyzer::add(const float* iq, int64_t count) {
    while (count > 0) {
        int take = static_cast<int>(std::min<int64_t>(count, n_ - fill_));
        std::memcpy(in_ + 2 * fill_, iq, sizeof(float) * 2 * take);
        fill_ += take;
        iq += 2 * take;
        count -= take;
        if (fill_ == n_) {
            run_frame();
            fill_ = 0;
        }
    }
}

void SpectrumAnalyzer::run_frame() {
    for (int i = 0; i < n_; ++i) {
        in_[2 * i] *= window_[i];
        in_[2 * i + 1] *= window_[i];
    }
    fftwf_execute(static_cast<fftwf_plan>(plan_));
    // Frames past the planned length (a run that goes on) pile into the last row.
    int row = static_cast<int>(
        std::min<int64_t>(frames_done_ * planned_rows_ / planned_frames_, planned_rows_ - 1));
    float* rs = &row_sum_[static_cast<size_t>(row) * n_];
    for (int k = 0; k < n_; ++k) {
        // Display bin k holds FFT bin k - n/2 (negative frequencies first).
        int src = (k + n_ / 2) % n_;
        double re = out_[2 * src], im = out_[2 * src + 1];
        float p = static_cast<float>((re * re + im * im) * scale_);
        sum_[k] += p;
        peak_[k] = std::max(peak_[k], p);
        rs[k] += p;
    }
    ++row_frames_[row];
    ++frames_done_;
}

std::vector<float> SpectrumAnalyzer::average_db() const {
    std::vector<float> db;
    if (frames_done_ == 0)
        return db;
    db.resize(n_);
    for (int k = 0; k < n_; ++k)
        db[k] = to_db(sum_[k] / frames_done_);
    return db;
}

std::vector<float> SpectrumAnalyzer::peak_db() const {
    std::vector<float> db;
    if (frames_done_ == 0)
        return db;
    db.resize(n_);
    for (int k = 0; k < n_; ++k)
        db[k] = to_db(peak_[k]);
    return db;
}

int SpectrumAnalyzer::rows() const {
    int r = 0;
    while (r < planned_rows_ && row_frames_[r] > 0)
        ++r;
    return r;
}

std::vector<float> SpectrumAnalyzer::row_db(int row) const {
    std::vector<float> db(n_);
    const float* rs = &row_sum_[static_cast<size_t>(row) * n_];
    int frames = std::max(1, row_frames_[row]);
    for (int k = 0; k < n_; ++k)
        db[k] = to_db(double(rs[k]) / frames);
    return db;
}

double SpectrumAnalyzer::row_start_s(int row) const {
    // The first frame of a row is the smallest f with f * rows / frames >= row.
    int64_t first = (int64_t(row) * planned_frames_ + planned_rows_ - 1) / planned_rows_;
    return first * frame_seconds();
}

}  // namespace capture
