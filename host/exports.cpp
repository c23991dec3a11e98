// The six functions the module exports.
#include "edge.h"
#include "module.h"

namespace {
const char DEVICE_NAME[] = "USRP device";
}  // namespace

// Every export runs its body through at_edge: no exception reaches the host.
extern "C" {

ZALVO_API void ZALVO_CALL GetSdrInfo(SdrInfo* info) {
    at_edge([&] {
        if (!info)
            return;
        info->device_name = DEVICE_NAME;
        info->receiver_count = RECEIVER_COUNT;
    });
}

ZALVO_API void ZALVO_CALL StartRx(const ReceiverSettings* settings) {
    at_edge([&] { module_session().start(settings); },
            [](bool allocation_failure, const char*) {
                module_session().abandon_start(allocation_failure);
            });
}

ZALVO_API void ZALVO_CALL StopRx(void) {
    at_edge([] { module_session().stop(); });
}

ZALVO_API void ZALVO_CALL SetRxFrequency(int32_t frequency, int32_t receiver) {
    at_edge([&] { module_session().set_frequency(frequency, receiver); });
}

ZALVO_API void ZALVO_CALL SetCtrlBits(int32_t bits) {
    at_edge([&] { (void)bits; });
}

ZALVO_API int32_t ZALVO_CALL ReadPort(int32_t port) {
    return at_edge([&] {
        (void)port;
        return int32_t(0);
    });
}

}  // extern "C"
