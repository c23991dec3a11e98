// The module's entry routine: process attach clears the output blocks; every notification
// reports success.
#include "session.h"

#include <windows.h>

extern ReceiveSession g_session;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        session_attach(g_session);
    return TRUE;
}
