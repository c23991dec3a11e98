// MD5 through the Windows cryptography API (CNG: BCryptOpenAlgorithmProvider / BCryptCreateHash /
// BCryptHashData / BCryptFinishHash). The provider handle, the hash handle and the hash object's
// memory live in md5_context::state_.
#include "md5.h"

#include <windows.h>

#include <bcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

struct cng_state {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    unsigned char* object;  // the hash object's memory, owned
    bool failed;            // a call failed: final() then yields no digest
};
static_assert(sizeof(cng_state) <= 128, "fits md5_context's state");

cng_state* st(unsigned char* state) {
    return reinterpret_cast<cng_state*>(state);
}

bool ok(NTSTATUS status) {
    return status >= 0;
}

void release(cng_state* s) {
    if (s->hash)
        BCryptDestroyHash(s->hash);
    if (s->algorithm)
        BCryptCloseAlgorithmProvider(s->algorithm, 0);
    delete[] s->object;
    s->hash = nullptr;
    s->algorithm = nullptr;
    s->object = nullptr;
}

void begin(cng_state* s) {
    s->algorithm = nullptr;
    s->hash = nullptr;
    s->object = nullptr;
    s->failed = false;
    DWORD object_bytes = 0;
    ULONG got = 0;
    if (!ok(BCryptOpenAlgorithmProvider(&s->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ||
        !ok(BCryptGetProperty(s->algorithm, BCRYPT_OBJECT_LENGTH,
                              reinterpret_cast<PUCHAR>(&object_bytes), sizeof object_bytes, &got,
                              0))) {
        s->failed = true;
        return;
    }
    s->object = new (std::nothrow) unsigned char[object_bytes ? object_bytes : 1];
    if (!s->object ||
        !ok(BCryptCreateHash(s->algorithm, &s->hash, s->object, object_bytes, nullptr, 0, 0)))
        s->failed = true;
}

void update(cng_state* s, const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (length > 0 && !s->failed) {
        ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!ok(BCryptHashData(s->hash, const_cast<PUCHAR>(p), piece, 0)))
            s->failed = true;
        p += piece;
        length -= piece;
    }
}

// False when no digest could be had; the digest is then all zeros.
bool finish(cng_state* s, uint8_t digest[MD5_DIGEST_BYTES]) {
    if (s->failed || !ok(BCryptFinishHash(s->hash, digest, MD5_DIGEST_BYTES, 0))) {
        std::memset(digest, 0, MD5_DIGEST_BYTES);
        s->failed = true;
    }
    return !s->failed;
}

}  // namespace

md5_context::md5_context() {
    begin(new (state_) cng_state);
}

md5_context::~md5_context() {
    release(st(state_));
}

void md5_context::update(const void* data, size_t length) {
    ::update(st(state_), data, length);
}

void md5_context::final(uint8_t digest[MD5_DIGEST_BYTES]) {
    finish(st(state_), digest);
}

// A failure of the cryptography API counts as a read error: no digest, no load decision on it.
bool md5_file(const char* path, uint8_t digest[MD5_DIGEST_BYTES]) {
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    cng_state s;
    begin(&s);
    unsigned char piece[16384];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        update(&s, piece, n);
    if (std::ferror(f)) {
        int saved = errno;
        std::fclose(f);
        release(&s);
        errno = saved;
        return false;
    }
    std::fclose(f);
    bool done = finish(&s, digest);
    release(&s);
    if (!done)
        errno = EIO;
    return done;
}
