// The USB library as the module sees it: the libusb 0.1 API plus the asynchronous bulk extension.
//
// On Linux the declarations come from Debian's libusb 0.1 (<usb.h>); that library has no
// asynchronous calls, so the module carries its own (platform/posix/usb_async.cpp), hidden inside
// the module. On Windows, libusb-win32's libusb0.dll provides everything, declared by our own
// header written from its documented API.
#pragma once

#if defined(_WIN32)
#include "win32/usb_win32.h"
#else
#include <usb.h>

#ifdef __cplusplus
extern "C" {
#endif

// Asynchronous bulk transfers, with libusb-win32's names and argument order.
// A context is bound to one handle and one endpoint (bit 0x80 of ep selects IN).
int usb_bulk_setup_async(usb_dev_handle* dev, void** context, unsigned char ep);
// Queues a transfer of size bytes on the context; 0 or a negative error.
int usb_submit_async(void* context, char* bytes, int size);
// Waits up to timeout ms for the context's transfer; bytes moved, or negative. On a time-out the
// transfer is cancelled (as libusb-win32 does) and the result is negative.
int usb_reap_async(void* context, int timeout);
// As usb_reap_async, but a transfer that does not complete in time stays queued.
int usb_reap_async_nocancel(void* context, int timeout);
// Cancels the context's queued transfer, if any; reap it afterwards before reusing its buffer.
int usb_cancel_async(void* context);
// Releases a context and sets *context to null.
int usb_free_async(void** context);

#ifdef __cplusplus
}
#endif
#endif

// Time-out of every control request and every wait for a bulk transfer.
enum { USB_TIMEOUT_MS = 1000 };

#ifdef __cplusplus
#if !defined(_WIN32)
#include <cstring>
#endif

namespace usb_async {

// Text for a reap that failed with `status`. libusb-win32 keeps it as its last error text. On
// Linux the asynchronous calls are the module's own and Debian's libusb 0.1 leaves its error text
// alone on a bulk time-out, so its usb_strerror() would show a stale message: the status itself
// names the error there.
inline const char* reap_error_text(int status) {
#if defined(_WIN32)
    (void)status;
    return usb_strerror();
#else
    return std::strerror(-status);
#endif
}

// True when a reap that failed with `status` means that every transfer queued on the endpoint
// has been ended with it. libusb-win32 aborts the whole endpoint when a reap times out, and every
// transfer ended by such an abort reaps as a time-out (-116). The module's own calls on Linux end
// only the transfer that failed; the ones queued behind it go on.
inline bool failure_ends_queue(int status) {
#if defined(_WIN32)
    return status == -USB_WIN32_ETRANSFER_TIMEDOUT;
#else
    (void)status;
    return false;
#endif
}

}  // namespace usb_async
#endif
