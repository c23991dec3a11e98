// The six functions the module exports.
#include "session.h"

namespace {
const char DEVICE_NAME[] = "USRP device";
}

// One session per loaded module; static storage, zero at load.
ReceiveSession g_session;

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
    at_edge([&] { session_start(g_session, settings); },
            [](bool allocation_failure, const char*) {
                session_abandon_start(g_session, allocation_failure);
            });
}

ZALVO_API void ZALVO_CALL StopRx(void) {
    at_edge([] { session_stop(g_session); });
}

ZALVO_API void ZALVO_CALL SetRxFrequency(int32_t frequency, int32_t receiver) {
    at_edge([&] { session_set_frequency(g_session, frequency, receiver); });
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
