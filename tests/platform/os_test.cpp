// Threads, sleep and the debug trace of the platform layer.
#include "os.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Gate {
    std::mutex lock;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> runs{0};
    std::atomic<void*> seen_arg{nullptr};

    void release() {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        cv.notify_all();
    }
};

uint32_t wait_at_gate(void* arg) {
    Gate* g = static_cast<Gate*>(arg);
    g->seen_arg = arg;
    std::unique_lock<std::mutex> l(g->lock);
    // Bounded, so that a faulty test never leaves a thread behind for ever.
    g->cv.wait_for(l, std::chrono::seconds(10), [g] { return g->open; });
    g->runs.fetch_add(1);
    return 7;
}

}  // namespace

TEST(OsThread, RunsWithItsArgumentAndIsWaitedFor) {
    Gate gate;
    uint32_t id = 0;
    os::thread* t = os::thread_start(wait_at_gate, &gate, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(os::thread_wait(t, 20)) << "still held at the gate";
    EXPECT_FALSE(os::thread_wait(t, 0));
    gate.release();
    EXPECT_TRUE(os::thread_wait(t, 10000));
    EXPECT_TRUE(os::thread_wait(t, 0)) << "an ended thread stays ended";
    EXPECT_EQ(gate.runs.load(), 1);
    EXPECT_EQ(gate.seen_arg.load(), &gate);
    os::thread_release(t);
}

TEST(OsThread, UnlimitedWaitReturnsWhenTheThreadEnds) {
    Gate gate;
    os::thread* t = os::thread_start(wait_at_gate, &gate, nullptr);
    ASSERT_NE(t, nullptr);
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.release();
    });
    EXPECT_TRUE(os::thread_wait(t, -1));
    EXPECT_EQ(gate.runs.load(), 1);
    opener.join();
    os::thread_release(t);
}

TEST(OsThread, ReleasedHandleLeavesTheThreadRunning) {
    Gate gate;
    os::thread* t = os::thread_start(wait_at_gate, &gate, nullptr);
    ASSERT_NE(t, nullptr);
    os::thread_release(t);  // detached while it waits
    gate.release();
    for (int i = 0; i < 1000 && gate.runs.load() == 0; ++i)
        os::sleep_ms(5);
    EXPECT_EQ(gate.runs.load(), 1);
    os::sleep_ms(20);  // let it finish with its record
}

TEST(OsThread, NullRoutineGivesNoThread) {
    uint32_t id = 99;
    EXPECT_EQ(os::thread_start(nullptr, nullptr, &id), nullptr);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(os::thread_wait(nullptr, 0));
    os::thread_release(nullptr);
}

TEST(OsSleep, SleepsAtLeastAsLongAsAsked) {
    auto start = std::chrono::steady_clock::now();
    os::sleep_ms(30);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(30));
    os::sleep_ms(0);
}

TEST(OsTrace, GoesToStandardErrorUnchanged) {
    testing::internal::CaptureStderr();
    os::debug_trace("O");
    os::debug_trace("O");
    os::debug_trace(nullptr);
    os::debug_trace("line\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "OOline\n");
}
