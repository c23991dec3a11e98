// Threads, sleep, the debug trace, diagnostics and file access: the few operating-system
// services the module uses. Implemented once for POSIX (platform/posix) and once for Win32
// (platform/win32).
#pragma once

#include <cstdint>
#include <cstdio>

namespace os {

// Start routine of a thread; its result is the thread's exit code.
typedef uint32_t (*thread_routine)(void* arg);

struct thread;  // opaque

// Starts a thread running routine(arg) at once. Returns null when no thread could be created;
// *thread_id receives the system's identifier of the thread (0 when none).
thread* thread_start(thread_routine routine, void* arg, uint32_t* thread_id);

// Waits up to timeout_ms for the thread to end (timeout_ms < 0 waits without limit).
// True when the thread has ended.
bool thread_wait(thread* t, int timeout_ms);

// Releases the handle. Does not stop or wait for the thread; if it still runs it is detached.
void thread_release(thread* t);

// Sleeps at least ms milliseconds; 0 yields the processor once.
void sleep_ms(unsigned ms);

// Writes one text to the debugger's trace (OutputDebugStringA on Windows, standard error
// elsewhere).
void debug_trace(const char* text);

// Name of the environment variable that names the diagnostics log file. It is read once, at the
// first diagnostic of the process.
#define ZALVO_LOG_VARIABLE "ZALVO_LOG"

// Writes one diagnostic (printf format; one or more whole lines) to standard error, and on
// Windows also to the debugger output. When ZALVO_LOG names a file, each line is appended there
// too, after a local time stamp and the process id: "YYYY-MM-DD HH:MM:SS.mmm [pid] text". A log
// file that cannot be opened is reported once on standard error and then left alone; writing
// never blocks on it. errno is left as it was.
void diag_printf(const char* format, ...)
#if defined(__MINGW_PRINTF_FORMAT)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// perror's line for the current errno through diag_printf: "<what>: <reason>\n".
void diag_perror(const char* what);

// The system's half of diag_printf: writes one formatted text to every destination above (on
// Windows the thread's last-error value is left as it was).
void diag_write(const char* text);

// True when the file exists and this process may read it (access check for read permission).
bool file_readable(const char* path);

// The folders searched for firmware and FPGA images after USRP_PATH, in order; a null-terminated
// list. Windows: "\usrp" (on the current drive), then ".\usrp". Elsewhere: the installed images
// folder (ZALVO_IMAGE_ROOT, fixed when the module is configured), then "./usrp".
const char* const* default_image_roots();

}  // namespace os
