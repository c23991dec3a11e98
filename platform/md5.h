// MD5 (RFC 1321), computed here on every platform: no library of the process can stand in for
// it, and the same code gives the same digests in both builds.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MD5_DIGEST_BYTES = 16 };

class md5_context {
  public:
    md5_context() { reset(); }

    // Starts a new message.
    void reset();
    void update(const void* data, size_t length);
    // Writes the 16-byte digest of everything since the last reset; the context must be reset
    // before it takes a new message.
    void final(uint8_t digest[MD5_DIGEST_BYTES]);

  private:
    void block(const uint8_t* p);

    uint32_t state_[4];
    uint64_t length_;  // bytes so far
    uint8_t buffer_[64] = {};
};

// Digest of a whole file opened in binary mode. False on an open or read error (errno is kept).
bool md5_file(const char* path, uint8_t digest[MD5_DIGEST_BYTES]);
