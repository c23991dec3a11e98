// Threads, sleep, the debug trace and the diagnostics of the platform layer.
#include "os.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
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
    // Static: nothing tells when the detached thread has let go of the gate's lock, so the gate
    // must outlive the test (a stack gate would be reused by the next test while it unlocks).
    static Gate gate;
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

// Each case runs in a fresh process (the log variable is read once per process): the statement
// of a death test, in the thread-safe style, which starts this program anew for it. The new
// process inherits the folder through the environment.
class OsDiag : public testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (const char* inherited = std::getenv("ZALVO_DIAG_TEST_DIR")) {
            dir = inherited;
            return;
        }
        char tmpl[] = "/tmp/zalvo-diag.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("ZALVO_DIAG_TEST_DIR", tmpl, 1);
    }
    void TearDown() override {
        unsetenv("ZALVO_DIAG_TEST_DIR");
        (void)std::system(("rm -rf '" + dir + "'").c_str());
    }

    // Writes the diagnostics of one module run, with errno left as it was around every call.
    static void write_diagnostics() {
        alarm(30);  // a write that blocks ends the process, and the case fails
        errno = 1234;
        os::diag_printf("usrp: failed to find usrp[%d]\n", 0);
        os::diag_printf("two\nlines\n");
        bool kept = errno == 1234;
        errno = ENOENT;
        os::diag_perror("/x/std.ihx");
        kept = kept && errno == ENOENT;
        std::exit(kept ? 0 : 1);
    }

    std::string dir;
};

TEST_F(OsDiag, LinesGoToStandardErrorAndToTheLogFileWithTimeStamps) {
    const std::string log = dir + "/module.log";
    {
        std::ofstream earlier(log);
        earlier << "kept\n";
    }
    EXPECT_EXIT(
        {
            setenv(ZALVO_LOG_VARIABLE, log.c_str(), 1);
            write_diagnostics();
        },
        testing::ExitedWithCode(0),
        "^usrp: failed to find usrp\\[0\\]\ntwo\nlines\n/x/std.ihx: No such file or "
        "directory\n$");
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "kept");  // appended, never truncated
    const char* texts[] = {"usrp: failed to find usrp[0]", "two", "lines",
                           "/x/std.ihx: No such file or directory"};
    const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] (.*)$)");
    for (int i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i + 1], m, stamp)) << lines[i + 1];
        EXPECT_EQ(m[1].str(), texts[i]);
    }
}

TEST_F(OsDiag, ALogThatCannotBeOpenedIsReportedOnceAndNeverWaitedFor) {
    // A folder that does not exist, and a FIFO nobody reads (opening it for writing would wait
    // for a reader for ever).
    const std::string missing = dir + "/none/module.log";
    const std::string fifo = dir + "/fifo";
    ASSERT_TRUE(mkfifo(fifo.c_str(), 0600) == 0 || errno == EEXIST);  // made by the first process
    for (const std::string& path : {missing, fifo}) {
        EXPECT_EXIT(
            {
                setenv(ZALVO_LOG_VARIABLE, path.c_str(), 1);
                write_diagnostics();
            },
            testing::ExitedWithCode(0),
            "^zalvo: cannot open the log file " + path +
                " named by ZALVO_LOG: [^\n]+\nusrp: failed to find usrp\\[0\\]\ntwo\nlines\n"
                "/x/std.ihx: No such file or directory\n$");
    }
}
