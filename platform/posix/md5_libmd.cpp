// MD5 over Debian's libmd (MD5Init / MD5Update / MD5Final).
//
// libmd's header is also called md5.h and would be shadowed by ours on the include path, so its
// three entry points are declared here. Their context (MD5_CTX: four 32-bit words of state, a
// 64-bit bit count and a 64-byte block, 88 bytes) lives in md5_context::state_ and is only ever
// touched by libmd itself.
#include "md5.h"

#include <cerrno>
#include <cstdio>

extern "C" {
struct MD5Context;
void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const uint8_t* data, size_t length);
void MD5Final(uint8_t digest[16], MD5Context* context);
}

static MD5Context* ctx(unsigned char* state) {
    return reinterpret_cast<MD5Context*>(state);
}

md5_context::md5_context() {
    MD5Init(ctx(state_));
}

md5_context::~md5_context() = default;

void md5_context::update(const void* data, size_t length) {
    if (length > 0)
        MD5Update(ctx(state_), static_cast<const uint8_t*>(data), length);
}

void md5_context::final(uint8_t digest[MD5_DIGEST_BYTES]) {
    MD5Final(digest, ctx(state_));
}

bool md5_file(const char* path, uint8_t digest[MD5_DIGEST_BYTES]) {
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    md5_context md5;
    unsigned char piece[16384];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        md5.update(piece, n);
    if (std::ferror(f)) {
        int saved = errno;
        std::fclose(f);
        errno = saved;
        return false;
    }
    std::fclose(f);
    md5.final(digest);
    return true;
}
