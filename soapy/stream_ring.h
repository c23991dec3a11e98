// The ring between the module's data callback and a SoapySDR reader: one slot per module block,
// written on the module's worker thread, read by one reader thread.
//
// The writer never waits for the reader: a full ring drops the incoming block, and the sample
// count goes on, so the reader sees the loss as a jump of exactly the dropped samples. Each run
// of the module (a start, a restart for a new rate) is a generation; blocks of an earlier
// generation still in the ring are skipped by the reader, and the time goes on from where the
// reader stopped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zalvo_soapy {

enum class SampleFormat { cf32, cs16 };

// The module's blocks per second of signal at every rate (512, 1024 or 2048 samples a block).
constexpr double BLOCKS_PER_SECOND = 93.75;
// The module's full scale: its floats are samples times 2^31.
constexpr double MODULE_FULL_SCALE = 2147483648.0;
// Longest block: 2048 samples at 192 kHz.
constexpr size_t MAX_BLOCK_LENGTH = 2048;

// What a read returns besides its count (SoapySDR's codes).
struct ReadResult {
    int code = 0;  // samples per channel, or a SoapySDR error code
    int flags = 0;
    long long time_ns = 0;
};

class StreamRing {
  public:
    // `channels`: the receivers of the stream, in the reader's buffer order.
    StreamRing(std::vector<size_t> channels, SampleFormat format, size_t slots);

    const std::vector<size_t>& channels() const { return channels_; }
    size_t slots() const { return slots_.size(); }

    // ---- run control; called while no writer runs ----
    // Starts a generation at `rate`: earlier blocks are skipped, the sample count starts at 0.
    // Its time goes on from the last sample read, plus `pause_ns` (a stream paused by its
    // client), or plus nothing (a restart for a new rate).
    void begin_run(double rate, long long pause_ns = 0);
    // Active streams deliver; an inactive one makes reads wait out their time-out.
    void set_active(bool active);
    // The stream is being closed: every read, waiting or to come, returns a stream error at once.
    void close();
    // The module could not be started: reads report a stream error until the next run.
    void set_failed();

    // ---- the writer (module's worker thread) ----
    // One module block: buffers[r] holds `length` interleaved I, Q floats of receiver r.
    void push(float* const* buffers, size_t length);
    // The module reported an overrun: samples were lost before the next block. `lost` is their
    // count where known (0 where not); the next block carries the mark.
    void note_board_loss(int64_t lost);
    // The board left the bus (reads wait out their time-outs instead of ending in a stall error)
    // and came back (`lost` samples: the stream's time jumps by them, after one OVERFLOW).
    void note_board_away();
    void note_board_back(int64_t lost);

    // ---- the reader ----
    // Up to `count` samples of each channel into buffs (CF32 or CS16 per the format).
    // Returns SOAPY_SDR_TIMEOUT when nothing came within timeout_us (or the stream is inactive),
    // SOAPY_SDR_OVERFLOW once before the first block after a loss, SOAPY_SDR_STREAM_ERROR when
    // the module failed or no block came for `stall_ms` while active.
    ReadResult read(void* const* buffs, size_t count, long timeout_us, int stall_ms);
    // Time just after the last sample read, in ns (any thread).
    long long time_ns() const { return end_ns_.load(std::memory_order_relaxed); }
    // Readers inside read(): close() then wait_for_readers() before the ring goes.
    void enter() { readers_.fetch_add(1, std::memory_order_acq_rel); }
    void leave();
    void wait_for_readers();

  private:
    struct Slot {
        uint64_t generation = 0;
        int64_t first = 0;  // sample index of its first sample within its generation
        double rate = 0;
        size_t length = 0;
        bool board_loss = false;
        std::unique_ptr<float[]> iq;  // channel-major: channel c at c * MAX_BLOCK_LENGTH * 2
    };

    bool wait_for_block(long timeout_us);
    void copy_out(const Slot& s, size_t offset, size_t n, void* const* buffs) const;

    const std::vector<size_t> channels_;
    const SampleFormat format_;
    std::vector<Slot> slots_;

    // Shared between writer and reader.
    std::atomic<uint64_t> head_{0};  // slots written
    std::atomic<uint64_t> tail_{0};  // slots consumed
    std::atomic<uint64_t> generation_{0};
    std::atomic<bool> active_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> away_{false};
    std::atomic<long long> pause_ns_{0};
    std::atomic<int> readers_{0};
    std::atomic<int64_t> last_block_ms_{0};  // steady clock of the last block or run start
    std::mutex wake_lock_;                   // only for the reader's wait
    std::condition_variable wake_;

    // Writer state: set by begin_run before the writer starts, then the writer's own.
    double rate_ = 0;
    int64_t index_ = 0;
    bool pending_board_loss_ = false;

    // Reader state.
    uint64_t reader_generation_ = 0;
    int64_t expected_ = 0;   // the next sample index the reader expects in its generation
    size_t offset_ = 0;      // samples of the slot at tail_ already read
    long long base_ns_ = 0;  // time of sample 0 of the reader's generation
    std::atomic<long long> end_ns_{0};  // time just after the last sample read
    bool loss_reported_ = false;        // OVERFLOW returned for the loss before the slot at tail_
    bool stall_reported_ = false;
};

}  // namespace zalvo_soapy
