#include "process_counters.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace support {

namespace {
int count_entries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}
}  // namespace

int thread_count() {
    return count_entries("/proc/self/task");
}

int descriptor_count() {
    return count_entries("/proc/self/fd") - 1;  // less opendir's own
}

int64_t resident_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    return -1;
}

int baseline_thread_count() {
    static const bool primed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)primed;
    int n = thread_count();
    // A helper thread may take a moment to appear after the first thread creation.
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = std::max(n, thread_count());
    }
    return n;
}

int wait_thread_count_at_most(int n, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int c = thread_count();
    while (c > n && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        c = thread_count();
    }
    return c;
}

}  // namespace support
