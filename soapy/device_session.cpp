// The device's side of its receive session: starting and stopping it, finding the board for
// it, and the listener that takes its blocks and events into the stream's ring.
#include "device.h"

#include "usb_route.h"
#include "usrp_prims.h"

#include <SoapySDR/Logger.hpp>

#include <cmath>
#include <new>

namespace zalvo_soapy {

namespace {
const double BOARD_RATE = 500000.0;  // sample instants per second at the board
}  // namespace

int ZalvoDevice::find_board() {
    if (serial_.empty())
        return usrp_find_device(index_) ? index_ : -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1)
            usrp_rescan();  // not in the list of the last rescan: perhaps back since
        for (int n = 0;; ++n) {
            struct usb_device* dev = usrp_find_device(n);
            if (!dev)
                break;
            std::string serial;
            if (open_board_at(bus_, usrp_place(dev), &serial) ? serial == serial_
                                                              : usrp_serial(dev) == serial_)
                return n;
        }
    }
    return -1;
}

std::string ZalvoDevice::place() const {
    return session_.board_place();
}

void ZalvoDevice::log_once(int level, const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(logged_lock_);
        if (!logged_.insert(text).second)
            return;
    }
    SoapySDR::log(static_cast<SoapySDRLogLevel>(level), text);
}

// ---- the session's listener --------------------------------------------------------------------

void ZalvoDevice::deliver(float** buffers) {
    const auto now = std::chrono::steady_clock::now();
    if (back_ && ring_) {
        // The blocks before and after the absence come as late after their samples: the
        // samples between them are the absence's cost.
        const double rate = static_cast<double>(block_length_) * BLOCKS_PER_SECOND;
        const double gap = std::chrono::duration<double>(now - last_block_).count();
        const int64_t lost = std::llround(gap * rate) - static_cast<int64_t>(block_length_);
        ring_->note_board_back(lost > 0 ? lost : 0);
    }
    back_ = false;
    last_block_ = now;
    if (ring_)
        ring_->push(buffers, block_length_);
}

void ZalvoDevice::failed(const char* text) {
    error_ = text ? text : "?";
}

void ZalvoDevice::worker_started() {
    set_thread_bus(bus_);
}

void ZalvoDevice::overrun() {
    if (!ring_)
        return;
    if (back_) {
        // Before the first block after an absence: the absence's cost, measured at that block,
        // covers what the board dropped meanwhile.
        dropped_seen_ = samples_dropped(bus_, serial_);
        return;
    }
    int64_t lost = 0;
    if (simulated_) {
        // The simulated board counts what it dropped; the real one does not say.
        const int64_t dropped = samples_dropped(bus_, serial_);
        const double rate = static_cast<double>(block_length_) * BLOCKS_PER_SECOND;
        lost = std::llround(static_cast<double>(dropped - dropped_seen_) * rate / BOARD_RATE);
        dropped_seen_ = dropped;
    }
    ring_->note_board_loss(lost);
}

void ZalvoDevice::clipping(const RailCounts& counts) {
    if (!counts.any())
        return;
    SoapySDR::logf(SOAPY_SDR_WARNING,
                   "zalvo %s: clipping at the board: rx0 %llu rx1 %llu rx2 %llu rx3 %llu of %llu "
                   "samples",
                   serial_.c_str(), static_cast<unsigned long long>(counts.at_rails[0]),
                   static_cast<unsigned long long>(counts.at_rails[1]),
                   static_cast<unsigned long long>(counts.at_rails[2]),
                   static_cast<unsigned long long>(counts.at_rails[3]),
                   static_cast<unsigned long long>(counts.values));
}

void ZalvoDevice::board_lost(bool gone_from_bus) {
    if (ring_)
        ring_->note_board_away();
    SoapySDR::logf(SOAPY_SDR_WARNING, "zalvo %s: the board %s; reads time out until it is back",
                   serial_.c_str(), gone_from_bus ? "left the USB bus" : "stopped delivering data");
}

void ZalvoDevice::board_back(double away_s) {
    dropped_seen_ = samples_dropped(bus_, serial_);
    back_ = true;
    SoapySDR::logf(SOAPY_SDR_INFO, "zalvo %s: the board is back after %.3f s; streaming again",
                   serial_.c_str(), away_s);
}

// ---- the session ------------------------------------------------------------------------------

bool ZalvoDevice::start_session(StreamRing* ring, bool log) {
    SessionConfig config;
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        config.rate_index = rate_index(rate_);
        block_length_ = static_cast<size_t>(rate_ / BLOCKS_PER_SECOND);
        for (int r = 0; r < RECEIVER_COUNT; ++r)
            config.frequency[r] = static_cast<int32_t>(std::llround(frequency_[r]));
    }
    config.find_board = [this] { return find_board(); };
    config.reconnect = reconnect_;
    ring_ = ring;
    back_ = false;
    last_block_ = std::chrono::steady_clock::now();
    error_.clear();
    dropped_seen_ = samples_dropped(bus_, serial_);
    {
        ThreadBus on(bus_);
        try {
            session_.start(config);
        } catch (const std::bad_alloc&) {
            session_.abandon_start(true);
        } catch (const std::exception&) {
            session_.abandon_start(false);
        }
    }
    if (!error_.empty()) {
        if (log)
            SoapySDR::logf(SOAPY_SDR_ERROR, "zalvo: %s. %s", error_.c_str(),
                           advice_for(error_, simulated_).c_str());
        stop_session();
        return false;
    }
    return true;
}

void ZalvoDevice::stop_session() {
    session_.stop();
    ring_ = nullptr;
}

}  // namespace zalvo_soapy
