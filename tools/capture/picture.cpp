#include "picture.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace capture {

namespace {

// Layout in pixels.
constexpr int WIDTH = 1000;
constexpr int LEFT = 90;
constexpr int RIGHT = 120;
constexpr int PLOT_W = WIDTH - LEFT - RIGHT;
constexpr int SPEC_TOP = 124;  // below a title and up to four lines of subtitle
constexpr int SPEC_H = 230;
constexpr int FALL_TOP = SPEC_TOP + SPEC_H + 62;
constexpr int FALL_H = 360;
constexpr int HEIGHT = FALL_TOP + FALL_H + 56;
constexpr double FONT = 13;

enum class Align { left, centre, right };

void text(cairo_t* cr, double x, double y, const std::string& s, Align align, double size = FONT) {
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    double dx = align == Align::left ? 0 : align == Align::centre ? -e.x_advance / 2 : -e.x_advance;
    cairo_move_to(cr, x + dx, y);
    cairo_show_text(cr, s.c_str());
}

void vertical_text(cairo_t* cr, double x, double y, const std::string& s) {
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_rotate(cr, -M_PI / 2);
    text(cr, 0, 0, s, Align::centre);
    cairo_restore(cr);
}

std::string format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string mhz(int32_t hz) {
    return format("%.6f MHz", hz / 1e6);
}

// Level of one pixel column: the strongest bin that falls into it.
std::vector<float> columns(const std::vector<float>& bins, int width) {
    std::vector<float> out(width);
    const int n = static_cast<int>(bins.size());
    for (int px = 0; px < width; ++px) {
        int a = static_cast<int>(int64_t(px) * n / width);
        int b = std::max(a + 1, static_cast<int>(int64_t(px + 1) * n / width));
        out[px] = *std::max_element(bins.begin() + a, bins.begin() + std::min(b, n));
    }
    return out;
}

float percentile(std::vector<float> v, double q) {
    if (v.empty())
        return -150;
    size_t i = static_cast<size_t>(q * (v.size() - 1));
    std::nth_element(v.begin(), v.begin() + i, v.end());
    return v[i];
}

// A dark-to-bright colour scale (black, purple, red, orange, pale yellow).
void colour(double t, uint8_t rgb[3]) {
    static const double stops[][3] = {{0, 0, 4},      {40, 11, 84},   {101, 21, 110},
                                      {159, 42, 99},  {212, 72, 66},  {245, 125, 21},
                                      {250, 193, 39}, {252, 255, 164}};
    const int last = sizeof stops / sizeof stops[0] - 1;
    t = std::clamp(t, 0.0, 1.0) * last;
    int i = std::min(static_cast<int>(t), last - 1);
    double f = t - i;
    for (int c = 0; c < 3; ++c)
        rgb[c] =
            static_cast<uint8_t>(std::lround(stops[i][c] + f * (stops[i + 1][c] - stops[i][c])));
}

void frequency_axis(cairo_t* cr, int top, int height, double half_span) {
    double step = nice_step(2 * half_span, 10);
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (double f = -std::floor(half_span / step) * step; f <= half_span + 1e-9; f += step) {
        double x = LEFT + (f + half_span) / (2 * half_span) * PLOT_W;
        cairo_move_to(cr, x, top + height);
        cairo_line_to(cr, x, top + height + 5);
        cairo_stroke(cr);
        const double khz = std::fabs(f) < 1e-9 ? 0.0 : f / 1000;
        text(cr, x, top + height + 19, format(step < 1000 ? "%.1f" : "%.0f", khz), Align::centre);
    }
    text(cr, LEFT + PLOT_W / 2.0, top + height + 38, "frequency offset (kHz)", Align::centre);
}

void draw_spectrum(cairo_t* cr, const SpectrumAnalyzer& s, float lo, float hi) {
    const double half = s.rate_hz() / 2.0;
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    cairo_rectangle(cr, LEFT, SPEC_TOP, PLOT_W, SPEC_H);
    cairo_fill(cr);
    auto y_of = [&](double db) {
        return SPEC_TOP + SPEC_H * (hi - std::clamp<double>(db, lo, hi)) / (hi - lo);
    };
    // Grid and level axis.
    cairo_set_line_width(cr, 1);
    double step = nice_step(hi - lo, 8);
    for (double db = std::ceil(lo / step) * step; db <= hi + 1e-9; db += step) {
        double y = std::round(y_of(db)) + 0.5;
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, LEFT, y);
        cairo_line_to(cr, LEFT + PLOT_W, y);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        text(cr, LEFT - 8, y + 4, format("%.0f", db), Align::right);
    }
    double fstep = nice_step(2 * half, 10);
    for (double f = -std::floor(half / fstep) * fstep; f <= half + 1e-9; f += fstep) {
        double x = std::round(LEFT + (f + half) / (2 * half) * PLOT_W) + 0.5;
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, x, SPEC_TOP);
        cairo_line_to(cr, x, SPEC_TOP + SPEC_H);
        cairo_stroke(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    vertical_text(cr, LEFT - 52, SPEC_TOP + SPEC_H / 2.0, "level (dBFS)");

    auto trace = [&](const std::vector<float>& db, double r, double g, double b, double width) {
        if (db.empty())
            return;
        std::vector<float> col = columns(db, PLOT_W);
        cairo_set_source_rgb(cr, r, g, b);
        cairo_set_line_width(cr, width);
        for (int px = 0; px < PLOT_W; ++px) {
            double x = LEFT + px + 0.5, y = y_of(col[px]);
            if (px == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
        }
        cairo_stroke(cr);
    };
    cairo_save(cr);
    cairo_rectangle(cr, LEFT, SPEC_TOP, PLOT_W, SPEC_H);
    cairo_clip(cr);
    trace(s.peak_db(), 0.96, 0.62, 0.35, 1.0);
    trace(s.average_db(), 0.12, 0.30, 0.62, 1.3);
    cairo_restore(cr);

    // Legend.
    cairo_set_line_width(cr, 2);
    double lx = LEFT + PLOT_W - 150, ly = SPEC_TOP + 16;
    cairo_set_source_rgb(cr, 0.12, 0.30, 0.62);
    cairo_move_to(cr, lx, ly - 4);
    cairo_line_to(cr, lx + 22, ly - 4);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 28, ly, "average", Align::left);
    cairo_set_source_rgb(cr, 0.96, 0.62, 0.35);
    cairo_move_to(cr, lx, ly + 14);
    cairo_line_to(cr, lx + 22, ly + 14);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, lx + 28, ly + 18, "peak", Align::left);

    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, LEFT + 0.5, SPEC_TOP + 0.5, PLOT_W - 1, SPEC_H - 1);
    cairo_stroke(cr);
    frequency_axis(cr, SPEC_TOP, SPEC_H, half);
}

void draw_waterfall(cairo_t* cr, const SpectrumAnalyzer& s, const PictureLabels& labels, float lo,
                    float hi) {
    const int rows = s.rows();
    const double half = s.rate_hz() / 2.0;
    const double t_end = rows > 0 ? s.row_start_s(rows) : 0;
    cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, PLOT_W, FALL_H);
    cairo_surface_flush(img);
    unsigned char* data = cairo_image_surface_get_data(img);
    const int stride = cairo_image_surface_get_stride(img);
    std::vector<std::vector<float>> row_cols(rows);
    for (int r = 0; r < rows; ++r)
        row_cols[r] = columns(s.row_db(r), PLOT_W);
    for (int y = 0; y < FALL_H; ++y) {
        uint32_t* line = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        int r = rows > 0 ? static_cast<int>(int64_t(y) * rows / FALL_H) : -1;
        for (int x = 0; x < PLOT_W; ++x) {
            uint8_t rgb[3] = {235, 235, 235};
            if (r >= 0)
                colour((row_cols[r][x] - lo) / (hi - lo), rgb);
            line[x] = (uint32_t(rgb[0]) << 16) | (uint32_t(rgb[1]) << 8) | rgb[2];
        }
    }
    cairo_surface_mark_dirty(img);
    cairo_set_source_surface(cr, img, LEFT, FALL_TOP);
    cairo_paint(cr);
    cairo_surface_destroy(img);

    // Tuning changes.
    cairo_set_line_width(cr, 1);
    for (const TuningChange& c : labels.retunes) {
        if (t_end <= 0 || c.at_s > t_end)
            continue;
        double y = std::round(FALL_TOP + c.at_s / t_end * FALL_H) + 0.5;
        double dash[] = {6, 4};
        cairo_set_dash(cr, dash, 2, 0);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_move_to(cr, LEFT, y);
        cairo_line_to(cr, LEFT + PLOT_W, y);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        text(cr, LEFT + PLOT_W - 6, y - 5, "retuned to " + mhz(c.hz), Align::right);
    }

    // Time axis.
    cairo_set_source_rgb(cr, 0, 0, 0);
    if (t_end > 0) {
        double step = nice_step(t_end, 8);
        for (double t = 0; t <= t_end + 1e-9; t += step) {
            double y = std::round(FALL_TOP + t / t_end * FALL_H) + 0.5;
            cairo_move_to(cr, LEFT - 5, y);
            cairo_line_to(cr, LEFT, y);
            cairo_stroke(cr);
            text(cr, LEFT - 8, y + 4, format(step < 1 ? "%.1f" : "%.0f", t), Align::right);
        }
    }
    vertical_text(cr, LEFT - 52, FALL_TOP + FALL_H / 2.0, "time (s)");
    cairo_rectangle(cr, LEFT + 0.5, FALL_TOP + 0.5, PLOT_W - 1, FALL_H - 1);
    cairo_stroke(cr);
    frequency_axis(cr, FALL_TOP, FALL_H, half);

    // Colour scale.
    const int bx = LEFT + PLOT_W + 18, bw = 16;
    for (int y = 0; y < FALL_H; ++y) {
        uint8_t rgb[3];
        colour(1.0 - double(y) / (FALL_H - 1), rgb);
        cairo_set_source_rgb(cr, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
        cairo_rectangle(cr, bx, FALL_TOP + y, bw, 1);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, bx + 0.5, FALL_TOP + 0.5, bw - 1, FALL_H - 1);
    cairo_stroke(cr);
    double step = nice_step(hi - lo, 8);
    for (double db = std::ceil(lo / step) * step; db <= hi + 1e-9; db += step) {
        double y = FALL_TOP + FALL_H * (hi - db) / (hi - lo);
        text(cr, bx + bw + 6, y + 4, format("%.0f", db), Align::left);
    }
    text(cr, bx + bw / 2.0, FALL_TOP - 8, "level (dBFS)", Align::centre);
}

}  // namespace

PictureLayout picture_layout() {
    return {WIDTH, HEIGHT, LEFT, PLOT_W, SPEC_TOP, SPEC_H, FALL_TOP, FALL_H};
}

void release_picture_caches() {
    cairo_debug_reset_static_data();
    FcFini();
}

double nice_step(double span, int max_ticks) {
    if (!(span > 0) || max_ticks < 1)
        return 1;
    double raw = span / max_ticks;
    double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw)
            return m * p;
    return 10 * p;
}

PictureLevels shared_levels(const std::vector<const SpectrumAnalyzer*>& spectra) {
    // From below the noise floor (a low percentile of the average) to above the strongest peak.
    float noise = 0, top = -200;
    bool any = false;
    for (const SpectrumAnalyzer* s : spectra) {
        std::vector<float> avg = s->average_db(), peak = s->peak_db();
        if (avg.empty())
            continue;
        noise = any ? std::min(noise, percentile(avg, 0.2)) : percentile(avg, 0.2);
        top = std::max(top, *std::max_element(peak.begin(), peak.end()));
        any = true;
    }
    if (!any) {
        noise = -120;
        top = -20;
    }
    PictureLevels l;
    l.spectrum_high = static_cast<float>(std::ceil((top + 5) / 10) * 10);
    l.spectrum_high = std::min(l.spectrum_high, 10.0f);
    l.spectrum_low = static_cast<float>(std::floor((noise - 10) / 10) * 10);
    l.spectrum_low = std::clamp(l.spectrum_low, l.spectrum_high - 160, l.spectrum_high - 40);
    l.colour_low = std::min(noise - 3, top - 30);
    l.colour_high = std::max(top, l.colour_low + 30);
    return l;
}

namespace {

// Draws `s` from (x, y) on, broken at blanks into lines no wider than `width`, at most
// `max_lines` (the last one says how much did not fit). Returns the lines drawn.
int wrapped_text(cairo_t* cr, double x, double y, const std::string& s, double width, double size,
                 double line_height, int max_lines) {
    cairo_set_font_size(cr, size);
    auto fits = [&](const std::string& t) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, t.c_str(), &e);
        return e.x_advance <= width;
    };
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < s.size()) {
        size_t blank = s.find(' ', at);
        std::string word =
            s.substr(at, blank == std::string::npos ? std::string::npos : blank - at);
        at = blank == std::string::npos ? s.size() : blank + 1;
        std::string longer = line.empty() ? word : line + " " + word;
        if (fits(longer) || line.empty()) {
            line = longer;
        } else {
            lines.push_back(line);
            line = word;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    if (static_cast<int>(lines.size()) > max_lines) {
        const size_t cut = static_cast<size_t>(max_lines) - 1;
        lines[cut] = "(" + std::to_string(lines.size() - cut) +
                     " more lines: the program's summary lists every retune)";
        lines.resize(cut + 1);
    }
    for (size_t i = 0; i < lines.size(); ++i)
        text(cr, x, y + i * line_height, lines[i], Align::left, size);
    return static_cast<int>(lines.size());
}

}  // namespace

bool write_picture(const std::string& path, const SpectrumAnalyzer& s, const PictureLabels& labels,
                   const PictureLevels& levels, std::string* error) {
    const float lo = levels.spectrum_low, hi = levels.spectrum_high;
    const float fall_lo = levels.colour_low, fall_hi = levels.colour_high;

    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, WIDTH, HEIGHT);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    cairo_set_source_rgb(cr, 0, 0, 0);
    char title[256];
    std::snprintf(title, sizeof title, "Receiver %d at %s: %d Hz I/Q, %.2f s of signal%s",
                  labels.receiver,
                  labels.tuning_known ? mhz(labels.start_hz).c_str() : "an unknown tuning",
                  s.rate_hz(), labels.seconds, labels.interrupted ? " (interrupted)" : "");
    const int title_lines = wrapped_text(cr, 16, 26, title, WIDTH - 32, 16, 20, 2);
    std::string sub = format("FFT %.0f points", s.fft_size()) +
                      format(", %.3f Hz per bin", s.bin_hz()) +
                      format(", %.1f ms per frame", s.frame_seconds() * 1e3) +
                      ", Blackman-Harris window; 0 dBFS = full-scale complex tone; colours " +
                      format("%.0f", fall_lo) + format(" to %.0f dBFS.", fall_hi);
    for (const TuningChange& c : labels.retunes)
        sub += format(" Retuned at %.2f\xC2\xA0s to ", c.at_s) + mhz(c.hz) + ".";
    wrapped_text(cr, 16, 26 + 20 * title_lines, sub, WIDTH - 32, 12, 15, 5 - title_lines);
    text(cr, LEFT, SPEC_TOP - 8, "spectrum", Align::left);
    text(cr, LEFT, FALL_TOP - 8, "waterfall", Align::left);

    draw_spectrum(cr, s, lo, hi);
    draw_waterfall(cr, s, labels, fall_lo, fall_hi);
    if (s.frames() == 0) {
        const std::string why = format("Too short for one FFT frame: %.0f samples recorded, ",
                                       std::floor(labels.seconds * s.rate_hz() + 0.5)) +
                                format("one frame takes %.0f.", s.fft_size());
        cairo_set_source_rgb(cr, 0.6, 0, 0);
        text(cr, LEFT + PLOT_W / 2.0, SPEC_TOP + SPEC_H / 2.0, why, Align::centre, 15);
        text(cr, LEFT + PLOT_W / 2.0, FALL_TOP + FALL_H / 2.0, why, Align::centre, 15);
    }

    // Written under a temporary name and renamed: a picture is there whole or not at all.
    const std::string temp = path + ".part";
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_write_to_png(surface, temp.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        std::remove(temp.c_str());
        *error = path + ": " + cairo_status_to_string(status);
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace capture
