// MD5 as RFC 1321 describes it: 64-byte blocks of sixteen little-endian words, four rounds of
// sixteen steps, the message padded with one bit, zeros and its length in bits.
#include "md5.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// The sine table: K[i] = floor(abs(sin(i + 1)) * 2^32).
const uint32_t K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left rotations of each round's four steps.
const int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

}  // namespace

void md5_context::reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
}

void md5_context::block(const uint8_t* p) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
               uint32_t(p[4 * i + 3]) << 24;
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        switch (i / 16) {
            case 0:  // F(X,Y,Z) = XY v not(X) Z
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:  // G(X,Y,Z) = XZ v Y not(Z)
                f = (b & d) | (c & ~d);
                g = (5 * i + 1) % 16;
                break;
            case 2:  // H(X,Y,Z) = X xor Y xor Z
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:  // I(X,Y,Z) = Y xor (X v not(Z))
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + K[i] + m[g], S[i / 16][i % 4]);
        a = t;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void md5_context::update(const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = size_t(length_ % 64);
    length_ += length;
    if (used) {
        size_t n = 64 - used < length ? 64 - used : length;
        std::memcpy(buffer_ + used, p, n);
        p += n;
        length -= n;
        if (used + n < 64)
            return;
        block(buffer_);
    }
    for (; length >= 64; p += 64, length -= 64)
        block(p);
    if (length)
        std::memcpy(buffer_, p, length);
}

void md5_context::final(uint8_t digest[MD5_DIGEST_BYTES]) {
    const uint64_t bits = length_ * 8;
    const size_t used = size_t(length_ % 64);
    uint8_t pad[64 + 8] = {0x80};
    size_t n = (used < 56 ? 56 : 120) - used;
    for (int i = 0; i < 8; ++i)
        pad[n + size_t(i)] = uint8_t(bits >> (8 * i));
    update(pad, n + 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = uint8_t(state_[i] >> (8 * j));
}

bool md5_file(const char* path, uint8_t digest[MD5_DIGEST_BYTES]) {
    // A read error's errno is what the caller sees: it is kept across the close.
    struct closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, closer> f(std::fopen(path, "rb"));
    if (!f)
        return false;
    md5_context md5;
    unsigned char piece[16384];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f.get())) > 0)
        md5.update(piece, n);
    if (std::ferror(f.get())) {
        int saved = errno;
        f.reset();
        errno = saved;
        return false;
    }
    f.reset();
    md5.final(digest);
    return true;
}
