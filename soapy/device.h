// The board as a SoapySDR device: four RX channels (channel k is receiver k of the module), one
// stream at a time, driven through the receiver module's exported functions.
#pragma once

#include "stream_ring.h"

#include <SoapySDR/Device.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace zalvo_soapy {

class ZalvoDevice : public SoapySDR::Device {
  public:
    // What the module's callbacks see (their context): the ring that takes the blocks, the
    // block length, the text of a failed start.
    struct Run {
        StreamRing* ring = nullptr;
        size_t block_length = 0;
        std::string error;
    };

    // `identity`: the find result; `hardware`: the board report. Opens nothing: the module runs
    // while a stream is active.
    ZalvoDevice(const SoapySDR::Kwargs& identity, const SoapySDR::Kwargs& hardware);
    ~ZalvoDevice() override;

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
    // Starts the module at rate_ feeding `ring` (or nothing) and tunes the four receivers;
    // false with the error text logged. Hold module_lock().
    bool start_module(StreamRing* ring);
    // The stream this device opened and has not closed (module lock held).
    bool is_open_stream(SoapySDR::Stream* stream) const;
    // Stops the module; no callback comes after it. Hold module_lock().
    void stop_module();
    static void on_trace(void* context, const char* text);

    const SoapySDR::Kwargs identity_;
    const SoapySDR::Kwargs hardware_;

    // Settings: written under settings_lock_, read by any thread.
    mutable std::mutex settings_lock_;
    double rate_ = 48000.0;
    double frequency_[4] = {3600000.0, 3600000.0, 3600000.0, 3600000.0};

    // Guarded by module_lock().
    std::unique_ptr<StreamRing> stream_;
    bool running_ = false;
    Run run_;
    int64_t dropped_seen_ = 0;  // the simulator's dropped instants when last looked at
};

}  // namespace zalvo_soapy
