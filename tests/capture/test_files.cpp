#include "test_files.h"

#include <png.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace capture_test {

namespace {

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)),
                                      std::istreambuf_iterator<char>());
}

}  // namespace

Wav read_wav(const std::string& path) {
    Wav w;
    std::vector<unsigned char> b = read_bytes(path);
    w.file_bytes = b.size();
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        w.problem = "not a RIFF/WAVE file";
        return w;
    }
    w.riff_size = le32(&b[4]);
    if (uint64_t(w.riff_size) + 8 != b.size()) {
        w.problem = "RIFF size " + std::to_string(w.riff_size) + " does not match the file size " +
                    std::to_string(b.size());
        return w;
    }
    bool fmt = false, data = false;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        uint32_t size = le32(&b[pos + 4]);
        const unsigned char* body = &b[pos + 8];
        if (pos + 8 + uint64_t(size) > b.size()) {
            w.problem = "chunk " + std::string(reinterpret_cast<const char*>(&b[pos]), 4) +
                        " runs past the end of the file";
            return w;
        }
        if (std::memcmp(&b[pos], "fmt ", 4) == 0 && size >= 16) {
            fmt = true;
            w.format_tag = le16(body);
            w.channels = le16(body + 2);
            w.rate = le32(body + 4);
            w.byte_rate = le32(body + 8);
            w.block_align = le16(body + 12);
            w.bits = le16(body + 14);
            if (w.format_tag == 0xFFFE && size >= 40)
                w.subformat = le16(body + 24);
        } else if (std::memcmp(&b[pos], "fact", 4) == 0 && size >= 4) {
            w.has_fact = true;
            w.fact_frames = le32(body);
        } else if (std::memcmp(&b[pos], "data", 4) == 0) {
            data = true;
            w.data_offset = pos + 8;
            w.data_bytes = size;
            w.samples.resize(size / 4);
            if (!w.samples.empty())
                std::memcpy(w.samples.data(), body, w.samples.size() * 4);
        }
        pos += 8 + size + (size & 1);
    }
    if (!fmt || !data) {
        w.problem = !fmt ? "no fmt chunk" : "no data chunk";
        return w;
    }
    w.ok = true;
    return w;
}

int Png::luma(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000;
}

Png read_png(const std::string& path) {
    Png out;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        out.problem = image.message;
        return out;
    }
    image.format = PNG_FORMAT_RGB;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        out.problem = image.message;
        png_image_free(&image);
        return out;
    }
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.ok = true;
    return out;
}

double tone_db(const std::vector<float>& iq, int rate, double hz, size_t first, size_t count) {
    std::complex<double> sum = 0;
    const double w = -2 * M_PI * hz / rate;
    for (size_t i = 0; i < count; ++i) {
        std::complex<double> z(iq[2 * (first + i)], iq[2 * (first + i) + 1]);
        sum += z * std::polar(1.0, w * double(first + i));
    }
    return 20 * std::log10(std::abs(sum) / double(count) + 1e-20);
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint64_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace capture_test
