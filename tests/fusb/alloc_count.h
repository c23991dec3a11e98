// Counts the allocations that the calling thread makes through operator new (replaced in
// alloc_count.cpp for the executable that links it).
#pragma once

namespace alloc_count {
void start();  // zero the calling thread's count and start counting
long stop();   // stop counting; the count since start()
}  // namespace alloc_count
