#include "recording_host.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace support {

int rate_of(int rate_index) {
    return rate_index >= 0 && rate_index <= 2 ? 48000 << rate_index : 0;
}

int block_length_of(int rate_index) {
    return rate_index >= 0 && rate_index <= 2 ? 512 << rate_index : 0;
}

ThreadTag this_thread_tag() {
#ifdef _WIN32
    return GetCurrentThreadId();
#else
    return std::this_thread::get_id();
#endif
}

int dirty_spare_buffers(float* const* buffers, int block_length) {
    int dirty = 0;
    for (int b = RECEIVERS; b < BUFFERS; ++b) {
        for (int j = 0; j < 2 * block_length; ++j) {
            if (buffers[b][j] != 0.0f) {
                ++dirty;
                break;
            }
        }
    }
    return dirty;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

namespace {

void ZALVO_CALL data_trampoline(intptr_t context, float** buffers) {
    reinterpret_cast<RecordingHost*>(context)->on_data(buffers);
}

void ZALVO_CALL error_trampoline(intptr_t context, const char* text) {
    reinterpret_cast<RecordingHost*>(context)->record_error(context, text);
}

// True when every receiver's buffer holds a non-zero sample.
bool all_receivers_carry_signal(float* const* buffers, int block_length) {
    for (int r = 0; r < RECEIVERS; ++r) {
        double energy = 0;
        for (int j = 0; j < 2 * block_length; ++j)
            energy += double(buffers[r][j]) * buffers[r][j];
        if (!(energy > 0))
            return false;
    }
    return true;
}

}  // namespace

RecordingHost::RecordingHost(int rate) : host_thread(this_thread_tag()) {
    set_rate(rate);
}

void RecordingHost::set_rate(int rate) {
    rate_index = rate;
    block_length = block_length_of(rate);
}

ReceiverSettings RecordingHost::settings_record(unsigned char fill) {
    ReceiverSettings s;
    std::memset(&s, fill, sizeof s);
    s.callback_context = reinterpret_cast<intptr_t>(this);
    s.sample_rate_index = rate_index;
    s.data_callback = &data_trampoline;
    s.error_callback = &error_trampoline;
    return s;
}

void RecordingHost::on_data(float** buffers) {
    const ThreadTag me = this_thread_tag();
    if (me == host_thread)
        data_on_host_thread = true;
    ThreadTag first = ThreadTag();
    if (!data_thread.compare_exchange_strong(first, me) && !(first == me))
        data_threads_seen.fetch_add(1);
    if (inspect_blocks) {
        dirty_spare_blocks.fetch_add(dirty_spare_buffers(buffers, block_length));
        if (all_receivers_carry_signal(buffers, block_length))
            blocks_with_signal.fetch_add(1);
    }
    const int index = blocks.load(std::memory_order_relaxed);
    // The lock only for a block to keep: a test that holds it while it measures does not hold
    // up the stream.
    auto in_window = [&] { return index >= skip.load() && index < skip.load() + keep.load(); };
    if (in_window()) {
        std::lock_guard<std::mutex> g(lock);
        if (in_window()) {
            for (int r = 0; r < RECEIVERS; ++r)
                kept[r].insert(kept[r].end(), buffers[r], buffers[r] + 2 * block_length);
        }
    }
    if (on_block)
        on_block(buffers, index);
    blocks.fetch_add(1, std::memory_order_release);
    // A waiter that saw the old count holds wait_lock_ until it waits: taking it here means the
    // notification cannot fall between its check and its wait.
    { std::lock_guard<std::mutex> g(wait_lock_); }
    more_.notify_all();
}

void RecordingHost::on_error(const char* text) {
    record_error(reinterpret_cast<intptr_t>(this), text);
}

void RecordingHost::record_error(intptr_t context, const char* text) {
    const ThreadTag me = this_thread_tag();
    if (!(me == host_thread))
        wrong_thread_errors.fetch_add(1);
    std::lock_guard<std::mutex> g(lock);
    errors.push_back(text ? text : "(null)");
    error_threads.push_back(me);
    error_contexts.push_back(context);
}

std::vector<std::string> RecordingHost::error_list() const {
    std::lock_guard<std::mutex> g(lock);
    return errors;
}

bool RecordingHost::keep_next_blocks(int count, int timeout_ms) {
    size_t wanted;
    {
        std::lock_guard<std::mutex> g(lock);
        for (auto& k : kept)
            k.clear();
        skip = blocks.load(std::memory_order_acquire);
        keep = count;
        wanted = size_t(count) * 2 * size_t(block_length);
    }
    return wait_until(
        [&] {
            std::lock_guard<std::mutex> g(lock);
            return kept[RECEIVERS - 1].size() >= wanted;
        },
        timeout_ms);
}

bool RecordingHost::wait_blocks(int64_t n, int timeout_ms) const {
    std::unique_lock<std::mutex> g(wait_lock_);
    return more_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                          [&] { return blocks.load(std::memory_order_acquire) >= n; });
}

}  // namespace support
