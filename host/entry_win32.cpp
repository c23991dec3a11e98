// The module's entry routine: process attach makes the module's session; every notification
// reports success.
#include "module.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        module_session();
    return TRUE;
}
