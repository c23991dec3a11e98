// The Windows test host: loads ZalvoIntf.dll as a host program does, beside the simulator's
// libusb0.dll, and runs the cases of the other files of this folder.
//   zalvo_win_host                 run every case; exit status 0 when all pass
//   zalvo_win_host --capture FILE  write the float output of the fixed scene to FILE
//   zalvo_win_host CASE            run one case
//   zalvo_win_host --diag-child    (run by a case) a session that fails for want of images
#include "scene_capture.h"
#include "win_check.h"
#include "win_support.h"

#include <cstdlib>
#include <cstring>

namespace wincheck {

namespace {
int case_failures = 0;
int total_failures = 0;
}  // namespace

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

void fail(const char* file, int line, const std::string& what) {
    const char* base = std::strrchr(file, '/');
    std::printf("    FAILED %s:%d: %s\n", base ? base + 1 : file, line, what.c_str());
    std::fflush(stdout);
    ++case_failures;
    ++total_failures;
}

int failures_in_case() {
    return case_failures;
}

}  // namespace wincheck

namespace {

// Nothing here may hang the test run: a case that has not ended in time ends the process.
DWORD WINAPI watchdog(LPVOID seconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(seconds)) * 1000);
    std::printf("zalvo_win_host: TIMED OUT\n");
    std::fflush(stdout);
    ExitProcess(3);
}

int capture_to(const char* path, int rate_index) {
    const winhost::Module& m = winhost::module();
    if (!m.handle || !m.start_rx || !m.stop_rx) {
        std::printf("cannot load ZalvoIntf.dll (error %lu)\n", GetLastError());
        return 2;
    }
    capture::Module calls;
    calls.start_rx = winhost::fn_cast<decltype(calls.start_rx)>(m.start_rx);
    calls.stop_rx = winhost::fn_cast<decltype(calls.stop_rx)>(m.stop_rx);
    capture::Output out;
    std::string why;
    if (!capture::run_fixed_scene(calls, rate_index, ZALVO_CAPTURE_BLOCKS, out, why)) {
        std::printf("capture failed: %s\n", why.c_str());
        return 1;
    }
    if (!capture::write_output(path, out)) {
        std::printf("cannot write %s\n", path);
        return 1;
    }
    std::printf("captured %d blocks of %d samples per receiver to %s\n", out.blocks,
                out.block_length, path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    CreateThread(nullptr, 0, watchdog, reinterpret_cast<LPVOID>(uintptr_t(480)), 0, nullptr);
    if (!std::getenv("USRP_PATH"))
        _putenv("USRP_PATH=" ZALVO_IMAGES_DIR);
    // --capture FILE [RATE_INDEX]: the fixed scene at 48 (0, the default), 96 (1) or 192 kHz (2).
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--capture") == 0)
        return capture_to(argv[2], argc == 4 ? std::atoi(argv[3]) : 0);
    if (argc == 2 && std::strcmp(argv[1], "--diag-child") == 0)
        return winhost::diag_child();

    const char* only = argc == 2 ? argv[1] : nullptr;
    int failed_cases = 0, run = 0;
    for (const wincheck::Case& c : wincheck::cases()) {
        if (only && std::strcmp(only, c.name) != 0)
            continue;
        std::printf("[ RUN  ] %s\n", c.name);
        const int before = wincheck::failures_in_case();
        const DWORD t0 = GetTickCount();
        c.run();
        usbsim::World::instance().clear_faults();
        const bool ok = wincheck::failures_in_case() == before;
        std::printf("[ %s ] %s (%lu ms)\n", ok ? " OK " : "FAIL", c.name,
                    static_cast<unsigned long>(GetTickCount() - t0));
        failed_cases += ok ? 0 : 1;
        ++run;
    }
    std::printf("zalvo_win_host: %d cases, %d failed\n", run, failed_cases);
    return failed_cases == 0 && run > 0 ? 0 : 1;
}
