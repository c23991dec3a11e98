// A pipeline pass allocates nothing and makes no system call but the device read.
//
// The passes run in a child process: its allocations are counted by this program's own malloc
// (forwarding to the C library's), and a seccomp filter turns every system call other than the
// read of the source's descriptor into a SIGSYS that is counted. The child reports through a
// pipe, with calls that carry a marker argument the filter lets through.
#include "worker.h"

#include <gtest/gtest.h>

#if defined(__x86_64__) && defined(__linux__)

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<long> releases{0};

}  // namespace

extern "C" void* malloc(size_t n) {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m) {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n) {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    if (p && counting.load(std::memory_order_relaxed))
        releases.fetch_add(1, std::memory_order_relaxed);
    __libc_free(p);
}

namespace {

constexpr long MARKER = 0x5a17e0c0ffee1234L;
constexpr int PASSES = 40;

// Trapped system calls: their count and the first few numbers.
std::atomic<int> trapped{0};
int trapped_numbers[8];

void on_sigsys(int, siginfo_t* info, void* context) {
    int k = trapped.fetch_add(1);
    if (k < 8)
        trapped_numbers[k] = info->si_syscall;
    // The call did not happen; it fails as an unknown call would.
    static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
}

// Reads a recorded block from a memory file, with pread: the one call the filter allows.
class FileSource : public StreamSource {
  public:
    explicit FileSource(int descriptor) : fd(descriptor) {}
    bool start_streaming() override { return true; }
    void stop_streaming() override {}
    int read(void* buffer, int length, bool* overrun) override {
        *overrun = false;
        ++reads;
        return static_cast<int>(pread(fd, buffer, static_cast<size_t>(length), 0));
    }
    int fd;
    int reads = 0;
};

struct Report {
    int passes;
    int reads;
    int callbacks;
    long allocations;
    long releases;
    int trapped;
    int numbers[8];
    long live_blocks_changed;
};

struct CountingSink : BlockSink {
    void deliver(float** buffers) override {
        ++callbacks;
        volatile float sink = buffers[0][0] + buffers[3][1];
        (void)sink;
    }
    int callbacks = 0;
};

bool install_filter(int fd) {
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        // The marker in the sixth argument: the child's own report and exit.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[5])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(MARKER), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[5]) + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(MARKER >> 32), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        // Return from the SIGSYS handler.
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // The device read: pread64 on the source's descriptor.
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pread64, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0;
}

// The child's whole life: build the pipeline, warm up, then the counted passes.
[[noreturn]] void child(int out_fd, int rate_index) {
    Report r;
    std::memset(&r, 0, sizeof r);
    int fd = static_cast<int>(syscall(SYS_memfd_create, "block", 0));
    std::vector<int16_t> block(65536 / 2);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] =
            static_cast<int16_t>(10000 * std::sin(0.001 * double(i / 8) * (1 + double(i % 8))));
    bool ok = fd >= 0 && write(fd, block.data(), 65536) == 65536;

    FileSource source(fd);
    CountingSink sink;
    std::unique_ptr<SamplePipeline> pipeline(new SamplePipeline());
    StreamWorker worker(source, *pipeline, sink);
    ok = ok && pipeline->setup(rate_index, 65536) == PipelineStatus::ready;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigsys;
    sa.sa_flags = SA_SIGINFO;
    ok = ok && sigaction(SIGSYS, &sa, nullptr) == 0;
    if (ok) {
        worker.begin();
        for (int k = 0; k < 3; ++k)  // first touches of every buffer
            worker.pass();
        long live = dsp::live_allocations();
        source.reads = 0;
        sink.callbacks = 0;
        counting.store(true);
        if (install_filter(fd)) {
            for (int k = 0; k < PASSES; ++k)
                worker.pass();
            r.passes = PASSES;
        }
        counting.store(false);
        r.reads = source.reads;
        r.callbacks = sink.callbacks;
        r.allocations = allocations.load();
        r.releases = releases.load();
        r.trapped = trapped.load();
        std::memcpy(r.numbers, trapped_numbers, sizeof r.numbers);
        r.live_blocks_changed = dsp::live_allocations() - live;
    }
    syscall(SYS_write, out_fd, &r, sizeof r, 0, 0, MARKER);
    syscall(SYS_exit_group, 0, 0, 0, 0, 0, MARKER);
    _exit(1);  // not reached
}

// Runs the child for one rate; false and a message when it did not report in time.
bool run_child(int rate_index, Report* r) {
    int p[2];
    if (pipe(p) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        child(p[1], rate_index);
    }
    close(p[1]);
    std::memset(r, 0, sizeof *r);
    size_t got = 0;
    for (int waited = 0; got < sizeof *r && waited < 60000;) {
        struct pollfd pf = {p[0], POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) {
            waited += 100;
            continue;
        }
        ssize_t n = read(p[0], reinterpret_cast<char*>(r) + got, sizeof *r - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(p[0]);
    if (got < sizeof *r)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return got == sizeof *r;
}

}  // namespace

TEST(PassBudget, NoAllocationAndNoSystemCallButTheRead) {
    for (int rate_index = 0; rate_index < 3; ++rate_index) {
        Report r;
        ASSERT_TRUE(run_child(rate_index, &r)) << "the child did not report; rate " << rate_index;
        ASSERT_EQ(r.passes, PASSES) << "pipeline or filter set-up failed in the child";
        EXPECT_EQ(r.reads, PASSES) << "one device read per pass";
        // 40 passes carry 327.68 ms of signal: 30 or 31 blocks at 93.75 per second.
        EXPECT_GE(r.callbacks, 30) << "the passes delivered blocks";
        EXPECT_LE(r.callbacks, 31);
        EXPECT_EQ(r.allocations, 0) << "allocations during the passes, rate " << rate_index;
        EXPECT_EQ(r.releases, 0) << "frees during the passes, rate " << rate_index;
        EXPECT_EQ(r.live_blocks_changed, 0);
        EXPECT_EQ(r.trapped, 0) << "system calls during the passes, rate " << rate_index
                                << "; first: " << r.numbers[0] << " " << r.numbers[1];
    }
}

// The probes themselves: an allocation and a system call inside the counted section are seen.
TEST(PassBudget, ProbesSeeWhatTheyCount) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        long seen[2] = {0, 0};
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = on_sigsys;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSYS, &sa, nullptr);
        counting.store(true);
        void* volatile block = std::malloc(24);
        std::free(block);
        if (install_filter(1000)) {
            (void)getppid();
            (void)!write(p[1], "x", 1);
        }
        counting.store(false);
        seen[0] = allocations.load();
        seen[1] = trapped.load();
        syscall(SYS_write, p[1], seen, sizeof seen, 0, 0, MARKER);
        syscall(SYS_exit_group, 0, 0, 0, 0, 0, MARKER);
        _exit(1);
    }
    close(p[1]);
    long seen[2] = {-1, -1};
    struct pollfd pf = {p[0], POLLIN, 0};
    ASSERT_GT(poll(&pf, 1, 30000), 0);
    ASSERT_EQ(read(p[0], seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(seen[0], 1) << "the malloc was counted";
    EXPECT_EQ(seen[1], 2) << "getppid and the unmarked write were trapped";
}

#else

TEST(PassBudget, NeedsLinuxOnX8664) {
    GTEST_SKIP() << "seccomp probe written for x86-64 Linux";
}

#endif
