// Threads, sleep, the debug trace, diagnostics and file access over the Win32 kernel services.
#include "os.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

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
    if (!text)
        return;
    OutputDebugStringA(text);
}

namespace {

// The log file named by ZALVO_LOG (read from the process environment, which a host may have
// changed after the C runtime started), opened at the first diagnostic; INVALID_HANDLE_VALUE
// when there is none. Opened for appending only, shared, so that a viewer may read it and
// other processes may append to it meanwhile.
HANDLE log_handle() {
    static const HANDLE h = [] {
        char path[MAX_PATH * 2];
        DWORD n = GetEnvironmentVariableA(ZALVO_LOG_VARIABLE, path, sizeof path);
        if (n == 0 || n >= sizeof path)
            return INVALID_HANDLE_VALUE;
        HANDLE f = CreateFileA(path, FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            char line[MAX_PATH * 2 + 128];
            std::snprintf(line, sizeof line,
                          "zalvo: cannot open the log file %s named by %s: error %lu\n", path,
                          ZALVO_LOG_VARIABLE, static_cast<unsigned long>(GetLastError()));
            std::fputs(line, stderr);
            OutputDebugStringA(line);
        }
        return f;
    }();
    return h;
}

// Every line of text after a time stamp and the process id, in one append.
void append_to_log(HANDLE f, const char* text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", t.wYear,
                  t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    std::string out;
    for (const char* line = text; *line;) {
        const char* end = std::strchr(line, '\n');
        size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        out.append(stamp).append(line, length).append("\r\n");
        line += length + (end ? 1 : 0);
    }
    DWORD written = 0;
    WriteFile(f, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

}  // namespace

void diag_write(const char* text) {
    const DWORD saved_error = GetLastError();
    HANDLE f = log_handle();  // first, so that a complaint about it comes before the text
    std::fputs(text, stderr);
    std::fflush(stderr);
    OutputDebugStringA(text);
    if (f != INVALID_HANDLE_VALUE)
        append_to_log(f, text);
    SetLastError(saved_error);
}

bool file_readable(const char* path) {
    return path && _access(path, 4) == 0;
}

const char* const* default_image_roots() {
    static const char* const roots[] = {"\\usrp", ".\\usrp", nullptr};
    return roots;
}

}  // namespace os
