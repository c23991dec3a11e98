#include "replay.h"

#include <algorithm>

namespace usbsim {
namespace detail {

void replay_block(const Replay& replay, uint64_t first, int16_t* out, int n, int nch) {
    std::fill(out, out + size_t(n) * size_t(nch) * 2, int16_t(0));
    const int rc = std::max(replay.channels, 1);
    const uint64_t total = replay.iq.size() / (2 * size_t(rc));
    const int channels = std::min(nch, rc);
    for (int i = 0; i < n; ++i) {
        const uint64_t instant = first + uint64_t(i);
        if (instant >= total)
            break;
        const int16_t* from = replay.iq.data() + instant * 2 * uint64_t(rc);
        std::copy(from, from + 2 * channels, out + size_t(i) * size_t(nch) * 2);
    }
}

}  // namespace detail
}  // namespace usbsim
