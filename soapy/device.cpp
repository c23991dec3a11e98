#include "device.h"

#include "usb_route.h"
#include "usrp_prims.h"

#include <SoapySDR/Errors.h>
#include <SoapySDR/Formats.h>
#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

namespace zalvo_soapy {

namespace {

const size_t CHANNELS = 4;
const double RATES[] = {48000.0, 96000.0, 192000.0};
const double MIN_FREQUENCY = 0.0;
const double MAX_FREQUENCY = 32e6;  // the converter's Nyquist frequency
const int STALL_MS = 5000;          // no block for this long while active: the board is gone
const size_t MIN_BUFFERS_SHOWN = 4;
const size_t MAX_BUFFERS_SHOWN = 4096;

// A number as people write it: 192000, 3.5625e+06 becomes 3562500, 0.5 stays 0.5.
std::string plain(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

bool has_channel(int direction, size_t channel) {
    return direction == SOAPY_SDR_RX && channel < CHANNELS;
}

// Setters throw for a channel that is not there; queries answer that there is nothing (clients
// ask of TX channels too).
void check_channel(int direction, size_t channel) {
    if (direction != SOAPY_SDR_RX || channel >= CHANNELS)
        throw std::runtime_error("zalvo: no such channel (4 RX channels, 0 to 3; no TX)");
}

std::string direction_name(int direction) {
    return direction == SOAPY_SDR_RX ? "RX" : "TX";
}

}  // namespace

int rate_index(double rate) {
    for (int i = 0; i < 3; ++i)
        if (rate == RATES[i])
            return i;
    return -1;
}

ZalvoDevice::ZalvoDevice(UsbBus* bus, const BoardEntry& board, const DeviceRequest& request)
    : bus_(bus), simulated_(is_simulated(bus)), serial_(board.serial), key_(board_key(board)),
      index_(board.index), reconnect_(request.reconnect),
      buffers_(request.buffers ? request.buffers : DEFAULT_BUFFERS), session_(*this) {
    // Once at each rate: the session designs each rate's filters now (once per process, up to
    // 0.3 s each), so that a rate change while streaming restarts quickly.
    std::lock_guard<std::mutex> guard(lock_);
    for (double rate : RATES) {
        {
            std::lock_guard<std::mutex> settings(settings_lock_);
            rate_ = rate;
        }
        if (!start_session(nullptr, false))
            throw std::runtime_error("zalvo: " + error_ + ". " + advice_for(error_, simulated_));
        stop_session();
    }
    {
        std::lock_guard<std::mutex> settings(settings_lock_);
        rate_ = RATES[0];
    }
    std::lock_guard<std::mutex> scan(usb_bus_lock());
    ThreadBus on(bus_);
    const int which = find_board();
    if (which >= 0)
        hardware_ = board_report(which, simulated_);
    if (!serial_.empty())
        hardware_["serial"] = serial_;
}

ZalvoDevice::~ZalvoDevice() {
    release_board(bus_, key_);
    std::lock_guard<std::mutex> guard(lock_);
    if (session_.running())
        stop_session();
    std::unique_ptr<StreamRing> ring;
    {
        std::lock_guard<std::mutex> streams(stream_lock_);
        ring = std::move(stream_);
    }
    if (ring) {
        ring->close();  // a reader waiting in it returns now
        ring->wait_for_readers();
    }
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
    if (!has_channel(direction, channel))
        return {};
    return {{"name", "receiver " + std::to_string(channel)}};
}

bool ZalvoDevice::getFullDuplex(const int, const size_t) const {
    return false;
}

std::vector<std::string> ZalvoDevice::listAntennas(const int direction,
                                                   const size_t channel) const {
    if (!has_channel(direction, channel))
        return {};
    return {"RX"};
}

void ZalvoDevice::setAntenna(const int direction, const size_t channel, const std::string& name) {
    check_channel(direction, channel);
    if (name == "RX")
        return;
    if (name.empty()) {
        log_once(SOAPY_SDR_INFO, "zalvo: antenna \"\" taken as RX, the only one");
        return;
    }
    throw std::runtime_error("zalvo: no antenna \"" + name + "\" (only RX)");
}

std::string ZalvoDevice::getAntenna(const int direction, const size_t channel) const {
    if (!has_channel(direction, channel))
        return "";
    return "RX";
}

std::vector<std::string> ZalvoDevice::listFrequencies(const int direction,
                                                      const size_t channel) const {
    if (!has_channel(direction, channel))
        return {};
    return {"RF"};
}

void ZalvoDevice::setFrequency(const int direction, const size_t channel, const std::string& name,
                               const double frequency, const SoapySDR::Kwargs&) {
    check_channel(direction, channel);
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    if (std::isnan(frequency))
        throw std::runtime_error("zalvo: frequency is not a number");
    // A GUI's default (CubicSDR starts at 100 MHz, and does not catch what a setter throws) is
    // taken to the nearest edge of the range, with a warning.
    const double tuned = std::min(MAX_FREQUENCY, std::max(MIN_FREQUENCY, frequency));
    if (tuned != frequency)
        SoapySDR::logf(SOAPY_SDR_WARNING,
                       "zalvo: frequency %s Hz out of range (0 to 32 MHz); channel %u tuned to "
                       "%s Hz",
                       plain(frequency).c_str(), static_cast<unsigned>(channel),
                       plain(tuned).c_str());
    std::lock_guard<std::mutex> guard(settings_lock_);
    frequency_[channel] = tuned;
    // Now when the board streams, and again whenever the session brings it up.
    session_.set_frequency(static_cast<int32_t>(std::llround(tuned)),
                           static_cast<int32_t>(channel));
}

double ZalvoDevice::getFrequency(const int direction, const size_t channel,
                                 const std::string& name) const {
    if (!has_channel(direction, channel))
        return 0.0;
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    std::lock_guard<std::mutex> guard(settings_lock_);
    return frequency_[channel];
}

SoapySDR::RangeList ZalvoDevice::getFrequencyRange(const int direction, const size_t channel,
                                                   const std::string& name) const {
    if (!has_channel(direction, channel))
        return {};
    if (name != "RF")
        throw std::runtime_error("zalvo: no frequency element \"" + name + "\" (only RF)");
    return {SoapySDR::Range(MIN_FREQUENCY, MAX_FREQUENCY)};
}

SoapySDR::RangeList ZalvoDevice::getFrequencyRange(const int direction,
                                                   const size_t channel) const {
    return getFrequencyRange(direction, channel, "RF");
}

void ZalvoDevice::setFrequencyCorrection(const int direction, const size_t channel,
                                         const double value) {
    check_channel(direction, channel);
    if (value != 0.0)
        log_once(SOAPY_SDR_INFO, "zalvo: no frequency correction; " + plain(value) +
                                     " ppm ignored (the board's clock is its reference)");
}

void ZalvoDevice::setGainMode(const int direction, const size_t channel, const bool automatic) {
    check_channel(direction, channel);
    if (automatic)
        log_once(SOAPY_SDR_INFO, "zalvo: no automatic gain control; the request is ignored");
}

void ZalvoDevice::setGain(const int direction, const size_t channel, const double value) {
    check_channel(direction, channel);
    log_once(SOAPY_SDR_INFO, "zalvo: no gain to set (the module's receive gain is fixed); " +
                                 direction_name(direction) + " gain requests are ignored");
    (void)value;
}

void ZalvoDevice::setGain(const int direction, const size_t channel, const std::string& name,
                          const double value) {
    setGain(direction, channel, value);
    (void)name;
}

void ZalvoDevice::setDCOffsetMode(const int direction, const size_t channel, const bool automatic) {
    check_channel(direction, channel);
    if (automatic)
        log_once(SOAPY_SDR_INFO, "zalvo: no DC offset correction; the request is ignored");
}

void ZalvoDevice::setDCOffset(const int direction, const size_t channel,
                              const std::complex<double>&) {
    check_channel(direction, channel);
    log_once(SOAPY_SDR_INFO, "zalvo: no DC offset correction; the request is ignored");
}

void ZalvoDevice::setIQBalance(const int direction, const size_t channel,
                               const std::complex<double>&) {
    check_channel(direction, channel);
    log_once(SOAPY_SDR_INFO, "zalvo: no IQ balance correction; the request is ignored");
}

void ZalvoDevice::setBandwidth(const int direction, const size_t channel, const double bw) {
    check_channel(direction, channel);
    log_once(SOAPY_SDR_INFO,
             "zalvo: the bandwidth follows the sample rate; " + plain(bw) + " Hz ignored");
}

bool ZalvoDevice::hasHardwareTime(const std::string& what) const {
    return what.empty();
}

long long ZalvoDevice::getHardwareTime(const std::string& what) const {
    if (!what.empty())
        return 0;
    std::lock_guard<std::mutex> guard(stream_lock_);
    return stream_ ? stream_->time_ns() : 0;
}

void ZalvoDevice::setSampleRate(const int direction, const size_t channel, const double rate) {
    check_channel(direction, channel);
    if (rate_index(rate) < 0)
        throw std::runtime_error("zalvo: sample rate " + plain(rate) +
                                 " Hz not supported (48000, 96000 or 192000)");
    std::lock_guard<std::mutex> control(lock_);
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        if (rate_ == rate)
            return;
        rate_ = rate;  // one rate for all four receivers
    }
    if (!session_.running())
        return;
    // A new rate restarts the session; the ring starts a new run (older blocks are skipped).
    stop_session();
    stream_->begin_run(rate);
    if (!start_session(stream_.get(), true))
        stream_->set_failed();
}

double ZalvoDevice::getSampleRate(const int direction, const size_t channel) const {
    if (!has_channel(direction, channel))
        return 0.0;
    std::lock_guard<std::mutex> guard(settings_lock_);
    return rate_;
}

std::vector<double> ZalvoDevice::listSampleRates(const int direction, const size_t channel) const {
    if (!has_channel(direction, channel))
        return {};
    return {RATES[0], RATES[1], RATES[2]};
}

SoapySDR::RangeList ZalvoDevice::getSampleRateRange(const int direction,
                                                    const size_t channel) const {
    if (!has_channel(direction, channel))
        return {};
    return {SoapySDR::Range(RATES[0], RATES[0]), SoapySDR::Range(RATES[1], RATES[1]),
            SoapySDR::Range(RATES[2], RATES[2])};
}

std::vector<std::string> ZalvoDevice::getStreamFormats(const int direction,
                                                       const size_t channel) const {
    if (!has_channel(direction, channel))
        return {};
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
    if (!has_channel(direction, channel))
        return {};
    SoapySDR::ArgInfo buffers;
    buffers.key = "buffers";
    buffers.value = std::to_string(buffers_);
    buffers.name = "Buffers";
    buffers.description = "Blocks the stream holds for its reader (one block is 1/93.75 s)";
    buffers.units = "blocks";
    buffers.type = SoapySDR::ArgInfo::INT;
    buffers.range = SoapySDR::Range(double(MIN_BUFFERS_SHOWN), double(MAX_BUFFERS_SHOWN));
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
    size_t buffers = buffers_;  // the device argument, or the default
    auto it = args.find("buffers");
    if (it != args.end())
        buffers = parse_buffers(it->second);
    std::lock_guard<std::mutex> control(lock_);
    std::lock_guard<std::mutex> streams(stream_lock_);
    if (stream_)
        throw std::runtime_error("zalvo: a stream is open already (one stream per device)");
    stream_.reset(new StreamRing(list, f, buffers));
    paused_ = false;
    return reinterpret_cast<SoapySDR::Stream*>(stream_.get());
}

bool ZalvoDevice::is_open_stream(SoapySDR::Stream* stream) const {
    return stream && reinterpret_cast<StreamRing*>(stream) == stream_.get();
}

void ZalvoDevice::closeStream(SoapySDR::Stream* stream) {
    std::lock_guard<std::mutex> control(lock_);
    std::unique_ptr<StreamRing> ring;
    {
        std::lock_guard<std::mutex> streams(stream_lock_);
        if (!is_open_stream(stream))
            return;
    }
    if (session_.running())
        stop_session();
    {
        std::lock_guard<std::mutex> streams(stream_lock_);
        ring = std::move(stream_);
    }
    ring->close();  // a reader waiting in it returns now
    ring->wait_for_readers();
}

size_t ZalvoDevice::getStreamMTU(SoapySDR::Stream*) const {
    std::lock_guard<std::mutex> guard(settings_lock_);
    return static_cast<size_t>(rate_ / BLOCKS_PER_SECOND);
}

int ZalvoDevice::activateStream(SoapySDR::Stream* stream, const int flags, const long long,
                                const size_t) {
    if (flags != 0)
        return SOAPY_SDR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> control(lock_);
    if (!is_open_stream(stream))
        return SOAPY_SDR_STREAM_ERROR;
    if (session_.running())
        return 0;
    double rate;
    {
        std::lock_guard<std::mutex> guard(settings_lock_);
        rate = rate_;
    }
    // After a pause the time stamps go on by the time the stream was paused.
    long long pause_ns = 0;
    if (paused_)
        pause_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - paused_at_)
                       .count();
    stream_->begin_run(rate, pause_ns);
    if (!start_session(stream_.get(), true)) {
        stream_->set_failed();
        return SOAPY_SDR_STREAM_ERROR;
    }
    paused_ = false;
    stream_->set_active(true);
    return 0;
}

int ZalvoDevice::deactivateStream(SoapySDR::Stream* stream, const int flags, const long long) {
    if (flags != 0)
        return SOAPY_SDR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> control(lock_);
    if (!is_open_stream(stream))
        return SOAPY_SDR_STREAM_ERROR;
    if (session_.running()) {
        stop_session();
        paused_ = true;
        paused_at_ = std::chrono::steady_clock::now();
    }
    stream_->set_active(false);
    return 0;
}

int ZalvoDevice::readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t numElems,
                            int& flags, long long& timeNs, const long timeoutUs) {
    // The session's side never waits for the reader; closing the stream waits for readers to
    // leave the ring.
    StreamRing* ring;
    {
        std::lock_guard<std::mutex> streams(stream_lock_);
        if (!is_open_stream(stream))
            return SOAPY_SDR_STREAM_ERROR;
        ring = stream_.get();
        ring->enter();
    }
    ReadResult r = ring->read(buffs, numElems, timeoutUs, STALL_MS);
    ring->leave();
    flags = r.flags;
    if (r.code > 0)
        timeNs = r.time_ns;
    return r.code;
}

}  // namespace zalvo_soapy
