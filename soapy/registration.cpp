// The driver "zalvo": discovery and opening of the board for SoapySDR.
#include "ZalvoIntf.h"
#include "board.h"
#include "device.h"

#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Registry.hpp>

#include <stdexcept>

namespace zalvo_soapy {

namespace {

std::vector<SoapySDR::Kwargs> find_zalvo(const SoapySDR::Kwargs& args) {
    auto index = args.find("index");
    if (index != args.end() && index->second != "0")
        return {};  // the module opens the first board only
    SoapySDR::Kwargs identity;
    if (open_identity(&identity))
        return {identity};  // open, perhaps streaming: the bus is left alone
    std::lock_guard<std::mutex> guard(module_lock());
    std::string error;
    if (!choose_bus(args, &error)) {
        SoapySDR::log(SOAPY_SDR_ERROR, error);
        return {};
    }
    int revision = 0;
    if (!scan_first_board(&identity, &revision))
        return {};
    return {identity};
}

void ZALVO_CALL note_error(intptr_t context, const char* text) {
    *reinterpret_cast<std::string*>(context) = text ? text : "?";
}

SoapySDR::Device* make_zalvo(const SoapySDR::Kwargs& args) {
    SoapySDR::Kwargs identity;
    if (open_identity(&identity))
        throw std::runtime_error("zalvo: the board is open already in this process (the module "
                                 "drives one board per process)");
    std::lock_guard<std::mutex> guard(module_lock());
    std::string error;
    if (!choose_bus(args, &error))
        throw std::runtime_error(error);
    int revision = 0;
    if (!scan_first_board(&identity, &revision))
        throw std::runtime_error(
            std::string("zalvo: no USRP (vendor 0xfffe, product 0x0002) on the USB buses") +
            (bus_is_simulated() ? " of the simulator" : "") +
            ". Check the cable and power, and that you may open USB devices (a udev rule, or "
            "root).");
    const std::string missing = missing_images(revision);
    if (!missing.empty())
        throw std::runtime_error("zalvo: " + missing);
    // Bring the board up (its images loaded as a capture would) and close it again, once at
    // each rate: a board that cannot be opened fails here rather than at its first stream, the
    // report can read the daughterboards, and the module designs each rate's filters now (once
    // per process, up to 0.3 s each), so that a rate change while streaming restarts quickly.
    for (int rate_index = 0; rate_index < 3 && error.empty(); ++rate_index) {
        ReceiverSettings trial{};
        trial.sample_rate_index = rate_index;
        trial.callback_context = reinterpret_cast<intptr_t>(&error);
        trial.error_callback = &note_error;
        StartRx(&trial);
        StopRx();
    }
    if (!error.empty())
        throw std::runtime_error("zalvo: " + error + ". " + advice_for(error));
    ZalvoDevice* device = new ZalvoDevice(identity, board_report());
    note_open(&identity);
    return device;
}

const SoapySDR::Registry registration("zalvo", &find_zalvo, &make_zalvo, SOAPY_SDR_ABI_VERSION);

}  // namespace

}  // namespace zalvo_soapy
