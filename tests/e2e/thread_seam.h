// Thread creation and allocation that a test can make fail.
//
// Thread creation: this process's own pthread_create, which the module's thread creation binds to
// ahead of the C library's (the executable comes first in the global symbol scope). Unarmed it
// counts and passes every call on.
//
// Allocation: this process's own operator new and delete (over malloc and free), which the
// module binds to the same way. Armed on one thread, it counts the allocations that the module's
// code asks for there (directly or through the C++ library) and can make one of them throw
// std::bad_alloc; allocations of the simulated bus and of the test itself are never counted.
#pragma once

namespace e2e {

// Threads created through pthread_create so far in this process, failed ones included.
int thread_creations();
// The n-th creation from now (1 = the next one) fails with EAGAIN, as when the system is out of
// threads; 0 disarms.
void fail_thread_creation(int n);

// Arms the allocation seam on the calling thread for the module whose code contains
// module_symbol: counting from zero, and the n-th allocation from now failing (0: none fails).
void arm_module_allocations(const void* module_symbol, int fail_at);
// Stops counting and failing; returns the module's allocations counted since arming.
int disarm_module_allocations();
// Of the allocations counted since the last arming, those not freed yet (-1: too many to follow).
int module_allocations_alive();

}  // namespace e2e
