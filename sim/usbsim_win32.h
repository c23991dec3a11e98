// Extra calls of the simulator's libusb0.dll (Windows only), for test programs: what the
// asynchronous transfer calls have seen, including uses that the real library does not survive.
#pragma once

#if defined(USBSIM_WIN32_BUILDING)
#define USBSIM_WIN32_API __declspec(dllexport)
#else
#define USBSIM_WIN32_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct usbsim_async_stats {
    int contexts;               // set up and not yet freed
    int engines;                // endpoints with at least one context
    int submits_while_pending;  // usb_submit_async on a context whose transfer is not over
    int frees_while_pending;    // usb_free_async on a context whose transfer is not over
    int endpoint_aborts;        // aborts of an endpoint (cancel, or a reap that timed out)
    int transfers_done;         // transfers that ended (completed, failed or aborted)
    int transfers_aborted;      // of those, ended by an abort
};

USBSIM_WIN32_API void usbsim_win32_async_stats(struct usbsim_async_stats* out);
// Zeroes the counters (not contexts and engines, which count what exists).
USBSIM_WIN32_API void usbsim_win32_reset_async_stats(void);

#ifdef __cplusplus
}
#endif
