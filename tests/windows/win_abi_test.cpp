// The module's binary interface as a Windows host meets it: export and import tables, the
// version resource, stdcall with callee cleanup, the two records byte by byte.
#include "win_check.h"
#include "win_support.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>

using namespace winhost;

namespace {

const IMAGE_NT_HEADERS* nt_headers(HMODULE m) {
    auto* base = reinterpret_cast<const unsigned char*>(m);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

std::set<std::string> export_names(HMODULE m) {
    auto* base = reinterpret_cast<const unsigned char*>(m);
    const IMAGE_DATA_DIRECTORY& d =
        nt_headers(m)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    if (!d.VirtualAddress)
        return names;
    auto* e = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + d.VirtualAddress);
    auto* name_rvas = reinterpret_cast<const DWORD*>(base + e->AddressOfNames);
    for (DWORD i = 0; i < e->NumberOfNames; ++i)
        names.insert(reinterpret_cast<const char*>(base + name_rvas[i]));
    return names;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::set<std::string> imported_dlls(HMODULE m) {
    auto* base = reinterpret_cast<const unsigned char*>(m);
    const IMAGE_DATA_DIRECTORY& d =
        nt_headers(m)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> dlls;
    if (!d.VirtualAddress)
        return dlls;
    for (auto* i = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + d.VirtualAddress);
         i->Name; ++i)
        dlls.insert(lower(reinterpret_cast<const char*>(base + i->Name)));
    return dlls;
}

bool is_system_dll(const std::string& name) {
    static const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "bcrypt.dll",
                                                 "advapi32.dll", "user32.dll", "ntdll.dll",
                                                 "ucrtbase.dll"};
    return system.count(name) || name.rfind("api-ms-win-", 0) == 0;
}

std::string version_string(const char* file, const char* key) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (!size)
        return "";
    std::string data(size, '\0');
    if (!GetFileVersionInfoA(file, 0, size, &data[0]))
        return "";
    void* value = nullptr;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040904b0\\") + key;
    if (!VerQueryValueA(&data[0], path.c_str(), &value, &length) || !value)
        return "";
    return static_cast<const char*>(value);
}

}  // namespace

WIN_TEST(ExportsAreTheSixPlainNamesAndImportsOnlySystemDllsAndLibusb0) {
    const Module& m = module();
    REQUIRE(m.handle != nullptr);
    const std::set<std::string> six = {"GetSdrInfo",     "StartRx",     "StopRx",
                                       "SetRxFrequency", "SetCtrlBits", "ReadPort"};
    CHECK(export_names(m.handle) == six);
    CHECK(m.get_sdr_info && m.start_rx && m.stop_rx && m.set_rx_frequency && m.set_ctrl_bits &&
          m.read_port);
    for (const char* decorated : {"_StartRx@4", "StartRx@4", "_GetSdrInfo@4", "SetRxFrequency@8"})
        CHECK_MSG(GetProcAddress(m.handle, decorated) == nullptr, decorated);

    const std::set<std::string> dlls = imported_dlls(m.handle);
    CHECK(dlls.count("libusb0.dll") == 1);
    for (const std::string& d : dlls)
        CHECK_MSG(d == "libusb0.dll" || is_system_dll(d), "imports " << d);

    // The libusb0.dll in use is the simulator, loaded once and shared with this program.
    CHECK(GetModuleHandleA("libusb0.dll") != nullptr);
}

WIN_TEST(VersionResourceNamesTheProduct) {
    REQUIRE(module().handle != nullptr);
    char path[MAX_PATH];
    REQUIRE(GetModuleFileNameA(module().handle, path, MAX_PATH) > 0);
    CHECK_EQ(version_string(path, "OriginalFilename"), std::string("ZalvoIntf.dll"));
    // The project's version, in the texts and in the fixed numbers.
    CHECK_EQ(version_string(path, "FileVersion"), std::string(ZALVO_VERSION));
    CHECK_EQ(version_string(path, "ProductVersion"), std::string(ZALVO_VERSION));
    DWORD ignored = 0;
    std::string data(GetFileVersionInfoSizeA(path, &ignored), '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    REQUIRE(!data.empty() && GetFileVersionInfoA(path, 0, data.size(), &data[0]) &&
            VerQueryValueA(&data[0], "\\", reinterpret_cast<void**>(&fixed), &length) && fixed);
    unsigned major = 0, minor = 0, patch = 0;
    REQUIRE(std::sscanf(ZALVO_VERSION, "%u.%u.%u", &major, &minor, &patch) == 3);
    CHECK_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
    CHECK_EQ(fixed->dwFileVersionLS, patch << 16);
    CHECK_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    CHECK(version_string(path, "ProductName").find("ZalvoIntf") != std::string::npos);
    CHECK(!version_string(path, "FileDescription").empty());
}

// Every export removes its own arguments from the stack (stdcall), with and without a session.
WIN_TEST(EveryExportRemovesItsOwnArguments) {
    const Module& m = module();
    REQUIRE(m.handle != nullptr);
    auto& w = usbsim::World::instance();
    w.reset();
    int32_t delta = 99;
    SdrInfo info{};
    uint32_t arg = reinterpret_cast<uint32_t>(&info);
    winhost_call_stdcall(m.get_sdr_info, &arg, 1, &delta);
    CHECK_EQ(delta, 0);
    CHECK_EQ(info.receiver_count, 4);

    uint32_t port = 0x378;
    CHECK_EQ(winhost_call_stdcall(m.read_port, &port, 1, &delta), 0u);
    CHECK_EQ(delta, 0);
    uint32_t bits = 0xFF;
    winhost_call_stdcall(m.set_ctrl_bits, &bits, 1, &delta);
    CHECK_EQ(delta, 0);
    uint32_t tune[2] = {7050000u, 1u};
    winhost_call_stdcall(m.set_rx_frequency, tune, 2, &delta);
    CHECK_EQ(delta, 0);
    winhost_call_stdcall(m.stop_rx, nullptr, 0, &delta);
    CHECK_EQ(delta, 0);
    uint32_t none = 0;
    winhost_call_stdcall(m.start_rx, &none, 1, &delta);
    CHECK_EQ(delta, 0);
    CHECK(w.control_log().empty());

    // The same through a whole session.
    add_board();
    Host h;
    ReceiverSettings s = settings_for(h, 1);
    uint32_t settings = reinterpret_cast<uint32_t>(&s);
    winhost_call_stdcall(m.start_rx, &settings, 1, &delta);
    CHECK_EQ(delta, 0);
    CHECK(h.errors.empty());
    CHECK(wait_for(h.blocks, 2, 20000));
    winhost_call_stdcall(m.set_rx_frequency, tune, 2, &delta);
    CHECK_EQ(delta, 0);
    winhost_call_stdcall(m.stop_rx, nullptr, 0, &delta);
    CHECK_EQ(delta, 0);
    CHECK_EQ(w.open_handles(), 0);
}

WIN_TEST(SdrInfoGetsExactlyItsFirstEightBytes) {
    REQUIRE(module().handle != nullptr);
    unsigned char record[64];
    std::memset(record, 0xCD, sizeof record);
    module().GetSdrInfo(reinterpret_cast<SdrInfo*>(record));
    const char* name = nullptr;
    int32_t count = 0;
    std::memcpy(&name, record, 4);
    std::memcpy(&count, record + 4, 4);
    REQUIRE(name != nullptr);
    CHECK_EQ(std::string(name), std::string("USRP device"));
    CHECK_EQ(count, 4);
    for (size_t i = 8; i < sizeof record; ++i)
        CHECK_MSG(record[i] == 0xCD, "byte " << i << " belongs to the host");
    module().GetSdrInfo(nullptr);  // ignored
    // The name stays valid while the module is loaded: the same text on every call.
    const char* again = nullptr;
    module().GetSdrInfo(reinterpret_cast<SdrInfo*>(record));
    std::memcpy(&again, record, 4);
    CHECK(again == name);
}

// The 36-byte record: only offsets 0, 8, 16 and 32 are read. Guards everywhere else (and a
// record placed at the very end of a committed page, so that reading past it would fault).
WIN_TEST(SettingsRecordIsReadAtItsFourOffsetsOnly) {
    REQUIRE(module().handle != nullptr);
    CHECK_EQ(sizeof(ReceiverSettings), 36u);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    auto* pages = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_RESERVE, PAGE_NOACCESS));
    REQUIRE(pages != nullptr);
    REQUIRE(VirtualAlloc(pages, si.dwPageSize, MEM_COMMIT, PAGE_READWRITE) != nullptr);
    unsigned char* record = pages + si.dwPageSize - 36;
    std::memset(record, 0xEE, 36);

    usbsim::World::instance().reset();  // no board: the failure text comes back
    Host h;
    ReceiverSettings s = settings_for(h, 2);
    std::memcpy(record + 0, &s.callback_context, 4);
    std::memcpy(record + 8, &s.sample_rate_index, 4);
    std::memcpy(record + 16, &s.data_callback, 4);
    std::memcpy(record + 32, &s.error_callback, 4);
    unsigned char before[36];
    std::memcpy(before, record, 36);
    module().StartRx(reinterpret_cast<const ReceiverSettings*>(record));
    CHECK(std::memcmp(before, record, 36) == 0);  // read only
    REQUIRE(h.errors.size() == 1u);
    CHECK_EQ(h.errors[0], std::string("Can't create instance of USRP Rx device"));
    CHECK(h.error_contexts[0] == reinterpret_cast<intptr_t>(&h));
    CHECK(h.error_threads[0] == GetCurrentThreadId());
    module().StopRx();
    VirtualFree(pages, 0, MEM_RELEASE);
}
