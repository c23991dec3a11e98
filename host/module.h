// The module's one receive session, as the six exports drive it: board 0, the host's callbacks
// and context, the fixed texts of the error callback.
#pragma once

#include "ZalvoIntf.h"
#include "session.h"

class ModuleSession : private SessionListener {
  public:
    ModuleSession() : session_(*this) {}
    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;

    // StartRx: a session still running is ended first. Failures reach the host's error callback.
    void start(const ReceiverSettings* settings);
    void abandon_start(bool allocation_failure) { session_.abandon_start(allocation_failure); }
    // StopRx.
    void stop() { session_.stop(); }
    // SetRxFrequency.
    void set_frequency(int32_t frequency, int32_t receiver) {
        session_.set_frequency(frequency, receiver);
    }

  private:
    void deliver(float** buffers) override;
    void failed(const char* text) override;

    ReceiverSettings settings_{};
    ReceiveSession session_;
};

// Made at load and never destroyed (at process exit the host's threads are gone and the USB
// library may be too).
ModuleSession& module_session();
