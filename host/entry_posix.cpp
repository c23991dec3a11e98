// The module's load-time initialiser: makes the module's session.
#include "module.h"

namespace {
__attribute__((constructor)) void module_load() {
    module_session();
}
}  // namespace
