// MD5 (RFC 1321) for the simulated board, which records the digest of every bitstream it
// receives. Self-contained so that the simulator builds wherever the model does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace usbsim {

class Md5 {
  public:
    Md5() { reset(); }
    void reset();
    void update(const void* data, size_t length);
    std::array<uint8_t, 16> digest() const;  // of everything so far; the context stays usable

  private:
    void block(const uint8_t* p);
    uint32_t state_[4];
    uint64_t length_;
    uint8_t buffer_[64];
};

}  // namespace usbsim
