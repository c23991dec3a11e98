// Threads, sleep and the debug trace over the Win32 kernel services.
#include "os.h"

#include <windows.h>

#include <new>

namespace os {

struct thread {
    HANDLE handle;
    thread_routine routine;
    void* arg;
};

namespace {

// The record belongs to the handle, which may be released while the thread still runs: the
// thread gets its own copy of the routine and argument.
struct start_args {
    thread_routine routine;
    void* arg;
};

DWORD WINAPI run(LPVOID p) {
    start_args args = *static_cast<start_args*>(p);
    delete static_cast<start_args*>(p);
    // No exception may unwind into the system's thread start; the routine ends here.
    try {
        return args.routine(args.arg);
    } catch (...) {
        return 1;
    }
}

}  // namespace

thread* thread_start(thread_routine routine, void* arg, uint32_t* thread_id) {
    if (thread_id)
        *thread_id = 0;
    if (!routine)
        return nullptr;
    thread* t = new (std::nothrow) thread;
    start_args* args = new (std::nothrow) start_args;
    if (!t || !args) {
        delete t;
        delete args;
        return nullptr;
    }
    args->routine = routine;
    args->arg = arg;
    DWORD id = 0;
    t->handle = CreateThread(NULL, 0, run, args, 0, &id);
    if (t->handle == NULL) {
        delete args;
        delete t;
        return nullptr;
    }
    t->routine = routine;
    t->arg = arg;
    if (thread_id)
        *thread_id = id;
    return t;
}

bool thread_wait(thread* t, int timeout_ms) {
    if (!t)
        return true;
    DWORD limit = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(t->handle, limit) == WAIT_OBJECT_0;
}

void thread_release(thread* t) {
    if (!t)
        return;
    CloseHandle(t->handle);
    delete t;
}

void sleep_ms(unsigned ms) {
    Sleep(ms);
}

void debug_trace(const char* text) {
    if (text)
        OutputDebugStringA(text);
}

}  // namespace os
