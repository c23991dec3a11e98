// No <pthread.h> here: its declaration of pthread_create carries attributes that a definition in
// C++ cannot repeat. The types come from <sys/types.h>.
#include "thread_seam.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> creations{0};
std::atomic<int> fail_countdown{0};

using create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

create_fn next_pthread_create() {
    static create_fn next = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int
pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*), void* arg) {
    creations.fetch_add(1);
    int left = fail_countdown.load();
    while (left > 0 && !fail_countdown.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1)
        return EAGAIN;
    return next_pthread_create()(thread, attr, routine, arg);
}

namespace e2e {

int thread_creations() {
    return creations.load();
}

void fail_thread_creation(int n) {
    fail_countdown.store(n);
}

}  // namespace e2e
