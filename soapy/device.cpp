#include "device.h"

#include "ZalvoIntf.h"
#include "board.h"
#include "os.h"

#include <SoapySDR/Errors.h>
#include <SoapySDR/Formats.h>
#include <SoapySDR/Logger.hpp>

#include <cmath>
#include <cstring>
#include <set>
#include <stdexcept>

namespace zalvo_soapy {

namespace {

const size_t CHANNELS = 4;
const double RATES[] = {48000.0, 96000.0, 192000.0};
const double MIN_FREQUENCY = 0.0;
const double MAX_FREQUENCY = 32e6;  // the converter's Nyquist frequency
const size_t DEFAULT_BUFFERS = 64;  // module blocks: 0.68 s at every rate
const size_t MIN_BUFFERS = 4;
const size_t MAX_BUFFERS = 4096;
const int STALL_MS = 5000;  // no block for this long while active: the board is gone
const double BOARD_RATE = 500000.0;

int rate_index(double rate) {
    for (int i = 0; i < 3; ++i)
        if (rate == RATES[i])
            return i;
    return -1;
}

void check_channel(int direction, size_t channel) {
    if (direction != SOAPY_SDR_RX || channel >= CHANNELS)
        throw std::runtime_error("zalvo: no such channel (4 RX channels, 0 to 3; no TX)");
}

// The module's callbacks reach the run through their context. The data callback only copies
// into the ring: it never waits and never calls the module.
void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    auto* run = reinterpret_cast<ZalvoDevice::Run*>(context);
    if (run->ring)
        run->ring->push(buffers, run->block_length);
}

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    reinterpret_cast<ZalvoDevice::Run*>(context)->error = text ? text : "?";
}

}  // namespace

ZalvoDevice::ZalvoDevice(const SoapySDR::Kwargs& identity, const SoapySDR::Kwargs& hardware)
    : identity_(identity), hardware_(hardware) {
    os::set_trace_sink(&ZalvoDevice::on_trace, this);
}

ZalvoDevice::~ZalvoDevice() {
    {
        std::lock_guard<std::mutex> guard(module_lock());
        if (running_)
            stop_module();
        stream_.reset();
    }
    os::set_trace_sink(nullptr, nullptr);
    note_open(nullptr);
}

// The module's overrun mark, on its worker thread (the module was started by start_module, so
// run_ and dropped_seen_ are this thread's until stop_module has waited for it).
void ZalvoDevice::on_trace(void* context, const char* text) {
    auto* self = static_cast<ZalvoDevice*>(context);
    if (!text || !std::strchr(text, 'O') || !self->run_.ring)
        return;
    int64_t lost = 0;
    if (bus_is_simulated()) {
        // The simulated board counts what it dropped; the real one does not say.
        const int64_t dropped = simulator_dropped();
        const double rate = static_cast<double>(self->run_.block_length) * BLOCKS_PER_SECOND;
        lost = std::llround(static_cast<double>(dropped - self->dropped_seen_) * rate / BOARD_RATE);
        self->dropped_seen_ = dropped;
    }
    self->run_.ring->note_board_loss(lost);
}

bool ZalvoDevice::start_module(StreamRing* ring) {
    double rate, freq[CHANNELS];
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        rate = rate_;
        std::memcpy(freq, frequency_, sizeof freq);
    }
    ReceiverSettings s{};
    s.callback_context = reinterpret_cast<intptr_t>(&run_);
    s.sample_rate_index = rate_index(rate);
    s.data_callback = &on_data;
    s.error_callback = &on_error;
    run_.ring = ring;
    run_.block_length = static_cast<size_t>(rate / BLOCKS_PER_SECOND);
    run_.error.clear();
    dropped_seen_ = simulator_dropped();
    StartRx(&s);
    if (!run_.error.empty()) {
        SoapySDR::logf(SOAPY_SDR_ERROR, "zalvo: %s. %s", run_.error.c_str(),
                       advice_for(run_.error).c_str());
        StopRx();  // a device left open without a worker is closed too
        run_.ring = nullptr;
        return false;
    }
    running_ = true;
    // The module's start tunes every receiver to 3.6 MHz: the stored frequencies again.
    for (size_t r = 0; r < CHANNELS; ++r)
        SetRxFrequency(static_cast<int32_t>(std::llround(freq[r])), static_cast<int32_t>(r));
    return true;
}

void ZalvoDevice::stop_module() {
    StopRx();
    running_ = false;
    run_.ring = nullptr;
}

std::string ZalvoDevice::getDriverKey() const {
    return "zalvo";
}

std::string ZalvoDevice::getHardwareKey() const {
    auto it = hardware_.find("revision");
    return "USRP rev " + (it == hardware_.end() ? std::string("?") : it->second);
}

SoapySDR::Kwargs ZalvoDevice::getHardwareInfo() const {
    return hardware_;
}

size_t ZalvoDevice::getNumChannels(const int direction) const {
    return direction == SOAPY_SDR_RX ? CHANNELS : 0;
}

SoapySDR::Kwargs ZalvoDevice::getChannelInfo(const int direction, const size_t channel) const {
    check_channel(direction, channel);
    return {{"name", "receiver " + std::to_string(channel)}};
}

bool ZalvoDevice::getFullDuplex(const int, const size_t) const {
    return false;
}

std::vector<std::string> ZalvoDevice::listAntennas(const int direction,
                                                   const size_t channel) const {
    check_channel(direction, channel);
    return {"RX"};
}

void ZalvoDevice::setAntenna(const int direction, const size_t channel, const std::string& name) {
    check_channel(direction, channel);
    if (name != "RX")
        throw std::runtime_error("zalvo: no antenna \"" + name + "\" (only RX)");
}

std::string ZalvoDevice::getAntenna(const int direction, const size_t channel) const {
    check_channel(direction, channel);
    return "RX";
}

std::vector<std::string> ZalvoDevice::listFrequencies(const int direction,
                                                      const size_t channel) const {
    check_channel(direction, channel);
    return {"RF"};
}

void ZalvoDevice::setFrequency(const int direction, const size_t channel, const std::string& name,
                               const double frequency, const SoapySDR::Kwargs&) {
    check_channel(direction, channel);
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    if (!(frequency >= MIN_FREQUENCY && frequency <= MAX_FREQUENCY))
        throw std::runtime_error("zalvo: frequency " + std::to_string(frequency) +
                                 " Hz out of range (0 to 32 MHz)");
    std::lock_guard<std::mutex> module(module_lock());
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        frequency_[channel] = frequency;
    }
    if (running_)
        SetRxFrequency(static_cast<int32_t>(std::llround(frequency)),
                       static_cast<int32_t>(channel));
}

double ZalvoDevice::getFrequency(const int direction, const size_t channel,
                                 const std::string& name) const {
    check_channel(direction, channel);
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    std::lock_guard<std::mutex> guard(settings_lock_);
    return frequency_[channel];
}

SoapySDR::RangeList ZalvoDevice::getFrequencyRange(const int direction, const size_t channel,
                                                   const std::string& name) const {
    check_channel(direction, channel);
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    return {SoapySDR::Range(MIN_FREQUENCY, MAX_FREQUENCY)};
}

SoapySDR::RangeList ZalvoDevice::getFrequencyRange(const int direction,
                                                   const size_t channel) const {
    return getFrequencyRange(direction, channel, "RF");
}

void ZalvoDevice::setSampleRate(const int direction, const size_t channel, const double rate) {
    check_channel(direction, channel);
    if (rate_index(rate) < 0)
        throw std::runtime_error("zalvo: sample rate " + std::to_string(rate) +
                                 " Hz not supported (48000, 96000 or 192000)");
    std::lock_guard<std::mutex> module(module_lock());
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        if (rate_ == rate)
            return;
        rate_ = rate;  // one rate for all four receivers
    }
    if (!running_)
        return;
    // A new rate restarts the module; the ring starts a new run (older blocks are skipped).
    stop_module();
    stream_->begin_run(rate);
    if (!start_module(stream_.get()))
        stream_->set_failed();
}

double ZalvoDevice::getSampleRate(const int direction, const size_t channel) const {
    check_channel(direction, channel);
    std::lock_guard<std::mutex> guard(settings_lock_);
    return rate_;
}

std::vector<double> ZalvoDevice::listSampleRates(const int direction, const size_t channel) const {
    check_channel(direction, channel);
    return {RATES[0], RATES[1], RATES[2]};
}

SoapySDR::RangeList ZalvoDevice::getSampleRateRange(const int direction,
                                                    const size_t channel) const {
    check_channel(direction, channel);
    return {SoapySDR::Range(RATES[0], RATES[0]), SoapySDR::Range(RATES[1], RATES[1]),
            SoapySDR::Range(RATES[2], RATES[2])};
}

std::vector<std::string> ZalvoDevice::getStreamFormats(const int direction,
                                                       const size_t channel) const {
    check_channel(direction, channel);
    return {SOAPY_SDR_CF32, SOAPY_SDR_CS16};
}

std::string ZalvoDevice::getNativeStreamFormat(const int direction, const size_t channel,
                                               double& fullScale) const {
    check_channel(direction, channel);
    fullScale = 1.0;
    return SOAPY_SDR_CF32;
}

SoapySDR::ArgInfoList ZalvoDevice::getStreamArgsInfo(const int direction,
                                                     const size_t channel) const {
    check_channel(direction, channel);
    SoapySDR::ArgInfo buffers;
    buffers.key = "buffers";
    buffers.value = std::to_string(DEFAULT_BUFFERS);
    buffers.name = "Buffers";
    buffers.description = "Blocks the stream holds for its reader (one block is 1/93.75 s)";
    buffers.units = "blocks";
    buffers.type = SoapySDR::ArgInfo::INT;
    buffers.range = SoapySDR::Range(double(MIN_BUFFERS), double(MAX_BUFFERS));
    return {buffers};
}

SoapySDR::Stream* ZalvoDevice::setupStream(const int direction, const std::string& format,
                                           const std::vector<size_t>& channels,
                                           const SoapySDR::Kwargs& args) {
    if (direction != SOAPY_SDR_RX)
        throw std::runtime_error("zalvo: receive only (no TX channels)");
    SampleFormat f;
    if (format == SOAPY_SDR_CF32)
        f = SampleFormat::cf32;
    else if (format == SOAPY_SDR_CS16)
        f = SampleFormat::cs16;
    else
        throw std::runtime_error("zalvo: stream format " + format + " not supported (CF32, CS16)");
    std::vector<size_t> list = channels.empty() ? std::vector<size_t>{0} : channels;
    std::set<size_t> seen;
    for (size_t c : list)
        if (c >= CHANNELS || !seen.insert(c).second)
            throw std::runtime_error("zalvo: bad channel list (distinct channels 0 to 3)");
    size_t buffers = DEFAULT_BUFFERS;
    auto it = args.find("buffers");
    if (it != args.end()) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(it->second.c_str(), &end, 10);
        if (!end || *end || v < MIN_BUFFERS || v > MAX_BUFFERS)
            throw std::runtime_error("zalvo: buffers=" + it->second + " (4 to 4096)");
        buffers = v;
    }
    std::lock_guard<std::mutex> module(module_lock());
    if (stream_)
        throw std::runtime_error("zalvo: a stream is open already (one stream per device)");
    stream_.reset(new StreamRing(list, f, buffers));
    return reinterpret_cast<SoapySDR::Stream*>(stream_.get());
}

bool ZalvoDevice::is_open_stream(SoapySDR::Stream* stream) const {
    return stream && reinterpret_cast<StreamRing*>(stream) == stream_.get();
}

void ZalvoDevice::closeStream(SoapySDR::Stream* stream) {
    std::lock_guard<std::mutex> module(module_lock());
    if (!is_open_stream(stream))
        return;
    if (running_)
        stop_module();
    stream_.reset();
}

size_t ZalvoDevice::getStreamMTU(SoapySDR::Stream*) const {
    std::lock_guard<std::mutex> guard(settings_lock_);
    return static_cast<size_t>(rate_ / BLOCKS_PER_SECOND);
}

int ZalvoDevice::activateStream(SoapySDR::Stream* stream, const int flags, const long long,
                                const size_t) {
    if (flags != 0)
        return SOAPY_SDR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> module(module_lock());
    if (!is_open_stream(stream))
        return SOAPY_SDR_STREAM_ERROR;
    if (running_)
        return 0;
    double rate;
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        rate = rate_;
    }
    stream_->begin_run(rate);
    if (!start_module(stream_.get())) {
        stream_->set_failed();
        return SOAPY_SDR_STREAM_ERROR;
    }
    stream_->set_active(true);
    return 0;
}

int ZalvoDevice::deactivateStream(SoapySDR::Stream* stream, const int flags, const long long) {
    if (flags != 0)
        return SOAPY_SDR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> module(module_lock());
    if (!is_open_stream(stream))
        return SOAPY_SDR_STREAM_ERROR;
    if (running_)
        stop_module();
    stream_->set_active(false);
    return 0;
}

int ZalvoDevice::readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t numElems,
                            int& flags, long long& timeNs, const long timeoutUs) {
    // No lock: the ring is the reader's; the module's side never waits for it.
    if (!stream)
        return SOAPY_SDR_STREAM_ERROR;
    ReadResult r =
        reinterpret_cast<StreamRing*>(stream)->read(buffs, numElems, timeoutUs, STALL_MS);
    flags = r.flags;
    if (r.code > 0)
        timeNs = r.time_ns;
    return r.code;
}

}  // namespace zalvo_soapy
