// What this process holds, read from /proc (Linux only): threads, descriptors, resident memory.
#pragma once

#include <cstdint>

namespace support {

int thread_count();      // entries of /proc/self/task
int descriptor_count();  // entries of /proc/self/fd
int64_t resident_kib();  // VmRSS
// The thread count once any helper thread that a runtime starts with the process's first thread
// (the thread sanitizer's, for one) exists: a baseline to compare thread_count() with.
int baseline_thread_count();
// Waits (bounded) until the thread count is at most n; returns the last count seen.
int wait_thread_count_at_most(int n, int timeout_ms);

}  // namespace support
