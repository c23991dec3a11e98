// The receive session: opens the board, builds the pipeline, runs and ends the worker, and brings
// a board that left the bus up again.
#include "session.h"

#include "os.h"
#include "usrp_prims.h"
#include "usrp_standard.h"

#include <new>

const char* const TEXT_NO_DEVICE = "Can't create instance of USRP Rx device";
const char* const TEXT_UNKNOWN_RATE = "Unknown sample rate";
const char* const TEXT_LOW_MEMORY = "Low memory";
const char* const TEXT_RESAMPLERS = "Can't initialize resamplers";
const char* const TEXT_NO_THREAD = "Can't start worker thread";

namespace {

// While reads fail, the buses are rescanned at most this often to see whether the board is still
// there; while the board is away, to see whether it is back.
constexpr unsigned RESCAN_MS = 250;
constexpr auto RESCAN_INTERVAL = std::chrono::milliseconds(RESCAN_MS);
// A board still listed whose reads have failed this long (the transfer ring's own recovery has
// had its chances) is closed and brought up again as one that came back.
constexpr auto DEAD_READS_LIMIT = std::chrono::seconds(3);
constexpr unsigned STOP_POLL_MS = 5;

// Holds the bus lock once it could be taken before a stop was asked for.
class BusLock {
  public:
    explicit BusLock(const std::atomic<uint8_t>& stop) {
        while (!usb_bus_lock().try_lock()) {
            if (stop.load(std::memory_order_acquire))
                return;
            os::sleep_ms(STOP_POLL_MS);
        }
        held_ = true;
    }
    ~BusLock() {
        if (held_)
            usb_bus_lock().unlock();
    }
    BusLock(const BusLock&) = delete;
    BusLock& operator=(const BusLock&) = delete;
    explicit operator bool() const { return held_; }

  private:
    bool held_ = false;
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

// The settings every start gives the board's receivers: phases, frequencies, then gains.
void tune(usrp_standard_rx& device, const int32_t frequency[RECEIVER_COUNT]) {
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device.set_rx_phase(static_cast<unsigned>(i), 0);
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device.set_rx_frequency(static_cast<unsigned>(i), -double(frequency[i]));
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        device.set_rx_gain(static_cast<unsigned>(i), INITIAL_GAIN);
}

}  // namespace

std::mutex& usb_bus_lock() {
    static std::mutex lock;
    return lock;
}

void SessionListener::board_lost(bool gone_from_bus) {
    os::diag_printf("StreamWorker: board lost (%s); waiting for it to come back\n",
                    gone_from_bus ? "gone from the bus" : "reads failing");
}

void SessionListener::board_back(double away_s) {
    os::diag_printf("StreamWorker: board back after %.3f s; streaming again\n", away_s);
}

ReceiveSession::ReceiveSession(SessionListener& listener) : listener_(listener) {}

ReceiveSession::~ReceiveSession() {
    stop();
}

void ReceiveSession::deliver(float** buffers) {
    last_data_ = Clock::now();
    listener_.deliver(buffers);
}

void ReceiveSession::worker_started() {
    listener_.worker_started();
}

void ReceiveSession::overrun() {
    listener_.overrun();
}

void ReceiveSession::clipping(const RailCounts& counts) {
    listener_.clipping(counts);
}

int ReceiveSession::board_index() const {
    return config_.find_board ? config_.find_board() : config_.board;
}

std::unique_ptr<usrp_standard_rx> ReceiveSession::bring_up(int which) {
    return std::unique_ptr<usrp_standard_rx>(
        usrp_standard_rx::create(which, DECIMATION, RECEIVER_COUNT, 0, 0, block_bytes_, 0,
                                 USRP_FPGA_IMAGE_4RX, USRP_FIRMWARE_IMAGE));
}

void ReceiveSession::start(const SessionConfig& config) {
    stop();
    config_ = config;
    {
        std::lock_guard<std::mutex> guard(device_lock_);
        for (int i = 0; i < RECEIVER_COUNT; ++i)
            frequency_[i] = config.frequency[i];
    }
    std::unique_ptr<usrp_standard_rx> device;
    {
        std::lock_guard<std::mutex> bus(usb_bus_lock());
        const int which = board_index();
        if (which >= 0)
            device = bring_up(which);
    }
    if (!device) {
        listener_.failed(TEXT_NO_DEVICE);
        return;
    }
    block_bytes_ = device->read_block_size();

    const PipelineStatus status = pipeline_.setup(config_.rate_index, block_bytes_);
    if (status != PipelineStatus::ready) {
        listener_.failed(text_of(status));
        pipeline_.release();
        return;
    }
    tune(*device, config_.frequency);
    {
        std::lock_guard<std::mutex> guard(device_lock_);
        device_ = std::move(device);
    }
    failing_ = false;
    last_rescan_ = Clock::time_point();
    last_data_ = Clock::now();
    worker_.emplace(static_cast<StreamSource&>(*this), pipeline_, static_cast<BlockSink&>(*this),
                    static_cast<StreamEvents*>(this));
    if (!worker_->start()) {
        listener_.failed(TEXT_NO_THREAD);
        worker_.reset();
        pipeline_.release();
    }
}

void ReceiveSession::abandon_start(bool allocation_failure) {
    stop();
    listener_.failed(allocation_failure ? TEXT_LOW_MEMORY : TEXT_NO_DEVICE);
}

void ReceiveSession::stop() {
    worker_.reset();  // its destructor ends the thread
    pipeline_.release();
    std::unique_ptr<usrp_standard_rx> device;
    {
        std::lock_guard<std::mutex> guard(device_lock_);
        device = std::move(device_);
    }
}

void ReceiveSession::set_frequency(int32_t frequency, int32_t receiver) {
    if (receiver < 0 || receiver >= RECEIVER_COUNT)
        return;
    std::lock_guard<std::mutex> guard(device_lock_);
    if (!device_ && !worker_)
        return;
    frequency_[receiver] = frequency;
    if (device_)
        device_->set_rx_frequency(static_cast<unsigned>(receiver), -double(frequency));
}

std::string ReceiveSession::board_place() const {
    std::lock_guard<std::mutex> guard(device_lock_);
    return device_ ? device_->bus_place() : std::string();
}

// ---- the worker's side ------------------------------------------------------------------------

bool ReceiveSession::start_streaming() {
    return device_ && device_->start_streaming();
}

void ReceiveSession::stop_streaming() {
    if (device_)
        device_->stop_streaming();
}

int ReceiveSession::read(void* buffer, int length, bool* overrun) {
    if (!device_) {
        *overrun = false;
        return -1;
    }
    const int got = device_->read(buffer, length, overrun);
    if (got > 0)
        failing_ = false;
    return got;
}

void ReceiveSession::abort_read() {
    std::lock_guard<std::mutex> guard(device_lock_);
    if (device_)
        device_->abort_read();
}

bool ReceiveSession::still_listed() {
    usrp_rescan();
    return device_ && usrp_listed_at(device_->bus_place());
}

bool ReceiveSession::recover(const std::atomic<uint8_t>& stop) {
    const Clock::time_point now = Clock::now();
    if (!failing_) {
        failing_ = true;
        failing_since_ = now;
    }
    if (!config_.reconnect || now - last_rescan_ < RESCAN_INTERVAL)
        return false;
    last_rescan_ = now;
    bool gone;
    {
        BusLock bus(stop);
        if (!bus)
            return false;
        gone = !still_listed();
    }
    if (!gone && now - failing_since_ < DEAD_READS_LIMIT)
        return false;
    listener_.board_lost(gone);
    return bring_back(gone, stop);
}

bool ReceiveSession::bring_back(bool gone, const std::atomic<uint8_t>& stop) {
    {
        std::unique_ptr<usrp_standard_rx> old;
        {
            std::lock_guard<std::mutex> guard(device_lock_);
            old = std::move(device_);
        }
        // Its transfers end and its handle closes here; a board that has left the bus is sent no
        // further requests.
        static const std::atomic<uint8_t> always(1);
        usrp_abandon_scope quiet(gone ? &always : nullptr);
        old.reset();
    }
    usrp_abandon_scope abandon(&stop);
    bool told = false;
    for (;;) {
        {
            BusLock bus(stop);
            if (!bus)
                return false;
            usrp_rescan();
            const int which = board_index();
            if (which >= 0 && usrp_find_device(which)) {
                std::unique_ptr<usrp_standard_rx> fresh = bring_up(which);
                if (stop.load(std::memory_order_acquire))
                    return false;
                if (fresh) {
                    std::lock_guard<std::mutex> guard(device_lock_);
                    tune(*fresh, frequency_);
                    device_ = std::move(fresh);
                    break;
                }
                if (!told)
                    os::diag_printf("StreamWorker: a board is there but could not be brought "
                                    "up; trying again\n");
                told = true;
            }
        }
        if (!usrp_pause(RESCAN_MS))  // the abandon scope above watches the stop flag
            return false;
    }
    failing_ = false;
    last_rescan_ = Clock::time_point();
    listener_.board_back(std::chrono::duration<double>(Clock::now() - last_data_).count());
    return true;
}
