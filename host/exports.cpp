// The six functions the module exports.
#include "session.h"

namespace {
const char DEVICE_NAME[] = "USRP device";
}

// One session per loaded module; static storage, zero at load.
ReceiveSession g_session;

extern "C" {

ZALVO_API void ZALVO_CALL GetSdrInfo(SdrInfo* info) {
    if (!info)
        return;
    info->device_name = DEVICE_NAME;
    info->receiver_count = RECEIVER_COUNT;
}

ZALVO_API void ZALVO_CALL StartRx(const ReceiverSettings* settings) {
    session_start(g_session, settings);
}

ZALVO_API void ZALVO_CALL StopRx(void) {
    session_stop(g_session);
}

ZALVO_API void ZALVO_CALL SetRxFrequency(int32_t frequency, int32_t receiver) {
    session_set_frequency(g_session, frequency, receiver);
}

ZALVO_API void ZALVO_CALL SetCtrlBits(int32_t bits) {
    (void)bits;
}

ZALVO_API int32_t ZALVO_CALL ReadPort(int32_t port) {
    (void)port;
    return 0;
}

}  // extern "C"
