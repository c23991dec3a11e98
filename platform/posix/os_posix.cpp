// Threads, sleep and the debug trace over POSIX threads and the C++ runtime.
#include "os.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
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

}  // namespace os
