#include "exchange.h"

#include "options.h"

#include <cstring>
#include <utility>

namespace capture {

namespace {

constexpr size_t QUEUE_LIMIT = 4096;  // blocks held for the writer at most

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void ZALVO_CALL Exchange::on_data(intptr_t context, float** buffers) {
    Exchange* x = reinterpret_cast<Exchange*>(context);
    const size_t per_rx = 2 * static_cast<size_t>(x->block_length);
    const int64_t now = steady_ns();
    x->last_block_ns.store(now);
    std::vector<float> block;
    {
        std::lock_guard<std::mutex> g(x->lock);
        if (x->first_block_ns.load() == 0) {
            x->first_block_ns.store(now);
            x->first_block_utc = std::chrono::system_clock::now();
        }
        // On the run's clock: the first block's time and the steady time since, so that the
        // dates of a recording's segments agree with its samples however the system time moves.
        if (x->losses.awaiting_resume())
            x->losses.stream_resumed(
                x->first_block_utc - x->block_span() +
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::nanoseconds(now - x->first_block_ns.load())));
        if (x->full.size() >= QUEUE_LIMIT) {
            LossEvent e;
            e.source = LossSource::tool_behind;
            e.at_s = x->signal_seconds();
            e.sample_start = x->file_position();
            e.samples = x->block_length;
            x->losses.add(e);
            x->dropped.fetch_add(1);
            x->blocks.fetch_add(1);
            return;
        }
        if (!x->spare.empty()) {
            block.swap(x->spare.back());
            x->spare.pop_back();
        }
    }
    block.resize(RECEIVERS * per_rx);
    for (int i = 0; i < RECEIVERS; ++i)
        std::memcpy(block.data() + i * per_rx, buffers[i], per_rx * sizeof(float));
    {
        std::lock_guard<std::mutex> g(x->lock);
        x->full.push_back(std::move(block));
    }
    x->blocks.fetch_add(1);
    x->ready.notify_one();
}

void ZALVO_CALL Exchange::on_error(intptr_t context, const char* text) {
    Exchange* x = reinterpret_cast<Exchange*>(context);
    std::lock_guard<std::mutex> g(x->lock);
    x->errors.push_back(text ? text : "");
}

}  // namespace capture
