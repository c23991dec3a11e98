// Thread creation that a test can make fail: this process's own pthread_create, which the
// module's thread creation binds to ahead of the C library's (the executable comes first in the
// global symbol scope). Unarmed it counts and passes every call on.
#pragma once

namespace e2e {

// Threads created through pthread_create so far in this process, failed ones included.
int thread_creations();
// The n-th creation from now (1 = the next one) fails with EAGAIN, as when the system is out of
// threads; 0 disarms.
void fail_thread_creation(int n);

}  // namespace e2e
