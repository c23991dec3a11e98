// MD5 (RFC 1321) through the system's library: libmd on Linux, the Windows cryptography API on
// Windows.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MD5_DIGEST_BYTES = 16 };

class md5_context {
  public:
    md5_context();
    ~md5_context();
    md5_context(const md5_context&) = delete;
    md5_context& operator=(const md5_context&) = delete;

    void update(const void* data, size_t length);
    // Writes the 16-byte digest; the context is then spent.
    void final(uint8_t digest[MD5_DIGEST_BYTES]);

  private:
    alignas(16) unsigned char state_[128];  // the system library's state lives here
};

// Digest of a whole file opened in binary mode. False on an open or read error (errno is kept).
bool md5_file(const char* path, uint8_t digest[MD5_DIGEST_BYTES]);
