// The module-wide receive session, the sample pipeline and the stream worker.
#pragma once

#include "ZalvoIntf.h"
#include "os.h"
#include "resample.h"

#include <atomic>
#include <cstdint>
#include <utility>

class usrp_standard_rx;

enum : int32_t {
    DECIMATION = 128,
    RECEIVER_COUNT = 4,
    OUTPUT_BUFFER_COUNT = 8,
    STREAM_COUNT = 2 * RECEIVER_COUNT,
    CONVERTER_RATE = 64000000,
    INITIAL_FREQUENCY = 3600000,
};
constexpr double INITIAL_GAIN = 20.0;
constexpr const char* FIRMWARE_IMAGE = "std.ihx";
constexpr const char* FPGA_IMAGE = "std_4rx_0tx.rbf";

constexpr int32_t INPUT_RATE = CONVERTER_RATE / DECIMATION;  // 500 000 Hz
constexpr float OUTPUT_GAIN = 2147483648.0f;                 // 2^31

// Fixed texts of the error callback.
extern const char* const TEXT_NO_DEVICE;
extern const char* const TEXT_UNKNOWN_RATE;
extern const char* const TEXT_LOW_MEMORY;
extern const char* const TEXT_RESAMPLERS;
extern const char* const TEXT_NO_THREAD;

// Where the worker gets its samples: the device in the module, synthetic blocks in tests.
class StreamSource {
  public:
    virtual ~StreamSource() = default;
    // Starts the stream; false when it did not start (the worker then tries again).
    virtual bool start_streaming() = 0;
    virtual void stop_streaming() = 0;
    // Fills buffer with up to length bytes; bytes delivered, or negative on failure.
    virtual int read(void* buffer, int length, bool* overrun) = 0;
    // Called from another thread: a read waiting for data returns at once.
    virtual void abort_read() {}
};

struct ReceiveSession {
    ReceiverSettings settings;
    usrp_standard_rx* device;
    int32_t block_bytes;
    os::thread* thread_handle;
    uint32_t thread_id;
    std::atomic<uint8_t> stop_requested;
    StreamSource* source;  // what the worker reads; set before the worker starts

    float* output_buffers[OUTPUT_BUFFER_COUNT];
    int32_t output_rate;
    int32_t block_length;
    int32_t output_count;
    int32_t input_length;
    int32_t output_capacity;
    uint8_t* raw_block;
    float** input_streams;
    float** output_streams;
    CResample** resamplers;
};

// The worker's own state between passes.
struct WorkerState {
    float* write_pos[RECEIVER_COUNT];
    const float* read_pos[STREAM_COUNT];
    int32_t produced;
    int32_t startup_left;  // outputs per stream still to drop at the start of the stream
    bool overrun;
    int32_t failed_reads;  // reads in a row that delivered nothing
};

// Sends a fixed text to the host's error callback, if it has one.
void report_error(const ReceiveSession& s, const char* text);

// Inside a catch block: true when the exception being handled is an allocation failure; *what
// receives its text (valid while the handler runs).
bool caught_allocation_failure(const char** what) noexcept;

// The barrier between C++ and a caller that knows no exceptions (the host, the thread layer):
// runs body and stops any exception here. on_throw(allocation_failure, what) then runs inside
// the handler; an exception of its own is dropped. The result is then R's zero value.
template <typename Body, typename OnThrow>
auto at_edge(Body&& body, OnThrow&& on_throw) noexcept -> decltype(body()) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        const char* what = nullptr;
        bool allocation = caught_allocation_failure(&what);
        try {
            std::forward<OnThrow>(on_throw)(allocation, what);
        } catch (...) {
        }
    }
    return decltype(body())();
}

template <typename Body> auto at_edge(Body&& body) noexcept -> decltype(body()) {
    return at_edge(std::forward<Body>(body), [](bool, const char*) {});
}

// Builds buffers and resamplers for settings.sample_rate_index and block_bytes. On failure the
// text (if any) has been reported and what was allocated stays for release_pipeline.
bool setup_pipeline(ReceiveSession& s);
// Frees whatever the pipeline holds; safe on a partial or empty pipeline and twice in a row.
void release_pipeline(ReceiveSession& s);

// Outputs per stream that a resampler makes from a stream starting after silence before its
// filter span lies wholly inside the stream: the filter's response to the stream switching on,
// which the worker drops. 0 when the pipeline has no resamplers.
int32_t startup_outputs(const ReceiveSession& s);
// Resets the block under construction (worker step before streaming starts).
void worker_begin(ReceiveSession& s, WorkerState& w);
// One pass: read a block from s.source, de-interleave and scale, resample, interleave and
// deliver every full block. Allocates nothing.
void stream_pass(ReceiveSession& s, WorkerState& w);
// As stream_pass, from the `frames` sample frames already in raw_block (no read).
void process_block(ReceiveSession& s, WorkerState& w, int32_t frames);
// Thread routine; arg is the session. An exception ends the stream: the stream is stopped and one
// line goes to standard error.
uint32_t StreamWorker(void* arg) noexcept;

// Starts the worker on s (stop_requested cleared first). False when no thread could be made.
bool start_worker(ReceiveSession& s);
// Asks the worker to end and returns once it has (a first wait of 100 ms, then as long as a
// pass under way needs). Nothing when no worker runs.
void stop_worker(ReceiveSession& s);

// The session's steps behind StartRx, StopRx and SetRxFrequency.
void session_start(ReceiveSession& s, const ReceiverSettings* settings);
// After an exception out of session_start: releases whatever the start had built (worker,
// pipeline, device) and reports "Low memory" for an allocation failure, otherwise "Can't create
// instance of USRP Rx device".
void session_abandon_start(ReceiveSession& s, bool allocation_failure);
void session_stop(ReceiveSession& s);
void session_set_frequency(ReceiveSession& s, int32_t frequency, int32_t receiver);
// Process attach: no output blocks yet.
void session_attach(ReceiveSession& s);
