// The receive session: opens the board, builds the pipeline, runs and ends the worker.
#include "session.h"

#include "usrp_standard.h"

#include <cstring>
#include <new>

namespace {

// The worker's view of the session's device.
class DeviceSource : public StreamSource {
  public:
    explicit DeviceSource(usrp_standard_rx* d) : device(d) {}
    bool start_streaming() override { return device->start_streaming(); }
    void stop_streaming() override { device->stop_streaming(); }
    int read(void* buffer, int length, bool* overrun) override {
        return device->read(buffer, length, overrun);
    }
    void abort_read() override { device->abort_read(); }

  private:
    usrp_standard_rx* device;
};

}  // namespace

void session_attach(ReceiveSession& s) {
    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i)
        s.output_buffers[i] = nullptr;
}

void session_start(ReceiveSession& s, const ReceiverSettings* settings) {
    if (!settings)
        return;
    // A session still running is ended exactly as StopRx would end it.
    session_stop(s);

    std::memcpy(&s.settings, settings, sizeof(ReceiverSettings));
    s.device = usrp_standard_rx::create(0, DECIMATION, RECEIVER_COUNT, 0, 0, s.block_bytes, 0,
                                        FPGA_IMAGE, FIRMWARE_IMAGE);
    if (!s.device) {
        report_error(s, TEXT_NO_DEVICE);
        return;
    }
    s.block_bytes = s.device->read_block_size();

    if (!setup_pipeline(s)) {
        release_pipeline(s);
        delete s.device;
        s.device = nullptr;
        return;
    }

    for (int i = 0; i < RECEIVER_COUNT; ++i)
        s.device->set_rx_phase(static_cast<unsigned>(i), 0);
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        s.device->set_rx_frequency(static_cast<unsigned>(i), -double(INITIAL_FREQUENCY));
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        s.device->set_rx_gain(static_cast<unsigned>(i), INITIAL_GAIN);

    delete s.source;
    s.source = new (std::nothrow) DeviceSource(s.device);
    if (!s.source) {
        session_stop(s);
        report_error(s, TEXT_LOW_MEMORY);
        return;
    }
    if (!start_worker(s)) {
        report_error(s, TEXT_NO_THREAD);
        release_pipeline(s);
    }
}

void session_abandon_start(ReceiveSession& s, bool allocation_failure) {
    session_stop(s);
    report_error(s, allocation_failure ? TEXT_LOW_MEMORY : TEXT_NO_DEVICE);
}

void session_stop(ReceiveSession& s) {
    stop_worker(s);
    release_pipeline(s);
    delete s.device;
    s.device = nullptr;
    delete s.source;
    s.source = nullptr;
}

void session_set_frequency(ReceiveSession& s, int32_t frequency, int32_t receiver) {
    if (!s.device || receiver < 0 || receiver >= RECEIVER_COUNT)
        return;
    s.device->set_rx_frequency(static_cast<unsigned>(receiver), -double(frequency));
}
