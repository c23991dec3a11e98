// A receive session: opens a board, builds the pipeline, runs and ends the worker, and brings
// the board up again when it leaves the bus and comes back while streaming. Its owner hears of
// blocks, failures and the stream's events through a SessionListener. The module's six exports
// drive one session (module.cpp); the SoapySDR device module owns one per device.
#pragma once

#include "pipeline.h"
#include "worker.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class usrp_standard_rx;

enum : int32_t {
    DECIMATION = 128,
    CONVERTER_RATE = 64000000,
    INITIAL_FREQUENCY = 3600000,
};
constexpr double INITIAL_GAIN = 20.0;
static_assert(CONVERTER_RATE / DECIMATION == INPUT_RATE, "the pipeline's input rate");

// Fixed texts of the error callback.
extern const char* const TEXT_NO_DEVICE;
extern const char* const TEXT_UNKNOWN_RATE;
extern const char* const TEXT_LOW_MEMORY;
extern const char* const TEXT_RESAMPLERS;
extern const char* const TEXT_NO_THREAD;

// Bringing a board up (image loading, the re-join wait) and rescanning the buses: one thread of
// the process at a time, whichever session it serves. A program that scans the buses itself
// while sessions run holds it for that.
std::mutex& usb_bus_lock();

// What a session tells its owner. deliver() and the StreamEvents run on the worker's thread;
// failed() on the thread that called start().
class SessionListener : public BlockSink, public StreamEvents {
  public:
    // A start that failed, in one of the five fixed texts.
    virtual void failed(const char* text) = 0;
    // The board stopped delivering while streaming and is no longer to be found where it was
    // (or stays there but delivers nothing): blocks pause until it is back. By default the
    // diagnostic line "StreamWorker: board lost (REASON); waiting for it to come back", REASON
    // being "gone from the bus" or "reads failing".
    virtual void board_lost(bool gone_from_bus);
    // The board is back, brought up again and streaming: blocks follow from a fresh pipeline.
    // away_s: seconds from the last block delivered before the loss to the stream's restart. By
    // default the line "StreamWorker: board back after S.SSS s; streaming again".
    virtual void board_back(double away_s);
};

struct SessionConfig {
    int32_t rate_index = 0;  // 0, 1, 2: 48, 96, 192 kHz
    // Which USRP on the buses: the n-th. When find_board is set it is asked instead, each time the
    // board is looked for (at the start and while waiting for it to come back); -1: not there.
    int board = 0;
    std::function<int()> find_board;
    // Each receiver's frequency at the start, in Hz.
    int32_t frequency[RECEIVER_COUNT] = {INITIAL_FREQUENCY, INITIAL_FREQUENCY, INITIAL_FREQUENCY,
                                         INITIAL_FREQUENCY};
    // Bring the board up again when it comes back after leaving the bus; otherwise the stream
    // waits (reads failing) until the session is stopped.
    bool reconnect = true;
};

class ReceiveSession : private BlockSink, private StreamSource, private StreamEvents {
  public:
    explicit ReceiveSession(SessionListener& listener);
    ~ReceiveSession() override;
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    // A session still running is ended first, as stop() ends it. Failures reach the listener.
    void start(const SessionConfig& config);
    // After an exception out of start(): releases whatever the start had built (worker,
    // pipeline, device) and reports "Low memory" for an allocation failure, otherwise "Can't
    // create instance of USRP Rx device".
    void abandon_start(bool allocation_failure);
    // The worker ends (a bring-up in progress is abandoned), then the pipeline and the device go.
    // No call of the listener comes after it.
    void stop();
    // Tunes a receiver, now when the board is there and when it is brought up again; nothing for a
    // receiver out of range or without a session.
    void set_frequency(int32_t frequency, int32_t receiver);
    bool running() const { return worker_.has_value(); }
    // Where the open board is on the buses ("<bus>/<device>"); empty while none is open.
    std::string board_place() const;

  private:
    // BlockSink, StreamEvents: passed on to the listener.
    void deliver(float** buffers) override;
    void worker_started() override;
    void overrun() override;
    void clipping(const RailCounts& counts) override;
    // StreamSource: the device that is there now.
    bool start_streaming() override;
    void stop_streaming() override;
    int read(void* buffer, int length, bool* overrun) override;
    void abort_read() override;
    bool recover(const std::atomic<uint8_t>& stop) override;

    using Clock = std::chrono::steady_clock;
    // The board that find_board or config_.board names; -1 when there is none.
    int board_index() const;
    // Opens and brings up board `which`, tuned to the frequencies set last; null on failure.
    std::unique_ptr<usrp_standard_rx> bring_up(int which);
    // Whether the open board is still listed where it was (one rescan).
    bool still_listed();
    // Closes the device, waits for the board to come back and brings it up; false when a stop
    // came first. gone: the board has left the bus (its device is closed without requests).
    bool bring_back(bool gone, const std::atomic<uint8_t>& stop);

    SessionListener& listener_;
    SessionConfig config_;
    int32_t block_bytes_ = 0;  // the last device's read size, asked of the next one
    SamplePipeline pipeline_;
    std::optional<StreamWorker> worker_;

    // The device and the frequencies set last: the worker replaces the device while the host may
    // tune, so both are guarded.
    mutable std::mutex device_lock_;
    std::unique_ptr<usrp_standard_rx> device_;
    int32_t frequency_[RECEIVER_COUNT] = {};

    // The worker's: reads failing since (while failing_), the last rescan, the last block
    // delivered (the data read after it and lost with the board counts as time away).
    bool failing_ = false;
    Clock::time_point failing_since_;
    Clock::time_point last_rescan_;
    Clock::time_point last_data_;
};
