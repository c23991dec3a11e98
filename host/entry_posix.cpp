// The module's load-time initialiser.
#include "session.h"

extern ReceiveSession g_session;

namespace {
__attribute__((constructor)) void module_load() {
    session_attach(g_session);
}
}  // namespace
