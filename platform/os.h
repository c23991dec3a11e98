// Threads, sleep and the debug trace: the few operating-system services the module uses.
// Implemented once for POSIX (platform/posix) and once for Win32 (platform/win32).
#pragma once

#include <cstdint>

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

}  // namespace os
