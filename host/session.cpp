// The receive session: opens the board, builds the pipeline, runs and ends the worker.
#include "session.h"

#include "usrp_standard.h"

#include <cstring>
#include <new>

const char* const TEXT_NO_DEVICE = "Can't create instance of USRP Rx device";
const char* const TEXT_UNKNOWN_RATE = "Unknown sample rate";
const char* const TEXT_LOW_MEMORY = "Low memory";
const char* const TEXT_RESAMPLERS = "Can't initialize resamplers";
const char* const TEXT_NO_THREAD = "Can't start worker thread";

namespace {

// The worker's view of the session's device.
class DeviceSource : public StreamSource {
  public:
    explicit DeviceSource(usrp_standard_rx& d) : device(d) {}
    bool start_streaming() override { return device.start_streaming(); }
    void stop_streaming() override { device.stop_streaming(); }
    int read(void* buffer, int length, bool* overrun) override {
        return device.read(buffer, length, overrun);
    }
    void abort_read() override { device.abort_read(); }

  private:
    usrp_standard_rx& device;
};

const char* text_of(PipelineStatus status) {
    switch (status) {
        case PipelineStatus::unknown_rate: return TEXT_UNKNOWN_RATE;
        case PipelineStatus::resamplers_failed: return TEXT_RESAMPLERS;
        case PipelineStatus::low_memory:
        case PipelineStatus::ready: break;
    }
    return TEXT_LOW_MEMORY;
}

}  // namespace

ReceiveSession::ReceiveSession() = default;

ReceiveSession::~ReceiveSession() {
    stop();
}

void ReceiveSession::report_error(const char* text) const {
    if (settings_.error_callback)
        settings_.error_callback(settings_.callback_context, text);
}

void ReceiveSession::deliver(float** buffers) {
    if (settings_.data_callback)
        settings_.data_callback(settings_.callback_context, buffers);
}

void ReceiveSession::start(const ReceiverSettings* settings) {
    if (!settings)
        return;
    stop();

    std::memcpy(&settings_, settings, sizeof(ReceiverSettings));
    device_.reset(usrp_standard_rx::create(0, DECIMATION, RECEIVER_COUNT, 0, 0, block_bytes_, 0,
                                           FPGA_IMAGE, FIRMWARE_IMAGE));
    if (!device_) {
        report_error(TEXT_NO_DEVICE);
        return;
    }
    block_bytes_ = device_->read_block_size();

    const PipelineStatus status = pipeline_.setup(settings_.sample_rate_index, block_bytes_);
    if (status != PipelineStatus::ready) {
        report_error(text_of(status));
        pipeline_.release();
        device_.reset();
        return;
    }

    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device_->set_rx_phase(static_cast<unsigned>(i), 0);
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device_->set_rx_frequency(static_cast<unsigned>(i), -double(INITIAL_FREQUENCY));
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device_->set_rx_gain(static_cast<unsigned>(i), INITIAL_GAIN);

    source_.reset(new (std::nothrow) DeviceSource(*device_));
    if (!source_) {
        stop();
        report_error(TEXT_LOW_MEMORY);
        return;
    }
    worker_.emplace(*source_, pipeline_, static_cast<BlockSink&>(*this));
    if (!worker_->start()) {
        report_error(TEXT_NO_THREAD);
        worker_.reset();
        pipeline_.release();
    }
}

void ReceiveSession::abandon_start(bool allocation_failure) {
    stop();
    report_error(allocation_failure ? TEXT_LOW_MEMORY : TEXT_NO_DEVICE);
}

void ReceiveSession::stop() {
    worker_.reset();  // its destructor ends the thread
    pipeline_.release();
    source_.reset();
    device_.reset();
}

void ReceiveSession::set_frequency(int32_t frequency, int32_t receiver) {
    if (!device_ || receiver < 0 || receiver >= RECEIVER_COUNT)
        return;
    device_->set_rx_frequency(static_cast<unsigned>(receiver), -double(frequency));
}
