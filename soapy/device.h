// The board as a SoapySDR device: four RX channels (channel k is receiver k of the module), one
// stream at a time, served by a receive session of the device's own.
#pragma once

#include "board.h"
#include "session.h"
#include "stream_ring.h"

#include <SoapySDR/Device.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace zalvo_soapy {

struct UsbBus;

// The module's rate index of a rate (0, 1, 2 for 48, 96, 192 kHz), or -1.
int rate_index(double rate);

class ZalvoDevice : public SoapySDR::Device, private SessionListener {
  public:
    // Brings the board up once at each rate and closes it again (a board that cannot be opened
    // fails here, by an exception, rather than at its first stream), and reads its report.
    // `board`: as the last scan found it; the device holds the board until it is destroyed.
    ZalvoDevice(UsbBus* bus, const BoardEntry& board, const DeviceRequest& request);
    ~ZalvoDevice() override;
    ZalvoDevice(const ZalvoDevice&) = delete;
    ZalvoDevice& operator=(const ZalvoDevice&) = delete;

    // Where the board is on the bus while its session has it open; empty otherwise.
    std::string place() const;

    std::string getDriverKey() const override;
    std::string getHardwareKey() const override;
    SoapySDR::Kwargs getHardwareInfo() const override;

    size_t getNumChannels(const int direction) const override;
    SoapySDR::Kwargs getChannelInfo(const int direction, const size_t channel) const override;
    bool getFullDuplex(const int direction, const size_t channel) const override;

    std::vector<std::string> listAntennas(const int direction, const size_t channel) const override;
    void setAntenna(const int direction, const size_t channel, const std::string& name) override;
    std::string getAntenna(const int direction, const size_t channel) const override;

    std::vector<std::string> listFrequencies(const int direction,
                                             const size_t channel) const override;
    void setFrequency(const int direction, const size_t channel, const std::string& name,
                      const double frequency, const SoapySDR::Kwargs& args) override;
    double getFrequency(const int direction, const size_t channel,
                        const std::string& name) const override;
    SoapySDR::RangeList getFrequencyRange(const int direction, const size_t channel,
                                          const std::string& name) const override;
    SoapySDR::RangeList getFrequencyRange(const int direction, const size_t channel) const override;
    void setFrequencyCorrection(const int direction, const size_t channel,
                                const double value) override;

    // No gain, AGC, DC offset, IQ balance or bandwidth to set: requests are logged once and
    // ignored.
    void setGainMode(const int direction, const size_t channel, const bool automatic) override;
    void setGain(const int direction, const size_t channel, const double value) override;
    void setGain(const int direction, const size_t channel, const std::string& name,
                 const double value) override;
    void setDCOffsetMode(const int direction, const size_t channel, const bool automatic) override;
    void setDCOffset(const int direction, const size_t channel,
                     const std::complex<double>& offset) override;
    void setIQBalance(const int direction, const size_t channel,
                      const std::complex<double>& balance) override;
    void setBandwidth(const int direction, const size_t channel, const double bw) override;

    // Every read carries the time of its first sample, counted from the samples delivered.
    bool hasHardwareTime(const std::string& what) const override;
    long long getHardwareTime(const std::string& what) const override;

    void setSampleRate(const int direction, const size_t channel, const double rate) override;
    double getSampleRate(const int direction, const size_t channel) const override;
    std::vector<double> listSampleRates(const int direction, const size_t channel) const override;
    SoapySDR::RangeList getSampleRateRange(const int direction,
                                           const size_t channel) const override;

    std::vector<std::string> getStreamFormats(const int direction,
                                              const size_t channel) const override;
    std::string getNativeStreamFormat(const int direction, const size_t channel,
                                      double& fullScale) const override;
    SoapySDR::ArgInfoList getStreamArgsInfo(const int direction,
                                            const size_t channel) const override;
    SoapySDR::Stream* setupStream(const int direction, const std::string& format,
                                  const std::vector<size_t>& channels,
                                  const SoapySDR::Kwargs& args) override;
    void closeStream(SoapySDR::Stream* stream) override;
    size_t getStreamMTU(SoapySDR::Stream* stream) const override;
    int activateStream(SoapySDR::Stream* stream, const int flags, const long long timeNs,
                       const size_t numElems) override;
    int deactivateStream(SoapySDR::Stream* stream, const int flags,
                         const long long timeNs) override;
    int readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t numElems, int& flags,
                   long long& timeNs, const long timeoutUs) override;

  private:
    // SessionListener, on the session's worker thread (failed: on the starting thread).
    void deliver(float** buffers) override;
    void failed(const char* text) override;
    void worker_started() override;
    void overrun() override;
    void clipping(const RailCounts& counts) override;
    void board_lost(bool gone_from_bus) override;
    void board_back(double away_s) override;
    // The session's look for the board: its number on the bus now, or -1. Run with the bus lock
    // held and the board's bus the thread's.
    int find_board();
    // Logs `text` at `level` the first time only.
    void log_once(int level, const std::string& text);

    // Starts the session at rate_ feeding `ring` (or nothing), tuned to the frequencies set;
    // false with the error text in error_ (and logged when `log`). Hold lock_.
    bool start_session(StreamRing* ring, bool log);
    // Stops the session; nothing comes from it after this. Hold lock_.
    void stop_session();
    // The stream this device opened and has not closed (hold lock_ or stream_lock_).
    bool is_open_stream(SoapySDR::Stream* stream) const;

    UsbBus* const bus_;
    const bool simulated_;
    const std::string serial_;
    const std::string key_;  // among the open boards
    const int index_;        // for a board without a serial
    const bool reconnect_;
    const size_t buffers_;
    SoapySDR::Kwargs hardware_;

    // Settings: written under settings_lock_, read by any thread.
    mutable std::mutex settings_lock_;
    double rate_ = 48000.0;
    double frequency_[4] = {3600000.0, 3600000.0, 3600000.0, 3600000.0};

    // Stream control (setup, close, activation, rate changes): one call at a time.
    std::mutex lock_;
    // The stream's pointer and its readers: held briefly, never across a session's start.
    mutable std::mutex stream_lock_;
    std::unique_ptr<StreamRing> stream_;
    std::chrono::steady_clock::time_point paused_at_{};
    bool paused_ = false;

    // The session's thread's while it runs (set before it starts, read after it stopped).
    StreamRing* ring_ = nullptr;
    size_t block_length_ = 0;
    std::string error_;
    int64_t dropped_seen_ = 0;  // the simulated board's dropped instants when last looked at
    std::chrono::steady_clock::time_point last_block_{};  // when the last block came
    bool back_ = false;  // the board is back: the next block measures the absence

    std::mutex logged_lock_;
    std::set<std::string> logged_;

    ReceiveSession session_;  // last: it ends first
};

}  // namespace zalvo_soapy
