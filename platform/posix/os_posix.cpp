// Threads, sleep, the debug trace, diagnostics and file access over POSIX and the C++ runtime.
#include "os.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace os {

// A started thread. The handle and the running thread share it: the last of the two to let go
// frees it, so a released handle of a thread that still runs stays valid for that thread.
struct thread {
    thread_routine routine = nullptr;
    void* arg = nullptr;
    std::mutex lock;
    std::condition_variable ended_signal;
    bool ended = false;
    int owners = 2;  // the handle and the thread
    pthread_t id{};
};

namespace {

void drop_owner(thread* t) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        last = --t->owners == 0;
    }
    if (last)
        delete t;
}

void* run(void* p) {
    thread* t = static_cast<thread*>(p);
    // No exception may unwind into the C library's thread start; the routine ends here.
    try {
        t->routine(t->arg);
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> guard(t->lock);
        t->ended = true;
        t->ended_signal.notify_all();
    }
    drop_owner(t);
    return nullptr;
}

}  // namespace

thread* thread_start(thread_routine routine, void* arg, uint32_t* thread_id) {
    if (thread_id)
        *thread_id = 0;
    if (!routine)
        return nullptr;
    thread* t = new (std::nothrow) thread;
    if (!t)
        return nullptr;
    t->routine = routine;
    t->arg = arg;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete t;
        return nullptr;
    }
    // Nobody joins: the end is signalled through the shared record instead.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&t->id, &attr, run, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete t;
        return nullptr;
    }
    if (thread_id) {
        static std::atomic<uint32_t> next_id{1};
        *thread_id = next_id.fetch_add(1);
    }
    return t;
}

bool thread_wait(thread* t, int timeout_ms) {
    if (!t)
        return true;
    std::unique_lock<std::mutex> guard(t->lock);
    if (timeout_ms < 0) {
        t->ended_signal.wait(guard, [t] { return t->ended; });
        return true;
    }
    return t->ended_signal.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                    [t] { return t->ended; });
}

void thread_release(thread* t) {
    if (t)
        drop_owner(t);
}

void sleep_ms(unsigned ms) {
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void debug_trace(const char* text) {
    if (!text)
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

namespace {

// The log file named by ZALVO_LOG, opened at the first diagnostic; -1 when there is none. Opened
// non-blocking, so that a FIFO without a reader is refused instead of waited for, and a full
// pipe drops a line instead of stalling the module.
int log_descriptor() {
    static const int fd = [] {
        const char* path = std::getenv(ZALVO_LOG_VARIABLE);
        if (!path || path[0] == '\0')
            return -1;
        int d = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
        if (d < 0)
            std::fprintf(stderr, "zalvo: cannot open the log file %s named by %s: %s\n", path,
                         ZALVO_LOG_VARIABLE, std::strerror(errno));
        return d;
    }();
    return fd;
}

// Every line of text after a time stamp and the process id, in one write (appends of one write
// stay whole when several threads or processes share the file).
void append_to_log(int fd, const char* text) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%ld] ",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000),
                  static_cast<long>(getpid()));
    std::string out;
    for (const char* line = text; *line;) {
        const char* end = std::strchr(line, '\n');
        size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        out.append(stamp).append(line, length).push_back('\n');
        line += length + (end ? 1 : 0);
    }
    ssize_t ignored = write(fd, out.data(), out.size());
    (void)ignored;
}

}  // namespace

void diag_write(const char* text) {
    int fd = log_descriptor();  // first, so that a complaint about it comes before the text
    std::fputs(text, stderr);
    std::fflush(stderr);
    if (fd >= 0)
        append_to_log(fd, text);
}

bool file_readable(const char* path) {
    return path && access(path, R_OK) == 0;
}

const char* const* default_image_roots() {
    static const char* const roots[] = {ZALVO_IMAGE_ROOT, "./usrp", nullptr};
    return roots;
}

}  // namespace os
