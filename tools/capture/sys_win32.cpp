// The capture tool's system calls on Windows.
#include "stderr_tap.h"
#include "sys.h"

#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace capture {
namespace sys {

namespace {

std::string system_message(DWORD code) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        --n;
    std::string s(text, n);
    return (s.empty() ? "error" : s) + " (" + std::to_string(code) + ")";
}

void (*g_handler)(int) = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (!g_handler)
        return FALSE;
    // Ctrl-C and Ctrl-Break are both the user's interrupt; closing the window, logging off
    // and shutting down end the process once the handler returns.
    g_handler(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM);
    return TRUE;
}

}  // namespace

// Windows has no global symbol scope: a library's imports are bound to the DLLs of those names,
// and each DLL is loaded once per process, so the simulator's libusb0.dll that one library
// brings in is the one every later library uses.
void* load_library(const std::string& path, bool, std::string* error) {
    // A path is made absolute: the altered search (the library's own folder first for its
    // imports) is defined for absolute paths only.
    std::error_code ec;
    const bool bare = is_bare_name(path);
    const std::string full = bare ? path : std::filesystem::absolute(path, ec).string();
    HMODULE h = LoadLibraryExA(full.c_str(), nullptr, bare ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!h) {
        const DWORD code = GetLastError();
        if (code == ERROR_MOD_NOT_FOUND && !bare && std::filesystem::exists(full, ec))
            *error = path + ": a DLL it needs is missing (libusb0.dll comes with the board's "
                            "libusb-win32 driver)";
        else
            *error = path + ": " + system_message(code);
    }
    return reinterpret_cast<void*>(h);
}

void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void unload_library(void* library) {
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

std::string program_folder() {
    char self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self)
        return "";
    std::string dir(self, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string beside_program(const std::string& path) {
    const bool absolute =
        path.size() >= 2 && (path[1] == ':' || ((path[0] == '\\' || path[0] == '/') &&
                                                (path[1] == '\\' || path[1] == '/')));
    if (path.empty() || absolute)
        return path;
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    return program_folder() + native;
}

std::string simulated_usb_library() {
    HMODULE usb = GetModuleHandleA("libusb0.dll");
    if (!usb || !GetProcAddress(usb, "zalvo_capture_sim_setup"))
        return "";
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(usb, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string("libusb0.dll");
}

std::string folder_name_problem(const std::string& path) {
    // The names after the long-path prefix ("\\?\") and the drive ("C:").
    size_t start = path.compare(0, 4, "\\\\?\\") == 0 ? 4 : 0;
    if (path.size() >= start + 2 && path[start + 1] == ':')
        start += 2;
    for (size_t i = start; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c == '"')
            return "Windows allows no \" in a name (a folder written as \"C:\\rec 3\\\" ends in "
                   "a backslash, which makes the command prompt pass the closing quote: leave "
                   "out that backslash)";
        if (c < 0x20)
            return "Windows allows no control character in a name";
        if (std::strchr("<>:|?*", c))
            return std::string("Windows allows no ") + char(c) + " in a name";
    }
    return "";
}

std::string native_path(const std::string& path) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    return native;
}

bool is_bare_name(const std::string& name) {
    return name.find_first_of("\\/:") == std::string::npos;
}

void set_env_default(const char* name, const std::string& value) {
    if (GetEnvironmentVariableA(name, nullptr, 0) > 0)
        return;
    // Both the system's copy and the C runtime's, which getenv() reads.
    SetEnvironmentVariableA(name, value.c_str());
    _putenv_s(name, value.c_str());
}

int open_output(const std::string& path, bool replace, std::string* error) {
    const int flags =
        _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT | (replace ? _O_TRUNC : _O_EXCL);
    int fd = _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        *error = path + ": " +
                 (errno == EEXIST ? std::string("exists already (--overwrite replaces it)")
                                  : std::string(std::strerror(errno)));
    return fd;
}

bool truncate_file(int fd, int64_t bytes) {
    return _chsize_s(fd, bytes) == 0 && _lseeki64(fd, bytes, SEEK_SET) == bytes;
}

int make_folder(const std::string& path) {
    return _mkdir(path.c_str()) == 0 ? 0 : errno;
}

int replace_file(const std::string& temp, const std::string& path) {
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

bool folder_writable(const std::string& path) {
    return _access(path.c_str(), 2) == 0;
}

void utc_time(std::time_t seconds, std::tm* out) {
    gmtime_s(out, &seconds);
}

double cpu_seconds() {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}

// The progress line rewrites itself with terminal escapes, which a console shows as such only
// once asked to (Windows 10 and later); without them there is no progress line.
bool stdout_is_terminal() {
    if (_isatty(_fileno(stdout)) == 0)
        return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(out, &mode) &&
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void on_interrupt(void (*handler)(int signo)) {
    g_handler = handler;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::string sha512_hex(const std::string& data) {
    unsigned char digest[64] = {};
    BCRYPT_ALG_HANDLE alg = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA512_ALGORITHM, nullptr, 0) >= 0;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ok = ok && BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                              static_cast<ULONG>(data.size()), 0) >= 0;
    ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash)
        BCryptDestroyHash(hash);
    if (alg)
        BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok)
        return "";
    std::string hex;
    char b[3];
    for (unsigned char d : digest) {
        std::snprintf(b, sizeof b, "%02x", d);
        hex += b;
    }
    return hex;
}

}  // namespace sys

namespace {

// The debugger output as a program without a debugger sees it (the "DBWIN" protocol): a shared
// buffer holding the writer's process id and its text, and two events that hand it back and forth.
struct DebugOutput {
    HANDLE buffer_ready = nullptr, data_ready = nullptr, mapping = nullptr;
    const char* view = nullptr;
    std::atomic<bool> stopping{false};

    void close() {
        if (view)
            UnmapViewOfFile(view);
        for (HANDLE h : {mapping, data_ready, buffer_ready})
            if (h)
                CloseHandle(h);
        view = nullptr;
        mapping = data_ready = buffer_ready = nullptr;
    }
};

DebugOutput g_debug_output;
constexpr DWORD DEBUG_BUFFER_BYTES = 4096;

}  // namespace

// On Windows the module writes its overrun marks to the debugger output, not to standard error:
// this program reads that output while no debugger is attached and nothing else reads it.
bool StderrTap::start() {
    if (saved_ >= 0)
        return true;
    DebugOutput& d = g_debug_output;
    auto fail = [&](const char* why) {
        d.close();
        why_not_ = why;
        return false;
    };
    if (IsDebuggerPresent())
        return fail("not counted (a debugger receives the module's reports)");
    d.buffer_ready = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    if (d.buffer_ready && GetLastError() == ERROR_ALREADY_EXISTS)
        return fail("not counted (another program, such as a debug viewer, reads the debugger "
                    "output where the module reports them)");
    d.data_ready = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    d.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                   DEBUG_BUFFER_BYTES, "DBWIN_BUFFER");
    if (d.mapping)
        d.view = static_cast<const char*>(
            MapViewOfFile(d.mapping, FILE_MAP_READ, 0, 0, DEBUG_BUFFER_BYTES));
    if (!d.buffer_ready || !d.data_ready || !d.view)
        return fail("not counted (the debugger output, where the module reports them, could not "
                    "be read)");
    d.stopping = false;
    saved_ = 0;
    reader_ = std::thread([this] { pump(); });
    return true;
}

void StderrTap::pump() {
    DebugOutput& d = g_debug_output;
    const DWORD self = GetCurrentProcessId();
    bool at_line_start = true;
    SetEvent(d.buffer_ready);
    // The end is looked for only when no text is waiting, so that none written before stop()
    // is missed.
    for (;;) {
        const DWORD w = WaitForSingleObject(d.data_ready, 50);
        if (w == WAIT_TIMEOUT) {
            if (d.stopping)
                break;
            continue;
        }
        if (w != WAIT_OBJECT_0)
            break;
        DWORD pid = 0;
        std::memcpy(&pid, d.view, sizeof pid);
        if (pid == self) {
            const char* text = d.view + sizeof pid;
            const size_t n = strnlen(text, DEBUG_BUFFER_BYTES - sizeof pid);
            std::string rest;  // the module's other texts are on standard error as well
            const uint64_t marks = scan(text, n, &at_line_start, &rest);
            overruns_ += marks;
            for (uint64_t k = 0; k < marks && on_mark_; ++k)
                on_mark_();
            take_text(rest, false);
        }
        SetEvent(d.buffer_ready);
    }
}

void StderrTap::stop() {
    if (saved_ < 0)
        return;
    g_debug_output.stopping = true;
    if (reader_.joinable())
        reader_.join();
    g_debug_output.close();
    saved_ = -1;
}

}  // namespace capture
