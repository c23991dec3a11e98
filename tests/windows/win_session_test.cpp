// Whole sessions of the unchanged module on the simulator's libusb0.dll: failure texts, carriers
// at their offsets per receiver, retuning while streaming, start/stop cycles, a cold board that
// comes back late or never after its firmware starts, stalls, a pause of the board with
// libusb-win32's abort of the whole endpoint, how long StopRx takes, and where the diagnostics go.
#include "win_check.h"
#include "win_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <complex>
#include <cstdio>
#include <thread>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

using namespace winhost;

namespace {

enum { REG_DDC_FREQ_0 = 34, REG_DDC_PHASE_0 = 44 };

usbsim::Carrier carrier(double hz, double dbfs) {
    usbsim::Carrier c;
    c.freq_hz = hz;
    c.level_dbfs = dbfs;
    return c;
}

// No context left behind, nothing the real library would not have survived.
void check_async_clean() {
    usbsim_async_stats s = async_stats();
    CHECK_EQ(s.contexts, 0);
    CHECK_EQ(s.engines, 0);
    CHECK_EQ(s.submits_while_pending, 0);
    CHECK_EQ(s.frees_while_pending, 0);
}

}  // namespace

WIN_TEST(FailuresReachTheErrorCallbackOnTheCallingThread) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim_win32_reset_async_stats();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    module().StartRx(&s);
    REQUIRE(h.errors.size() == 1u);
    CHECK_EQ(h.errors[0], std::string("Can't create instance of USRP Rx device"));
    CHECK(h.error_threads[0] == GetCurrentThreadId());

    add_board();
    s.sample_rate_index = 3;
    module().StartRx(&s);
    REQUIRE(h.errors.size() == 2u);
    CHECK_EQ(h.errors[1], std::string("Unknown sample rate"));
    CHECK(h.error_threads[1] == GetCurrentThreadId());
    CHECK(h.error_contexts[1] == reinterpret_cast<intptr_t>(&h));
    CHECK_EQ(w.open_handles(), 0);
    check_async_clean();
    w.clear_log();
    module().SetRxFrequency(7050000, 1);
    module().StopRx();
    CHECK(w.control_log().empty());

    s.error_callback = nullptr;  // silent, and still nothing left open
    module().StartRx(&s);
    CHECK_EQ(h.errors.size(), 2u);
    CHECK_EQ(w.open_handles(), 0);
    CHECK_EQ(h.blocks.load(), 0);
}

// Receiver i's down-converter sits at -3.6 MHz after StartRx: a carrier at 3.6 MHz + 6 kHz is
// at +6 kHz in every receiver. Retuning receiver 2 to 3.59 MHz while streaming moves it to
// +16 kHz there and nowhere else.
WIN_TEST(ReceiversSeeTheCarrierAtItsOffsetAndRetuneWhileStreaming) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = add_board({carrier(3606000, -30)});
    Host h;
    h.skip = 6;
    h.keep = 4;
    ReceiverSettings s = settings_for(h, 0);
    module().StartRx(&s);
    REQUIRE(h.errors.empty());
    for (int i = 0; i < 4; ++i) {
        CHECK_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + i), ddc_word(-3600000.0));
        CHECK_EQ(w.fpga_register(b, REG_DDC_PHASE_0 + i), 0u);
    }
    REQUIRE(wait_for(h.blocks, h.skip + h.keep, 30000));
    for (int r = 0; r < 4; ++r) {
        std::lock_guard<std::mutex> g(h.lock);
        const double f = strongest_tone(h.kept[r], 48000, 250);
        CHECK_MSG(std::fabs(f - 6000) <= 250, "receiver " << r << " at " << f << " Hz");
    }

    module().SetRxFrequency(3590000, 2);
    CHECK_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + 2), ddc_word(-3590000.0));
    CHECK_EQ(w.fpga_register(b, REG_DDC_FREQ_0 + 1), ddc_word(-3600000.0));
    {
        std::lock_guard<std::mutex> g(h.lock);
        for (auto& k : h.kept)
            k.clear();
        h.skip = h.blocks.load() + 6;  // past the blocks already in flight
    }
    REQUIRE(wait_for(h.blocks, h.skip + h.keep, 30000));
    for (int r = 0; r < 4; ++r) {
        std::lock_guard<std::mutex> g(h.lock);
        const double expected = r == 2 ? 16000 : 6000;
        const double f = strongest_tone(h.kept[r], 48000, 250);
        CHECK_MSG(std::fabs(f - expected) <= 250, "receiver " << r << " at " << f << " Hz");
    }
    module().StopRx();
    const int after = h.blocks.load();
    Sleep(150);
    CHECK_EQ(h.blocks.load(), after);  // no callback once StopRx has returned
    CHECK(h.data_thread.load() != 0 && h.data_thread.load() != GetCurrentThreadId());
    CHECK_EQ(h.data_threads_seen.load(), 0);  // one worker thread delivered every block
    CHECK_EQ(h.nonzero_spare.load(), 0);
    CHECK(h.errors.empty());
    CHECK_EQ(w.open_handles(), 0);
    CHECK(!w.rx_enabled(b));
    check_async_clean();
}

// Three sessions at the three rates, one after the other: each streams, each ends with the board
// closed, every asynchronous context freed and every transfer over before its context went.
WIN_TEST(StartStopCyclesLeaveNothingBehind) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = add_board({carrier(3610000, -40)});
    usbsim_win32_reset_async_stats();
    for (int rate = 0; rate < 3; ++rate) {
        Host h;
        ReceiverSettings s = settings_for(h, rate);
        module().StartRx(&s);
        CHECK(h.errors.empty());
        CHECK_EQ(w.open_handles(), 1);
        CHECK(async_stats().contexts > 0);
        CHECK_MSG(wait_for(h.blocks, 3, 30000), "rate " << rate);
        module().StopRx();
        CHECK_EQ(w.open_handles(), 0);
        CHECK_EQ(w.claimed_interfaces(), 0);
        CHECK(!w.rx_enabled(b));
        CHECK_EQ(h.nonzero_spare.load(), 0);
        check_async_clean();
    }
    // The receive ring was torn down by cancelling its queued reads and reaping each.
    CHECK(async_stats().endpoint_aborts >= 3);
}

// A cold board leaves the bus when its new firmware starts. Back 1.5 s later, as a real one is, it
// streams from the first StartRx; never back, StartRx gives up after its bound of 5 s of waiting
// with the device text, and leaves nothing open.
WIN_TEST(ColdBoardRejoiningLateStartsFirstTimeAndOneNeverBackFailsInTime) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    for (int rejoin_ms : {1500, usbsim::BoardConfig::REJOIN_NEVER}) {
        w.reset();
        usbsim_win32_reset_async_stats();
        usbsim::BoardConfig cfg;  // cold
        cfg.rejoin_after_ms = rejoin_ms;
        cfg.eeprom[1] = usbsim::eeprom_image(0x0001);
        cfg.eeprom[3] = usbsim::eeprom_image(0x0001);
        usbsim::BoardId b = w.add_board(w.add_bus(), cfg);
        w.rescan();
        Host h;
        ReceiverSettings s = settings_for(h, 0);
        StderrCapture err;
        const auto t0 = std::chrono::steady_clock::now();
        module().StartRx(&s);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        CHECK(w.firmware_running(b));
        if (rejoin_ms > 0) {
            REQUIRE(h.errors.empty());
            CHECK_MSG(took >= 1.5, "started after " << took << " s");
            CHECK(w.fpga_configured(b));
            CHECK(wait_for(h.blocks, 10, 30000));
            module().StopRx();
        } else {
            REQUIRE(h.errors.size() == 1u);
            CHECK_EQ(h.errors[0], std::string("Can't create instance of USRP Rx device"));
            CHECK_MSG(took >= 5.0 && took < 6.0, "failed after " << took << " s");
            CHECK(!w.on_bus(b));
            CHECK_MSG(err.text().find("usrp: failed to find usrp[0]\n") != std::string::npos,
                      err.text());
            CHECK_EQ(h.blocks.load(), 0);
        }
        CHECK_EQ(w.open_handles(), 0);
        CHECK_EQ(w.claimed_interfaces(), 0);
        check_async_clean();
    }
}

// libusb-win32 reports a stalled control request as -5 and never sets errno: a stale EPIPE in
// errno must not hide the failure, so the stall is reported on standard error.
WIN_TEST(StallsAreReportedOnWindows) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    module().StartRx(&s);
    REQUIRE(h.errors.empty());
    StderrCapture err;
    usbsim::ControlMatch spi_write;
    spi_write.request = 0x09;
    usbsim::Fault stall;
    stall.kind = usbsim::FaultKind::stall;
    w.fail_control_matching(spi_write, stall);
    errno = EPIPE;
    module().SetRxFrequency(5000000, 3);
    const std::string text = err.text();
    module().StopRx();
    bool found = false;
    for (const auto& r : w.control_log())
        found = found || (r.request == 0x09 && r.result == -5);
    CHECK_MSG(found, "the stalled request came back as -5");
    CHECK_MSG(text.find("usb_control_msg failed: libusb0-dll:err [usb_control_msg] sending "
                        "control message failed") != std::string::npos,
              "stderr was: " << text);
    CHECK_EQ(w.open_handles(), 0);
}

// The board stops sending for 1.5 s. The reap that waits out its second makes libusb-win32 abort
// every transfer queued on the endpoint; that is one failure: one line, the whole ring reaped
// (each transfer only once it is over) and queued again in order, and blocks reach the host again
// as soon as the board sends again, as one unbroken stream.
WIN_TEST(PauseOfTheBoardIsOneFailureAndTheRingResumesAtOnce) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    usbsim::BoardId b = add_board({carrier(3606000, -30)}, usbsim::Pacing::free_running);
    usbsim_win32_reset_async_stats();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    StderrCapture err;
    module().StartRx(&s);
    REQUIRE(h.errors.empty());
    REQUIRE(wait_for(h.blocks, 20, 30000));

    using clock = std::chrono::steady_clock;
    const auto resume = clock::now() + std::chrono::milliseconds(1500);
    w.pause_stream(b, 1500);
    std::this_thread::sleep_until(resume);
    const int at_resume = h.blocks.load();
    while (h.blocks.load() == at_resume && clock::now() - resume < std::chrono::seconds(10))
        Sleep(0);
    const double recovery_ms =
        std::chrono::duration<double, std::milli>(clock::now() - resume).count();
    {
        std::lock_guard<std::mutex> g(h.lock);
        h.skip = h.blocks.load() + 2;
        h.keep = 40;
    }
    CHECK(wait_for(h.blocks, h.skip + h.keep, 30000));
    const std::string text = err.text();
    module().StopRx();
    std::printf("FIGURE pause_1500ms_recovery_ms_windows_ring %.0f\n", recovery_ms);
    CHECK_MSG(h.blocks.load() > at_resume, "no block after the pause");
    CHECK_MSG(recovery_ms < 500, "blocks came back " << recovery_ms << " ms after the pause");
    CHECK_MSG(reap_failure_lines(text) == 1, "stderr was: " << text.substr(0, 600));
    CHECK_MSG(text.find("fusb_ephandle_win32::read: usb_reap_async: libusb0-dll:err "
                        "[_usb_reap_async] timeout error") != std::string::npos,
              "stderr was: " << text.substr(0, 400));
    {
        std::lock_guard<std::mutex> g(h.lock);
        for (int r = 0; r < 4; ++r)
            CHECK_MSG(phase_breaks(h.kept[r]) == 0, "receiver " << r << " after the pause");
    }
    usbsim_async_stats st = async_stats();
    CHECK(st.endpoint_aborts >= 2);         // the time-out, then the teardown
    CHECK(st.transfers_aborted >= 31);      // the whole ring, at once
    CHECK_EQ(st.submits_while_pending, 0);  // no block queued again before its transfer was over
    CHECK_EQ(st.frees_while_pending, 0);
    CHECK_EQ(w.open_handles(), 0);
    CHECK(!w.rx_enabled(b));
    check_async_clean();
}

// StopRx is quick on a streaming board, on one that has stopped sending (the worker waits for a
// block; no failure line then) and on one that has gone away.
WIN_TEST(StopRxIsQuickWithTheBoardPresentSilentOrGone) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    const char* const modes[3] = {"board_present", "board_silent", "board_gone"};
    for (int mode = 0; mode < 3; ++mode) {
        usbsim::BoardId b = add_board({carrier(3610000, -40)});
        Host h;
        ReceiverSettings s = settings_for(h, 0);
        StderrCapture err;
        module().StartRx(&s);
        REQUIRE(h.errors.empty());
        REQUIRE(wait_for(h.blocks, 10, 30000));
        if (mode == 1) {
            w.pause_stream(b, 10000);
            Sleep(100);  // the read waits
        } else if (mode == 2) {
            w.detach(b);
            Sleep(600);  // reads failing
        }
        const size_t before = err.text().size();
        const auto t0 = std::chrono::steady_clock::now();
        module().StopRx();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        std::printf("FIGURE stoprx_ms_windows_ring_%s %.0f\n", modes[mode], ms);
        CHECK_MSG(ms < 500, modes[mode] << ": " << ms << " ms");
        if (mode < 2)
            CHECK_MSG(reap_failure_lines(err.text().substr(before)) == 0,
                      err.text().substr(before));
        CHECK_EQ(w.open_handles(), 0);
        check_async_clean();
    }
}

// Unplugged while streaming and plugged in again 2 s later, back cold: the DLL finds it gone,
// waits, loads the images again, waits for the re-join and streams by itself, receiver 1 where the
// host retuned it while the board was away; nothing reaches the error callback. Unplugged again,
// StopRx during the wait is quick and leaves nothing behind.
WIN_TEST(BoardThatLeavesAndComesBackStreamsAgainByItself) {
    REQUIRE(module().handle != nullptr);
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim_win32_reset_async_stats();
    usbsim::BoardConfig cfg;  // cold, and cold again after a power cycle
    cfg.rejoin_after_ms = 1500;
    cfg.eeprom[1] = usbsim::eeprom_image(0x0001);
    cfg.eeprom[3] = usbsim::eeprom_image(0x0001);
    cfg.pacing = usbsim::Pacing::real_time;
    cfg.fifo_bytes = 2 * 1024 * 1024;
    cfg.scene.carriers.push_back(carrier(3606000, -30));
    usbsim::BoardId b = w.add_board(w.add_bus(), cfg);
    w.rescan();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    StderrCapture err;
    module().StartRx(&s);
    REQUIRE(h.errors.empty());
    REQUIRE(wait_for(h.blocks, 10, 30000));
    auto lost = [&] {
        const std::string t = err.text();
        return t.find("StreamWorker: board lost (gone from the bus)") != std::string::npos;
    };

    w.detach(b);
    REQUIRE(support::wait_until(lost, 3000));
    module().SetRxFrequency(3604000, 1);
    Sleep(2000);
    const int before = h.blocks.load();
    const auto attached = std::chrono::steady_clock::now();
    w.attach(b, true);
    REQUIRE(wait_for(h.blocks, before + 1, 15000));
    std::printf(
        "FIGURE windows_return_to_first_block_ms_cold %.0f\n",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - attached)
                .count() -
            1500);
    REQUIRE(h.keep_next_blocks(40, 10000));
    {
        std::lock_guard<std::mutex> guard(h.lock);
        const double rx0 = strongest_tone(h.kept[0], 48000, 25);
        const double rx1 = strongest_tone(h.kept[1], 48000, 25);
        CHECK_MSG(std::fabs(rx0 - 6000) < 50, "receiver 0 at " << rx0 << " Hz");
        CHECK_MSG(std::fabs(rx1 - 2000) < 50,
                  "receiver 1 (retuned while away) at " << rx1 << " Hz");
    }
    CHECK(err.text().find("StreamWorker: board back after ") != std::string::npos);
    CHECK(h.errors.empty());

    w.detach(b);
    REQUIRE(support::wait_until(
        [&] {
            const std::string t = err.text();
            return t.find("StreamWorker: board lost") != t.rfind("StreamWorker: board lost");
        },
        3000));
    const auto t0 = std::chrono::steady_clock::now();
    module().StopRx();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("FIGURE windows_stoprx_ms_waiting_for_board %.0f\n", ms);
    CHECK_MSG(ms < 300, ms << " ms");
    CHECK(h.errors.empty());
    CHECK_EQ(w.open_handles(), 0);
    check_async_clean();
}

// ---------------------------------------------------------------------------------------------
// Diagnostics a GUI host's user can see: every line the module writes to standard error also
// reaches the debugger output and the log file named by ZALVO_LOG (with time stamps). A child
// copy of this program, run under this one as its debugger, starts a session that cannot find
// its firmware; the three channels must carry the same lines.
// ---------------------------------------------------------------------------------------------

// The child's side (zalvo_win_host --diag-child): exit status 0 when the host saw the failure.
int winhost::diag_child() {
    add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 0);
    module().StartRx(&s);
    module().StopRx();
    return h.errors.size() == 1 && h.errors[0] == "Can't create instance of USRP Rx device" ? 0 : 1;
}

namespace {

std::string read_file(const std::string& path) {
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return text;
    char piece[4096];
    DWORD got = 0;
    while (ReadFile(f, piece, sizeof piece, &got, nullptr) && got > 0)
        text.append(piece, got);
    CloseHandle(f);
    return text;
}

std::string without_cr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

struct DebuggedRun {
    std::string debug_output;  // every OutputDebugStringA text, in order
    DWORD exit_code = 99;
    DWORD process_id = 0;
    bool ended = false;
};

// Runs "<this program> --diag-child" as a debuggee with standard error in err_path; collects
// its debugger output until it exits.
DebuggedRun run_debugged_child(const std::string& err_path) {
    DebuggedRun run;
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, MAX_PATH))
        return run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE err = CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err == INVALID_HANDLE_VALUE)
        return run;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = err;
    std::string command = std::string("\"") + self + "\" --diag-child";
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessA(self, &command[0], nullptr, nullptr, TRUE,
                                  DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &si, &pi);
    CloseHandle(err);
    if (!started)
        return run;
    run.process_id = pi.dwProcessId;
    bool first_breakpoint = true;
    DEBUG_EVENT ev;
    while (!run.ended && WaitForDebugEvent(&ev, 120000)) {
        DWORD how = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& d = ev.u.DebugString;
                std::string text(d.nDebugStringLength, '\0');
                SIZE_T got = 0;
                if (!d.fUnicode && ReadProcessMemory(pi.hProcess, d.lpDebugStringData, &text[0],
                                                     text.size(), &got)) {
                    text.resize(std::strlen(text.c_str()));
                    run.debug_output += text;
                }
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                // The loader's initial breakpoint is ours; every other exception is the child's.
                if (!(first_breakpoint &&
                      ev.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT))
                    how = DBG_EXCEPTION_NOT_HANDLED;
                first_breakpoint = false;
                break;
            case CREATE_PROCESS_DEBUG_EVENT: CloseHandle(ev.u.CreateProcessInfo.hFile); break;
            case LOAD_DLL_DEBUG_EVENT: CloseHandle(ev.u.LoadDll.hFile); break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.exit_code = ev.u.ExitProcess.dwExitCode;
                run.ended = true;
                break;
            default: break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, how);
    }
    if (!run.ended)
        TerminateProcess(pi.hProcess, 98);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

// Sets an environment variable for the lifetime of the object (children inherit it).
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        char old[4096];
        DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
        had_ = n > 0 && n < sizeof old;
        if (had_)
            old_ = old;
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

  private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace

WIN_TEST(DiagnosticsReachStandardErrorTheDebuggerAndTheLogFile) {
    char temp[MAX_PATH];
    REQUIRE(GetTempPathA(MAX_PATH, temp) > 0);
    const std::string dir =
        std::string(temp) + "zalvo-diag-" + std::to_string(GetCurrentProcessId());
    const std::string images = dir + "\\images", log = dir + "\\module.log",
                      err = dir + "\\stderr.txt";
    CreateDirectoryA(dir.c_str(), nullptr);
    CreateDirectoryA(images.c_str(), nullptr);  // no images in it
    DeleteFileA(log.c_str());

    DebuggedRun run;
    {
        ScopedVariable path("USRP_PATH", images);
        ScopedVariable log_file("ZALVO_LOG", log);
        run = run_debugged_child(err);
    }
    REQUIRE(run.ended);
    CHECK_EQ(run.exit_code, 0ul);

    // Standard error keeps every line; the debugger saw the same text.
    const std::string stderr_text = without_cr(read_file(err));
    const std::string expected = "Can't find firmware: std.ihx\nusrp: searched for std.ihx in: \"" +
                                 images + "/rev4/std.ihx\", \"\\usrp/rev4/std.ihx\", " +
                                 "\".\\usrp/rev4/std.ihx\"\n";
    CHECK_MSG(stderr_text.find(expected) != std::string::npos, stderr_text);
    CHECK_EQ(run.debug_output, stderr_text);

    // The log: the same lines, each after "YYYY-MM-DD HH:MM:SS.mmm [pid] ", with Windows line
    // ends.
    const std::string log_text = read_file(log);
    CHECK(log_text.find("\r\n") != std::string::npos);
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] (.*))");
    std::string logged;
    std::istringstream lines(without_cr(log_text));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        std::smatch m;
        if (!std::regex_match(line, m, stamped)) {
            CHECK_MSG(false, "log line without a time stamp: " << line);
            continue;
        }
        CHECK_EQ(std::stoul(m[1].str()), static_cast<unsigned long>(run.process_id));
        logged += m[2].str() + "\n";
    }
    CHECK(count >= 2);
    CHECK_EQ(logged, stderr_text);

    DeleteFileA(log.c_str());
    DeleteFileA(err.c_str());
    RemoveDirectoryA(images.c_str());
    RemoveDirectoryA(dir.c_str());
}
