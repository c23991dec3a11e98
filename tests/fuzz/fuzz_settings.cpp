// Arbitrary bytes as ReceiverSettings records and as a sequence of calls of the six exports, on
// a warm simulated board. Each step takes one byte for the call and the bytes its arguments need:
// StartRx with a record (its callbacks replaced by the target's own or null, chosen by a flag
// byte, since a host passes real functions; every other byte is the input's), StartRx with null,
// StopRx, SetRxFrequency, SetCtrlBits, ReadPort, GetSdrInfo with a record or null.
// Properties: a start reports nothing or exactly one of its texts, on the calling thread and with
// the record's context; an unknown rate leaves nothing open and a known one streams; a retune of
// receiver 0..3 of a running session reaches its DDC register and anything else sends nothing;
// ReadPort is 0; GetSdrInfo writes its two fields only; after StopRx nothing is open or enabled
// and no callback follows.
#include "ZalvoIntf.h"
#include "usbsim.h"

#include <sanitizer/common_interface_defs.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void check(bool cond, const char* what) {
    if (cond)
        return;
    std::string summary = std::string("fuzz property violated: ") + what;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

std::thread::id caller;
intptr_t expected_context;
std::vector<std::string> errors;
std::atomic<int> wrong_context{0};
std::atomic<int> blocks{0};
std::atomic<int> dirty_spares{0};
int block_length = 512;

void ZALVO_CALL on_error(intptr_t context, const char* text) {
    check(std::this_thread::get_id() == caller, "errors arrive on the calling thread");
    check(context == expected_context, "errors carry the record's context");
    errors.push_back(text ? text : "");
}

void ZALVO_CALL on_data(intptr_t context, float** buffers) {
    if (context != expected_context)
        wrong_context.fetch_add(1);
    for (int i = 4; i < 8; ++i)
        for (int j = 0; j < 2 * block_length; ++j)
            if (buffers[i][j] != 0.0f) {
                dirty_spares.fetch_add(1);
                break;
            }
    blocks.fetch_add(1);
}

usbsim::BoardId board_once() {
    static usbsim::BoardId board = -1;
    usbsim::World& w = usbsim::World::instance();
    if (board < 0) {
        setenv("USRP_PATH", ZALVO_IMAGES_DIR, 1);
        w.reset();
        usbsim::BoardConfig c;
        c.warm = true;  // digests differ from the images: the first start loads them
        board = w.add_board(w.add_bus(), c);
    }
    w.clear_faults();
    w.clear_log();
    return board;
}

uint32_t ddc_word(double hz) {
    return uint32_t(int32_t(std::llround(hz / 64e6 * 4294967296.0)));
}

struct Reader {
    const uint8_t* p;
    size_t n;
    bool take(void* out, size_t k) {
        if (n < k)
            return false;
        std::memcpy(out, p, k);
        p += k;
        n -= k;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    usbsim::BoardId b = board_once();
    usbsim::World& w = usbsim::World::instance();
    caller = std::this_thread::get_id();
    Reader in{data, size};
    bool session = false;
    int starts = 0;
    uint8_t op;
    for (int step = 0; step < 24 && in.take(&op, 1); ++step) {
        switch (op % 8) {
            case 0: {
                ReceiverSettings s;
                std::memset(&s, 0, sizeof s);
                in.take(&s, sizeof s);
                uint8_t flags = 0;
                in.take(&flags, 1);
                if (flags & 4)
                    s.sample_rate_index &= 3;  // make known rates likely
                const bool known = s.sample_rate_index >= 0 && s.sample_rate_index <= 2;
                if (known && ++starts > 2)
                    break;  // each session costs a worker start: bound them
                s.data_callback = (flags & 1) ? on_data : nullptr;
                s.error_callback = (flags & 2) ? on_error : nullptr;
                expected_context = s.callback_context;
                block_length = 512 << (s.sample_rate_index & 3);
                errors.clear();
                StartRx(&s);
                if (!s.error_callback)
                    check(errors.empty(), "no error callback, no text");
                if (known) {
                    check(errors.empty(), "a known rate starts");
                    check(w.open_handles() == 1, "a session holds one handle");
                    session = true;
                } else {
                    check(errors.size() <= 1, "at most one text");
                    if (s.error_callback)
                        check(errors.size() == 1 && errors[0] == "Unknown sample rate",
                              "an unknown rate is reported");
                    check(w.open_handles() == 0, "an unknown rate leaves nothing open");
                    session = false;
                }
                break;
            }
            case 1: {
                int before = w.open_handles();
                StartRx(nullptr);
                check(w.open_handles() == before, "StartRx(null) changes nothing");
                break;
            }
            case 2:
                StopRx();
                check(w.open_handles() == 0 && w.claimed_interfaces() == 0, "StopRx closes all");
                check(!w.rx_enabled(b), "StopRx leaves the receive path off");
                session = false;
                break;
            case 3: {
                int32_t hz = 0, receiver = 0;
                in.take(&hz, 4);
                in.take(&receiver, 4);
                if (op & 0x80)
                    receiver &= 7;
                w.clear_log();
                SetRxFrequency(hz, receiver);
                if (session && receiver >= 0 && receiver < 4)
                    check(w.fpga_register(b, 34 + receiver) == ddc_word(-double(hz)),
                          "a retune reaches its DDC register");
                else
                    check(w.control_log().empty(), "an ignored retune sends nothing");
                break;
            }
            case 4: {
                int32_t bits = 0;
                in.take(&bits, 4);
                w.clear_log();
                SetCtrlBits(bits);
                check(w.control_log().empty(), "SetCtrlBits sends nothing");
                break;
            }
            case 5: {
                int32_t port = 0;
                in.take(&port, 4);
                check(ReadPort(port) == 0, "ReadPort is 0");
                break;
            }
            case 6: {
                unsigned char record[64];
                std::memset(record, 0xC3, sizeof record);
                GetSdrInfo(reinterpret_cast<SdrInfo*>(record));
                const SdrInfo* info = reinterpret_cast<const SdrInfo*>(record);
                check(info->device_name && std::strcmp(info->device_name, "USRP device") == 0 &&
                          info->receiver_count == 4,
                      "GetSdrInfo fills its fields");
                for (size_t i = sizeof(SdrInfo); i < sizeof record; ++i)
                    check(record[i] == 0xC3, "GetSdrInfo writes nothing past its record");
                break;
            }
            default: GetSdrInfo(nullptr); break;
        }
    }
    StopRx();
    int after = blocks.load();
    check(w.open_handles() == 0 && w.claimed_interfaces() == 0, "nothing open after StopRx");
    check(!w.rx_enabled(b), "receive path off after StopRx");
    check(wrong_context.load() == 0, "blocks carry the record's context");
    check(dirty_spares.load() == 0, "spare blocks stay zero");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    check(blocks.load() == after, "no block after StopRx");
    return 0;
}
