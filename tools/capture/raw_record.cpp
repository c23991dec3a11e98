// The raw recording over the device layer: the board opened, loaded and tuned as the module does
// (four receivers at decimation 128, converter input 0 as I and Q, 20 dB of gain), and its
// bulk stream handed on as read.
#include "plugins.h"

#include "usrp_prims.h"
#include "usrp_standard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr unsigned DECIMATION = 128;  // 64 MHz / 128 = 500 kHz
constexpr int RECEIVERS = 4;
constexpr int INSTANT_BYTES = 4 * RECEIVERS;
constexpr double GAIN_DB = 20.0;
constexpr int READ_BYTES = 65536;
constexpr int STALL_SECONDS = 5;

}  // namespace

extern "C" ZALVO_CAPTURE_EXPORT int zalvo_capture_raw_record(zalvo_capture_raw_request* r) {
    r->recorded = 0;
    r->stalled = 0;
    r->error[0] = '\0';
    std::unique_ptr<usrp_standard_rx> rx(usrp_standard_rx::create(
        0, DECIMATION, RECEIVERS, 0, 0, 0, 0, USRP_FPGA_IMAGE_4RX, USRP_FIRMWARE_IMAGE));
    if (!rx) {
        std::snprintf(r->error, sizeof r->error,
                      "the board could not be opened and set up (the device layer's messages "
                      "above tell why)");
        return -1;
    }
    for (int i = 0; i < RECEIVERS; ++i) {
        rx->set_rx_phase(static_cast<unsigned>(i), 0);
        // The module's sign: a receiver tuned to f shifts f down to 0 Hz.
        rx->set_rx_frequency(static_cast<unsigned>(i), -double(r->freq_hz[i]));
        rx->set_rx_gain(static_cast<unsigned>(i), GAIN_DB);
    }
    if (!rx->start_streaming()) {
        std::snprintf(r->error, sizeof r->error, "the board's receive path could not be started");
        return -1;
    }
    std::vector<unsigned char> buffer(READ_BYTES);
    size_t carry = 0;  // bytes of an instant not yet whole
    auto last_data = std::chrono::steady_clock::now();
    while (r->recorded < r->instants) {
        bool overrun = false;
        int got = rx->read(buffer.data() + carry, READ_BYTES - static_cast<int>(carry), &overrun);
        if (overrun && r->overrun)
            r->overrun(r->context, r->recorded);
        if (got <= 0) {
            if (std::chrono::steady_clock::now() - last_data >
                std::chrono::seconds(STALL_SECONDS)) {
                r->stalled = 1;
                break;
            }
            continue;
        }
        last_data = std::chrono::steady_clock::now();
        const size_t have = carry + static_cast<size_t>(got);
        int64_t whole = static_cast<int64_t>(have / INSTANT_BYTES);
        whole = std::min<int64_t>(whole, r->instants - r->recorded);
        if (r->data(r->context, buffer.data(), static_cast<size_t>(whole) * INSTANT_BYTES) != 0) {
            r->recorded += whole;
            break;
        }
        r->recorded += whole;
        carry = have - static_cast<size_t>(whole) * INSTANT_BYTES;
        if (carry)
            std::copy(buffer.begin() + whole * INSTANT_BYTES, buffer.begin() + long(have),
                      buffer.begin());
    }
    rx->stop_streaming();
    return 0;
}
