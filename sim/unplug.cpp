// The unplug schedule of a board: off the bus at set times for set or drawn lengths, back cold or
// warm. Checked at every USB call (a waiting read checks every few milliseconds).
#include <cmath>
#include <cstdio>

#include "model.h"

namespace usbsim {
namespace detail {

// A seed spread over all 32 bits (small seeds would give small first draws), never 0.
uint32_t unplug_draws(uint32_t seed) {
    seed = (seed ^ (seed >> 16)) * 0x45D9F3Bu + 0x9E3779B9u;
    seed = (seed ^ (seed >> 16)) * 0x45D9F3Bu;
    seed ^= seed >> 16;
    return seed ? seed : 0x9E3779B9u;
}

namespace {

// xorshift32: the same lengths from the same seed on every platform.
uint32_t next_draw(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void Impl::poll_unplugs(Board& b, Clock::time_point now) {
    if (b.unplug_rules.empty())
        return;
    if (!b.first_stream) {
        if (!b.streaming())
            return;
        b.first_stream = now;
    }
    if (b.replug_at && now >= *b.replug_at) {
        b.replug_at.reset();
        if (!b.replug_warm)
            power_on(*this, b, false);
        plug_in(*this, b, false);
        std::fprintf(stderr, "usbsim: board %d plugged in again (%s)\n", b.id,
                     b.replug_warm ? "warm" : "cold");
    }
    for (Board::UnplugRule& r : b.unplug_rules) {
        while (!r.done) {
            const double start_s = r.plan.at_s + double(r.next) * r.plan.every_s;
            const Clock::time_point start = *b.first_stream + seconds(start_s);
            if (now < start)
                break;
            double length = r.plan.for_s;
            if (r.plan.for_max_s > r.plan.for_s) {
                const double u = next_draw(r.draw) / 4294967295.0;
                length =
                    std::round((r.plan.for_s + (r.plan.for_max_s - r.plan.for_s) * u) * 1e3) / 1e3;
            }
            ++r.next;
            r.done = r.plan.every_s <= 0;
            const Clock::time_point back = start + seconds(length);
            if (b.replug_at || !b.plugged || now >= back)
                continue;  // already off the bus, or the whole stretch has passed unseen
            b.plugged = false;
            leave_bus(b);
            b.replug_at = back;
            b.replug_warm = r.plan.back_warm;
            ++b.unplugs_done;
            std::fprintf(stderr, "usbsim: board %d unplugged at %.3f s for %.3f s; back %s\n", b.id,
                         start_s, length, r.plan.back_warm ? "warm" : "cold");
        }
    }
}

}  // namespace detail
}  // namespace usbsim
