// No <pthread.h> here: its declaration of pthread_create carries attributes that a definition in
// C++ cannot repeat. The types come from <sys/types.h>.
#include "thread_seam.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>

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

// ---- allocation ---------------------------------------------------------------------------

namespace {

std::atomic<bool> alloc_armed{false};
std::atomic<const void*> alloc_thread{nullptr};  // the armed thread's inside_seam
std::atomic<const void*> module_base{nullptr};
std::atomic<int> module_allocations{0};
std::atomic<int> alloc_fail_at{0};
thread_local bool inside_seam = false;

// The module's allocations counted since arming that are not freed yet (a few hundred at most).
constexpr int RECORD_CAPACITY = 4096;
void* record[RECORD_CAPACITY];
int record_count = 0;
bool record_overflow = false;
std::atomic<bool> recording{false};
std::atomic_flag record_lock = ATOMIC_FLAG_INIT;

struct RecordGuard {
    RecordGuard() {
        while (record_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~RecordGuard() { record_lock.clear(std::memory_order_release); }
};

void remember(void* p) {
    RecordGuard g;
    if (record_count < RECORD_CAPACITY)
        record[record_count++] = p;
    else
        record_overflow = true;
}

void forget(void* p) {
    if (!p || !recording.load())
        return;
    RecordGuard g;
    for (int i = 0; i < record_count; ++i) {
        if (record[i] == p) {
            record[i] = record[--record_count];
            return;
        }
    }
}

const void* base_of(const void* address) {
    Dl_info info;
    return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// Whether the allocation asked for at `caller` (the return address in operator new) is the
// module's own: the caller lies in the module, or in the C++ library called from the module.
bool from_module(const void* caller) {
    static const void* cxx = base_of(reinterpret_cast<const void*>(&std::terminate));
    const void* module = module_base.load();
    const void* base = base_of(caller);
    if (base != cxx)
        return base != nullptr && base == module;
    void* frames[16];
    int n = backtrace(frames, 16);
    int i = 0;
    while (i < n && frames[i] != caller)
        ++i;
    while (i < n && base_of(frames[i]) == cxx)
        ++i;
    return i < n && base_of(frames[i]) == module;
}

// An allocation of the module on the armed thread: counted; fails when it is the one to fail,
// and is otherwise recorded until it is freed.
void* allocate_nothrow(std::size_t n, const void* caller) noexcept {
    bool counted = false;
    if (alloc_armed.load() && !inside_seam && alloc_thread.load() == &inside_seam) {
        inside_seam = true;
        counted = from_module(caller);
        inside_seam = false;
    }
    if (counted && module_allocations.fetch_add(1) + 1 == alloc_fail_at.load())
        return nullptr;
    void* p = std::malloc(n ? n : 1);
    if (counted && p)
        remember(p);
    return p;
}

void* allocate(std::size_t n, const void* caller) {
    void* p = allocate_nothrow(n, caller);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void release(void* p) noexcept {
    forget(p);
    std::free(p);
}

}  // namespace

#define CALLER __builtin_return_address(0)
__attribute__((noinline)) void* operator new(std::size_t n) {
    return allocate(n, CALLER);
}
__attribute__((noinline)) void* operator new[](std::size_t n) {
    return allocate(n, CALLER);
}
__attribute__((noinline)) void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate_nothrow(n, CALLER);
}
__attribute__((noinline)) void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate_nothrow(n, CALLER);
}
#undef CALLER
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}

namespace e2e {

void arm_module_allocations(const void* module_symbol, int fail_at) {
    void* warm[2];
    backtrace(warm, 2);  // the first call may load the unwinder, which allocates
    module_base.store(base_of(module_symbol));
    module_allocations.store(0);
    {
        RecordGuard g;
        record_count = 0;
        record_overflow = false;
    }
    recording.store(true);
    alloc_fail_at.store(fail_at);
    alloc_thread.store(&inside_seam);
    alloc_armed.store(true);
}

int disarm_module_allocations() {
    alloc_armed.store(false);
    alloc_fail_at.store(0);
    return module_allocations.load();
}

int module_allocations_alive() {
    RecordGuard g;
    return record_overflow ? -1 : record_count;
}

}  // namespace e2e
