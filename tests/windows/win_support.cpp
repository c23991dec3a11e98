#include "win_support.h"

#include <cstring>

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
    h.set_rate(rate_index);
    return h.settings_record(0xA5);  // the fields the module must not read
}

usbsim::BoardId add_board(const std::vector<usbsim::Carrier>& carriers, usbsim::Pacing pacing) {
    usbsim::BoardConfig cfg;
    cfg.pacing = pacing;
    cfg.fifo_bytes = 2 << 20;
    support::add_basic_rx(cfg);
    cfg.scene.noise_dbfs = -90.0;
    cfg.scene.carriers = carriers;
    return support::attach_only_board(cfg);  // the module scans the bus once per process
}

bool wait_for(const std::atomic<int>& counter, int at_least, int ms) {
    return support::wait_until([&] { return counter.load() >= at_least; }, ms);
}

double strongest_tone(const std::vector<float>& iq, double rate, double step) {
    return support::strongest_tone(support::complex_samples(iq), rate, rate / 2 - step, step);
}

usbsim_async_stats async_stats() {
    usbsim_async_stats s{};
    usbsim_win32_async_stats(&s);
    return s;
}

}  // namespace winhost
