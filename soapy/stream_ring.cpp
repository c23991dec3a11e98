#include "stream_ring.h"

#include <SoapySDR/Constants.h>
#include <SoapySDR/Errors.h>
#include <SoapySDR/Logger.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>

namespace zalvo_soapy {

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long time_of(long long base_ns, int64_t index, double rate) {
    return base_ns + std::llround(static_cast<double>(index) * 1e9 / rate);
}

}  // namespace

StreamRing::StreamRing(std::vector<size_t> channels, SampleFormat format, size_t slots)
    : channels_(std::move(channels)), format_(format), slots_(slots) {
    for (Slot& s : slots_)
        s.iq.reset(new float[channels_.size() * MAX_BLOCK_LENGTH * 2]);
}

void StreamRing::begin_run(double rate, long long pause_ns) {
    pause_ns_.store(pause_ns, std::memory_order_relaxed);
    away_.store(false, std::memory_order_release);
    rate_ = rate;
    index_ = 0;
    pending_board_loss_ = false;
    generation_.fetch_add(1, std::memory_order_acq_rel);
    failed_.store(false, std::memory_order_release);
    last_block_ms_.store(steady_ms(), std::memory_order_release);
}

void StreamRing::set_active(bool active) {
    active_.store(active, std::memory_order_release);
    { std::lock_guard<std::mutex> guard(wake_lock_); }
    wake_.notify_all();
}

void StreamRing::close() {
    closed_.store(true, std::memory_order_release);
    { std::lock_guard<std::mutex> guard(wake_lock_); }
    wake_.notify_all();
}

void StreamRing::leave() {
    // Under the lock: the closer waiting for the count cannot see it at zero (and free the ring)
    // before the notification is done.
    std::lock_guard<std::mutex> guard(wake_lock_);
    if (readers_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        wake_.notify_all();
}

void StreamRing::wait_for_readers() {
    std::unique_lock<std::mutex> lock(wake_lock_);
    wake_.wait(lock, [&] { return readers_.load(std::memory_order_acquire) == 0; });
}

void StreamRing::note_board_away() {
    away_.store(true, std::memory_order_release);
}

void StreamRing::note_board_back(int64_t lost) {
    note_board_loss(lost);
    away_.store(false, std::memory_order_release);
    last_block_ms_.store(steady_ms(), std::memory_order_release);
}

void StreamRing::set_failed() {
    failed_.store(true, std::memory_order_release);
    { std::lock_guard<std::mutex> guard(wake_lock_); }
    wake_.notify_all();
}

void StreamRing::note_board_loss(int64_t lost) {
    pending_board_loss_ = true;
    if (lost > 0)
        index_ += lost;
}

void StreamRing::push(float* const* buffers, size_t length) {
    if (length > MAX_BLOCK_LENGTH)
        return;
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= slots_.size()) {
        // Full: the block is dropped; the count goes on, so the reader sees the jump.
        index_ += static_cast<int64_t>(length);
        return;
    }
    Slot& s = slots_[head % slots_.size()];
    s.generation = generation_.load(std::memory_order_relaxed);
    s.first = index_;
    s.rate = rate_;
    s.length = length;
    s.board_loss = pending_board_loss_;
    pending_board_loss_ = false;
    for (size_t c = 0; c < channels_.size(); ++c)
        std::memcpy(s.iq.get() + c * MAX_BLOCK_LENGTH * 2, buffers[channels_[c]],
                    length * 2 * sizeof(float));
    index_ += static_cast<int64_t>(length);
    head_.store(head + 1, std::memory_order_release);
    last_block_ms_.store(steady_ms(), std::memory_order_release);
    // The reader holds this lock only between its check and its wait.
    { std::lock_guard<std::mutex> guard(wake_lock_); }
    wake_.notify_one();
}

bool StreamRing::wait_for_block(long timeout_us) {
    auto ready = [&] {
        return head_.load(std::memory_order_acquire) != tail_.load(std::memory_order_relaxed) ||
               failed_.load(std::memory_order_acquire) ||
               !active_.load(std::memory_order_acquire) || closed_.load(std::memory_order_acquire);
    };
    std::unique_lock<std::mutex> lock(wake_lock_);
    wake_.wait_for(lock, std::chrono::microseconds(std::max(0L, timeout_us)), ready);
    return head_.load(std::memory_order_acquire) != tail_.load(std::memory_order_relaxed);
}

ReadResult StreamRing::read(void* const* buffs, size_t count, long timeout_us, int stall_ms) {
    ReadResult r;
    if (!active_.load(std::memory_order_acquire)) {
        // Inactive: wait out the time-out (or until activated or closed), as clients expect.
        std::unique_lock<std::mutex> lock(wake_lock_);
        wake_.wait_for(lock, std::chrono::microseconds(std::max(0L, timeout_us)), [&] {
            return active_.load(std::memory_order_acquire) ||
                   closed_.load(std::memory_order_acquire);
        });
        r.code =
            closed_.load(std::memory_order_acquire) ? SOAPY_SDR_STREAM_ERROR : SOAPY_SDR_TIMEOUT;
        return r;
    }
    for (;;) {
        if (failed_.load(std::memory_order_acquire) || closed_.load(std::memory_order_acquire)) {
            r.code = SOAPY_SDR_STREAM_ERROR;
            return r;
        }
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (head_.load(std::memory_order_acquire) == tail) {
            const bool got = wait_for_block(timeout_us);
            if (!got) {
                const int64_t quiet = steady_ms() - last_block_ms_.load(std::memory_order_acquire);
                // A board away (being waited for) is no stall: its reads time out.
                if (active_.load(std::memory_order_acquire) &&
                    !away_.load(std::memory_order_acquire) && quiet >= stall_ms) {
                    if (!stall_reported_)
                        SoapySDR_logf(SOAPY_SDR_ERROR,
                                      "zalvo: the board stopped delivering data for %d s "
                                      "(unplugged, or its USB connection failed)",
                                      stall_ms / 1000);
                    stall_reported_ = true;
                    r.code = SOAPY_SDR_STREAM_ERROR;
                } else {
                    r.code = failed_.load() ? SOAPY_SDR_STREAM_ERROR : SOAPY_SDR_TIMEOUT;
                }
                return r;
            }
            continue;
        }
        stall_reported_ = false;
        Slot& s = slots_[tail % slots_.size()];
        if (s.generation != generation_.load(std::memory_order_acquire)) {
            // From before a restart: skipped.
            offset_ = 0;
            loss_reported_ = false;
            tail_.store(tail + 1, std::memory_order_release);
            continue;
        }
        if (s.generation != reader_generation_) {
            // The first block of a new run: its time goes on from the last sample read.
            reader_generation_ = s.generation;
            base_ns_ =
                end_ns_.load(std::memory_order_relaxed) + pause_ns_.load(std::memory_order_relaxed);
            expected_ = 0;
        }
        if (offset_ == 0 && (s.first != expected_ || s.board_loss) && !loss_reported_) {
            loss_reported_ = true;
            SoapySDR_log(SOAPY_SDR_SSI, "O");
            r.code = SOAPY_SDR_OVERFLOW;
            return r;
        }
        loss_reported_ = false;
        const size_t n = std::min(count, s.length - offset_);
        copy_out(s, offset_, n, buffs);
        r.time_ns = time_of(base_ns_, s.first + static_cast<int64_t>(offset_), s.rate);
        r.flags = SOAPY_SDR_HAS_TIME;
        r.code = static_cast<int>(n);
        offset_ += n;
        end_ns_.store(time_of(base_ns_, s.first + static_cast<int64_t>(offset_), s.rate),
                      std::memory_order_relaxed);
        if (offset_ == s.length) {
            expected_ = s.first + static_cast<int64_t>(s.length);
            offset_ = 0;
            tail_.store(tail + 1, std::memory_order_release);
        }
        return r;
    }
}

void StreamRing::copy_out(const Slot& s, size_t offset, size_t n, void* const* buffs) const {
    const float scale = static_cast<float>(1.0 / MODULE_FULL_SCALE);
    for (size_t c = 0; c < channels_.size(); ++c) {
        const float* src = s.iq.get() + c * MAX_BLOCK_LENGTH * 2 + offset * 2;
        if (format_ == SampleFormat::cf32) {
            float* dst = static_cast<float*>(buffs[c]);
            for (size_t i = 0; i < 2 * n; ++i)
                dst[i] = src[i] * scale;
        } else {
            int16_t* dst = static_cast<int16_t*>(buffs[c]);
            for (size_t i = 0; i < 2 * n; ++i) {
                // Full scale 32768: the module's 2^31 divided by 2^16.
                const float v = std::nearbyint(src[i] * (1.0f / 65536.0f));
                dst[i] = static_cast<int16_t>(std::min(32767.0f, std::max(-32768.0f, v)));
            }
        }
    }
}

}  // namespace zalvo_soapy
