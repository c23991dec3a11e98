#include "wav_file.h"

#include "sys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace capture {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are written as in memory");

namespace {

constexpr int64_t FRAME_BYTES = 8;  // I and Q, 32-bit float each

int64_t seek(int fd, int64_t offset) {
#ifdef _WIN32
    return _lseeki64(fd, offset, SEEK_SET);
#else
    return lseek(fd, offset, SEEK_SET);
#endif
}

// Writes all of `size` bytes; false with errno set (0 when nothing could be written).
bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const auto n = ::write(fd, p, static_cast<unsigned>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

class Bytes {
  public:
    explicit Bytes(std::vector<unsigned char>* out) : out_(out) {}
    Bytes& tag(const char* four) { return bytes(reinterpret_cast<const unsigned char*>(four), 4); }
    // Byte by byte: GCC 12 at -O3 takes a range insert into the growing vector for an overflow.
    Bytes& bytes(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out_->push_back(p[i]);
        return *this;
    }
    Bytes& u16(uint32_t v) { return le(v, 2); }
    Bytes& u32(uint64_t v) { return le(v, 4); }
    Bytes& u64(uint64_t v) { return le(v, 8); }
    Bytes& zeros(size_t n) {
        out_->resize(out_->size() + n, 0);
        return *this;
    }

  private:
    Bytes& le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            out_->push_back(static_cast<unsigned char>(v >> (8 * i)));
        return *this;
    }
    std::vector<unsigned char>* out_;
};

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT as it is stored.
const unsigned char FLOAT_SUBFORMAT[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
constexpr size_t DS64_BYTES = 28;  // RIFF size, data size, sample count (64-bit), table length

}  // namespace

WavFile::~WavFile() {
    close();
}

std::vector<unsigned char> WavFile::header() const {
    const uint64_t data = static_cast<uint64_t>(frames_) * FRAME_BYTES;
    std::vector<unsigned char> h;
    Bytes b(&h);
    if (!extensible_) {
        // The plain header: data at byte 88, behind a pad chunk (as libsndfile lays it out).
        b.tag("RIFF").u32(80 + data).tag("WAVE");
        b.tag("fmt ").u32(16).u16(3).u16(2).u32(rate_).u32(uint64_t(rate_) * FRAME_BYTES);
        b.u16(FRAME_BYTES).u16(32);
        b.tag("fact").u32(4).u32(static_cast<uint64_t>(frames_));
        b.tag("PAD ").u32(24).zeros(24);
        b.tag("data").u32(data);
        return h;
    }
    const uint64_t riff = 4 + (8 + DS64_BYTES) + (8 + 40) + (8 + 4) + 8 + data;
    const bool rf64 = riff > riff_limit_;
    if (rf64) {
        b.tag("RF64").u32(0xFFFFFFFFu).tag("WAVE");
        b.tag("ds64").u32(DS64_BYTES).u64(riff).u64(data).u64(static_cast<uint64_t>(frames_));
        b.u32(0);
    } else {
        // Room for the ds64 chunk that replaces this one once the file passes the limit.
        b.tag("RIFF").u32(riff).tag("WAVE");
        b.tag("JUNK").u32(DS64_BYTES).zeros(DS64_BYTES);
    }
    b.tag("fmt ").u32(40).u16(0xFFFE).u16(2).u32(rate_).u32(uint64_t(rate_) * FRAME_BYTES);
    b.u16(FRAME_BYTES).u16(32).u16(22).u16(32).u32(3);  // valid bits, channels front left, right
    b.bytes(FLOAT_SUBFORMAT, sizeof FLOAT_SUBFORMAT);
    b.tag("fact").u32(4).u32(rf64 ? 0xFFFFFFFFu : static_cast<uint64_t>(frames_));
    b.tag("data").u32(rf64 ? 0xFFFFFFFFu : data);
    return h;
}

bool WavFile::write_header() {
    const std::vector<unsigned char> h = header();
    const int64_t end = header_bytes_ + frames_ * FRAME_BYTES;
    return seek(fd_, 0) == 0 && write_all(fd_, h.data(), h.size()) && seek(fd_, end) == end;
}

bool WavFile::fail(const std::string& why) {
    if (error_.empty())
        error_ = path_ + ": " + why;
    return false;
}

bool WavFile::open(const std::string& path, int rate_hz, bool replace, std::string* error) {
    close();
    // The same choice as the libsndfile writer: the header and chunks take well under 1 MiB.
    extensible_ = planned_ <= 0 || planned_ * FRAME_BYTES > (int64_t(4) << 30) - (int64_t(1) << 20);
    rate_ = rate_hz;
    frames_ = 0;
    path_ = path;
    error_.clear();
    fd_ = sys::open_output(path, replace, error);
    if (fd_ < 0)
        return false;
    header_bytes_ = header().size();
    if (!write_header()) {
        *error = path + ": " + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

bool WavFile::write(const float* iq, int64_t frames) {
    if (fd_ < 0)
        return false;
    if (!write_all(fd_, iq, static_cast<size_t>(frames * FRAME_BYTES))) {
        const std::string why = std::strerror(errno);
        truncate(frames_);  // whole pairs only, and a header that says so
        return fail(why);
    }
    frames_ += frames;
    if (!write_header()) {
        const std::string why = std::strerror(errno);
        frames_ -= frames;
        truncate(frames_);
        return fail(why);
    }
    return true;
}

bool WavFile::truncate(int64_t frames) {
    if (fd_ < 0)
        return false;
    if (!sys::truncate_file(fd_, static_cast<int64_t>(header_bytes_) + frames * FRAME_BYTES))
        return fail(std::strerror(errno));
    frames_ = frames;
    if (!write_header())
        return fail(std::strerror(errno));
    return true;
}

void WavFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace capture
