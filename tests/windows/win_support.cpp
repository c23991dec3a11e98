#include "win_support.h"

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

// The thunk: saves the callee-saved registers, pushes the arguments last to first, calls, and
// reports how far the stack pointer moved, then restores it whatever the callee did.
__asm__(".text\n"
        ".globl _winhost_call_stdcall\n"
        "_winhost_call_stdcall:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 12(%ebp), %esi\n"  // args
        "    movl 16(%ebp), %ecx\n"  // n
        "    movl %esp, %edi\n"      // stack pointer before the arguments
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    pushl -4(%esi,%ecx,4)\n"
        "    decl %ecx\n"
        "    jmp 1b\n"
        "2:  call *8(%ebp)\n"
        "    movl %esp, %ecx\n"
        "    subl %edi, %ecx\n"  // after minus before
        "    movl %edi, %esp\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

namespace winhost {

namespace {

typedef void(ZALVO_CALL* info_fn)(SdrInfo*);
typedef void(ZALVO_CALL* start_fn)(const ReceiverSettings*);
typedef void(ZALVO_CALL* void_fn)(void);
typedef void(ZALVO_CALL* freq_fn)(int32_t, int32_t);
typedef void(ZALVO_CALL* bits_fn)(int32_t);
typedef int32_t(ZALVO_CALL* port_fn)(int32_t);

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    Host* h = reinterpret_cast<Host*>(context);
    std::lock_guard<std::mutex> g(h->lock);
    h->errors.push_back(text ? text : "(null)");
    h->error_threads.push_back(GetCurrentThreadId());
    h->error_contexts.push_back(context);
}

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    Host* h = reinterpret_cast<Host*>(context);
    const DWORD me = GetCurrentThreadId();
    DWORD expected = 0;
    if (!h->data_thread.compare_exchange_strong(expected, me) && expected != me)
        h->data_threads_seen.fetch_add(1);
    for (int i = 4; i < 8; ++i)
        for (int j = 0; j < 2 * h->block_length; ++j)
            if (buffers[i][j] != 0.0f) {
                h->nonzero_spare.fetch_add(1);
                break;
            }
    const int n = h->blocks.load();
    if (n >= h->skip && n < h->skip + h->keep) {
        std::lock_guard<std::mutex> g(h->lock);
        for (int r = 0; r < 4; ++r)
            h->kept[r].insert(h->kept[r].end(), buffers[r], buffers[r] + 2 * h->block_length);
    }
    h->blocks.fetch_add(1);
}

}  // namespace

const Module& module() {
    static Module m = [] {
        Module x;
        x.handle = LoadLibraryA("ZalvoIntf.dll");
        if (!x.handle)
            return x;
        x.get_sdr_info = GetProcAddress(x.handle, "GetSdrInfo");
        x.start_rx = GetProcAddress(x.handle, "StartRx");
        x.stop_rx = GetProcAddress(x.handle, "StopRx");
        x.set_rx_frequency = GetProcAddress(x.handle, "SetRxFrequency");
        x.set_ctrl_bits = GetProcAddress(x.handle, "SetCtrlBits");
        x.read_port = GetProcAddress(x.handle, "ReadPort");
        return x;
    }();
    return m;
}

void Module::GetSdrInfo(SdrInfo* info) const {
    fn_cast<info_fn>(get_sdr_info)(info);
}
void Module::StartRx(const ReceiverSettings* s) const {
    fn_cast<start_fn>(start_rx)(s);
}
void Module::StopRx() const {
    fn_cast<void_fn>(stop_rx)();
}
void Module::SetRxFrequency(int32_t hz, int32_t receiver) const {
    fn_cast<freq_fn>(set_rx_frequency)(hz, receiver);
}
void Module::SetCtrlBits(int32_t bits) const {
    fn_cast<bits_fn>(set_ctrl_bits)(bits);
}
int32_t Module::ReadPort(int32_t port) const {
    return fn_cast<port_fn>(read_port)(port);
}

ReceiverSettings settings_for(Host& h, int rate_index) {
    ReceiverSettings s;
    std::memset(&s, 0xA5, sizeof s);  // the fields the module must not read
    s.callback_context = reinterpret_cast<intptr_t>(&h);
    s.sample_rate_index = rate_index;
    s.data_callback = on_data;
    s.error_callback = on_error;
    h.block_length = 512 << (rate_index & 3);
    return s;
}

usbsim::BoardId add_board(const std::vector<usbsim::Carrier>& carriers, usbsim::Pacing pacing) {
    auto& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig cfg;
    cfg.pacing = pacing;
    cfg.fifo_bytes = 2 << 20;
    cfg.eeprom[1] = usbsim::eeprom_image(0x0001);
    cfg.eeprom[3] = usbsim::eeprom_image(0x0001);
    cfg.scene.noise_dbfs = -90.0;
    cfg.scene.carriers = carriers;
    usbsim::BoardId b = w.add_board(w.add_bus(), cfg);
    w.rescan();  // the module scans the bus once per process
    return b;
}

bool wait_for(const std::atomic<int>& counter, int at_least, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (counter.load() >= at_least)
            return true;
        Sleep(10);
    }
    return counter.load() >= at_least;
}

StderrCapture::StderrCapture() {
    char dir[MAX_PATH], file[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "zst", 0, file);
    path_ = file;
    std::fflush(stderr);
    saved_ = _dup(2);
    int fd = _open(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(fd, 2);
    _close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    _dup2(saved_, 2);
    _close(saved_);
    DeleteFileA(path_.c_str());
}

std::string StderrCapture::text() {
    std::fflush(stderr);
    std::ifstream f(path_, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

double strongest_tone(const std::vector<float>& iq, double rate, double step) {
    const size_t n = iq.size() / 2;
    double best = -1, best_f = 0;
    for (double f = -rate / 2 + step; f < rate / 2; f += step) {
        double re = 0, im = 0;
        const double w = -2.0 * 3.14159265358979323846 * f / rate;
        for (size_t k = 0; k < n; ++k) {
            const double c = std::cos(w * double(k)), s = std::sin(w * double(k));
            re += iq[2 * k] * c - iq[2 * k + 1] * s;
            im += iq[2 * k] * s + iq[2 * k + 1] * c;
        }
        const double p = re * re + im * im;
        if (p > best) {
            best = p;
            best_f = f;
        }
    }
    return best_f;
}

usbsim_async_stats async_stats() {
    usbsim_async_stats s{};
    usbsim_win32_async_stats(&s);
    return s;
}

}  // namespace winhost
