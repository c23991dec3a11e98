// The module's session: the host's settings and callbacks over a receive session.
#include "module.h"

#include <cstring>
#include <new>

namespace {
alignas(ModuleSession) unsigned char session_storage[sizeof(ModuleSession)];
}  // namespace

ModuleSession& module_session() {
    static ModuleSession* const session = new (session_storage) ModuleSession();
    return *session;
}

void ModuleSession::start(const ReceiverSettings* settings) {
    if (!settings)
        return;
    session_.stop();  // its worker may be reading the settings
    std::memcpy(&settings_, settings, sizeof(ReceiverSettings));
    SessionConfig config;
    config.rate_index = settings_.sample_rate_index;
    session_.start(config);
}

void ModuleSession::deliver(float** buffers) {
    if (settings_.data_callback)
        settings_.data_callback(settings_.callback_context, buffers);
}

void ModuleSession::failed(const char* text) {
    if (settings_.error_callback)
        settings_.error_callback(settings_.callback_context, text);
}
