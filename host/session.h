// The module's receive session: opens the board, builds the pipeline, runs and ends the worker,
// and tells the host of failures in the five fixed texts of its error callback.
#pragma once

#include "ZalvoIntf.h"
#include "pipeline.h"
#include "worker.h"

#include <cstdint>
#include <memory>
#include <optional>

class usrp_standard_rx;

enum : int32_t {
    DECIMATION = 128,
    CONVERTER_RATE = 64000000,
    INITIAL_FREQUENCY = 3600000,
};
constexpr double INITIAL_GAIN = 20.0;
constexpr const char* FIRMWARE_IMAGE = "std.ihx";
constexpr const char* FPGA_IMAGE = "std_4rx_0tx.rbf";
static_assert(CONVERTER_RATE / DECIMATION == INPUT_RATE, "the pipeline's input rate");

// Fixed texts of the error callback.
extern const char* const TEXT_NO_DEVICE;
extern const char* const TEXT_UNKNOWN_RATE;
extern const char* const TEXT_LOW_MEMORY;
extern const char* const TEXT_RESAMPLERS;
extern const char* const TEXT_NO_THREAD;

class ReceiveSession : private BlockSink {
  public:
    ReceiveSession();
    ~ReceiveSession();
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    // StartRx: a session still running is ended first, as stop() ends it. Failures reach the
    // host's error callback.
    void start(const ReceiverSettings* settings);
    // After an exception out of start(): releases whatever the start had built (worker,
    // pipeline, device) and reports "Low memory" for an allocation failure, otherwise "Can't
    // create instance of USRP Rx device".
    void abandon_start(bool allocation_failure);
    // StopRx: the worker ends, then the pipeline and the device go.
    void stop();
    // SetRxFrequency; nothing without a device or for a receiver out of range.
    void set_frequency(int32_t frequency, int32_t receiver);

  private:
    void deliver(float** buffers) override;
    void report_error(const char* text) const;

    ReceiverSettings settings_{};
    int32_t block_bytes_ = 0;  // the last device's read size, asked of the next one
    std::unique_ptr<usrp_standard_rx> device_;
    std::unique_ptr<StreamSource> source_;
    SamplePipeline pipeline_;
    std::optional<StreamWorker> worker_;
};

// The module's one session, made at load and never destroyed (at process exit the host's
// threads are gone and the USB library may be too).
ReceiveSession& module_session();
