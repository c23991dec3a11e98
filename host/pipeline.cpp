// The sample pipeline: setup, release, and the stream worker's passes.
#include "session.h"

#include "dsp.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>

const char* const TEXT_NO_DEVICE = "Can't create instance of USRP Rx device";
const char* const TEXT_UNKNOWN_RATE = "Unknown sample rate";
const char* const TEXT_LOW_MEMORY = "Low memory";
const char* const TEXT_RESAMPLERS = "Can't initialize resamplers";
const char* const TEXT_NO_THREAD = "Can't start worker thread";

namespace {

const int32_t OUTPUT_RATES[] = {48000, 96000, 192000};

// How long the worker waits after a read that delivered nothing, so that a board that has
// gone away does not turn the worker into a busy loop. The wait doubles with every further
// failed read up to the longest one; this also bounds the error lines that the failed reads
// print. A failed read is one failure of the stream however many transfers it ended (the ring
// re-synchronises itself within that read), so a pause of the board costs one short wait. The
// wait is cut short when a stop is asked for, so it never holds up StopRx.
constexpr unsigned FAILED_READ_PAUSE_MS = 10;
constexpr unsigned FAILED_READ_PAUSE_MAX_MS = 250;
constexpr unsigned STOP_LOOK_MS = 5;  // how often the wait looks at the stop flag
// How long StopRx lets a pass under way finish by itself before ending a read that waits for data.
constexpr int STOP_READ_GRACE_MS = 10;

// While the receive path refuses to start, the worker tries again after a pause that doubles
// from the first to the longest. It looks at the stop flag every STOP_POLL_MS meanwhile, so a
// stop never waits for a pause to end.
constexpr unsigned START_RETRY_PAUSE_MS = 10;
constexpr unsigned START_RETRY_PAUSE_MAX_MS = 640;
constexpr unsigned STOP_POLL_MS = 10;

template <typename T> T** alloc_pointer_array(int count) {
    return reinterpret_cast<T**>(ippsMalloc_8u(count * static_cast<int>(sizeof(T*))));
}

}  // namespace

void report_error(const ReceiveSession& s, const char* text) {
    if (s.settings.error_callback)
        s.settings.error_callback(s.settings.callback_context, text);
}

bool caught_allocation_failure(const char** what) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        *what = e.what();
        return true;
    } catch (const std::exception& e) {
        *what = e.what();
    } catch (...) {
        *what = "an exception of unknown type";
    }
    return false;
}

bool setup_pipeline(ReceiveSession& s) {
    release_pipeline(s);

    int32_t index = s.settings.sample_rate_index;
    if (index < 0 || index > 2) {
        report_error(s, TEXT_UNKNOWN_RATE);
        return false;
    }
    s.output_rate = OUTPUT_RATES[index];
    s.block_length = static_cast<int32_t>(s.output_rate / 93.75);

    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i) {
        s.output_buffers[i] = reinterpret_cast<float*>(ippsMalloc_8u(s.block_length * 8));
        if (!s.output_buffers[i]) {
            report_error(s, TEXT_LOW_MEMORY);
            return false;
        }
        std::memset(s.output_buffers[i], 0, static_cast<size_t>(s.block_length) * 8);
    }
    s.output_count = 0;

    s.input_length = (s.block_bytes / RECEIVER_COUNT) / 4;
    s.output_capacity = static_cast<int32_t>(
        ((double(s.input_length) * s.output_rate / INPUT_RATE) / 256.0 + 2.0) * 256.0);

    // This one failure has no text of its own; the host hears "Low memory" as for the others.
    s.raw_block = ippsMalloc_8u(s.block_bytes);
    if (!s.raw_block) {
        report_error(s, TEXT_LOW_MEMORY);
        return false;
    }

    s.input_streams = alloc_pointer_array<float>(STREAM_COUNT);
    s.output_streams = alloc_pointer_array<float>(STREAM_COUNT);
    // Entries are cleared in whichever array exists before the check, so that releasing after
    // a failure of the other one frees no stray pointer.
    for (float** streams : {s.input_streams, s.output_streams})
        if (streams)
            for (int k = 0; k < STREAM_COUNT; ++k)
                streams[k] = nullptr;
    if (!s.input_streams || !s.output_streams) {
        report_error(s, TEXT_LOW_MEMORY);
        return false;
    }
    for (int k = 0; k < STREAM_COUNT; ++k) {
        s.input_streams[k] = ippsMalloc_32f(s.input_length);
        if (!s.input_streams[k]) {
            report_error(s, TEXT_LOW_MEMORY);
            return false;
        }
        s.output_streams[k] = ippsMalloc_32f(s.output_capacity);
        if (!s.output_streams[k]) {
            report_error(s, TEXT_LOW_MEMORY);
            return false;
        }
    }

    s.resamplers = alloc_pointer_array<CResample>(STREAM_COUNT);
    if (!s.resamplers) {
        report_error(s, TEXT_LOW_MEMORY);
        return false;
    }
    for (int k = 0; k < STREAM_COUNT; ++k)
        s.resamplers[k] = nullptr;
    for (int k = 0; k < STREAM_COUNT; ++k) {
        s.resamplers[k] = dsp::allocation_fails() ? nullptr : new (std::nothrow) CResample;
        if (!s.resamplers[k]) {
            report_error(s, TEXT_LOW_MEMORY);
            return false;
        }
        if (!s.resamplers[k]->Init(static_cast<uint32_t>(INPUT_RATE),
                                   static_cast<uint32_t>(s.output_rate))) {
            report_error(s, TEXT_RESAMPLERS);
            return false;
        }
    }
    return true;
}

void release_pipeline(ReceiveSession& s) {
    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i) {
        ippsFree(s.output_buffers[i]);
        s.output_buffers[i] = nullptr;
    }
    ippsFree(s.raw_block);
    s.raw_block = nullptr;
    for (float*** streams : {&s.input_streams, &s.output_streams}) {
        if (*streams) {
            for (int k = 0; k < STREAM_COUNT; ++k)
                ippsFree((*streams)[k]);
            ippsFree(*streams);
            *streams = nullptr;
        }
    }
    if (s.resamplers) {
        for (int k = 0; k < STREAM_COUNT; ++k)
            delete s.resamplers[k];
        ippsFree(s.resamplers);
        s.resamplers = nullptr;
    }
}

int32_t startup_outputs(const ReceiveSession& s) {
    if (!s.resamplers || !s.resamplers[0] || s.resamplers[0]->history < 2)
        return 0;
    // The resampler starts with history - 1 zeros of look-back and its filter reaches
    // history - 2 samples back: output m, at m * in / out input samples into the stream, sees
    // only the stream once m * in / out >= history - 2.
    const CResample& r = *s.resamplers[0];
    const uint64_t reach = r.history - 2;
    return static_cast<int32_t>((reach * r.out_rate + r.in_rate - 1) / r.in_rate);
}

void worker_begin(ReceiveSession& s, WorkerState& w) {
    s.output_count = 0;
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        w.write_pos[i] = s.output_buffers[i];
    for (int k = 0; k < STREAM_COUNT; ++k)
        w.read_pos[k] = nullptr;
    w.produced = 0;
    w.startup_left = startup_outputs(s);
    w.overrun = false;
    w.failed_reads = 0;
}

void process_block(ReceiveSession& s, WorkerState& w, int32_t frames) {
    if (frames <= 0)
        return;
    // The streams are de-interleaved straight into the resamplers' buffers, beside their
    // look-back; through the separate arrays only when a read is too long for that.
    const uint32_t length = static_cast<uint32_t>(frames);
    float* in_place[STREAM_COUNT];
    bool direct = true;
    for (int k = 0; k < STREAM_COUNT; ++k) {
        in_place[k] = s.resamplers[k]->InputSpace(length);
        direct = direct && in_place[k];
    }
    const Ipp16s* raw = reinterpret_cast<const Ipp16s*>(s.raw_block);
    ippsSplitScaled_16s32f_D2L(raw, direct ? in_place : s.input_streams, STREAM_COUNT, frames);
    for (int k = 0; k < STREAM_COUNT; ++k) {
        if (direct)
            s.resamplers[k]->Filter(length, s.output_streams[k], &w.produced);
        else
            s.resamplers[k]->Process(s.input_streams[k], length, s.output_streams[k], &w.produced);
        w.read_pos[k] = s.output_streams[k];
    }
    // The first outputs of the stream carry the filter's response to the stream switching on
    // (strong carriers outside the output band ring through it): they are not delivered.
    if (w.startup_left > 0) {
        const int32_t drop = w.startup_left < w.produced ? w.startup_left : w.produced;
        for (int k = 0; k < STREAM_COUNT; ++k)
            w.read_pos[k] += drop;
        w.produced -= drop;
        w.startup_left -= drop;
    }

    const float gain = OUTPUT_GAIN;
    while (w.produced > 0) {
        // Samples up to the end of the block under construction, or all that are left.
        int32_t run = s.block_length - s.output_count;
        if (run > w.produced)
            run = w.produced;
        for (int i = 0; i < RECEIVER_COUNT; ++i) {
            float* dst = w.write_pos[i];
            const float* src_i = w.read_pos[2 * i];
            const float* src_q = w.read_pos[2 * i + 1];
            dsp::interleave_scaled(src_i, src_q, dst, run, gain);
            w.write_pos[i] = dst + 2 * run;
            w.read_pos[2 * i] = src_i + run;
            w.read_pos[2 * i + 1] = src_q + run;
        }
        w.produced -= run;
        s.output_count += run;
        if (s.output_count >= s.block_length) {
            if (s.settings.data_callback)
                s.settings.data_callback(s.settings.callback_context, s.output_buffers);
            s.output_count = 0;
            for (int i = 0; i < RECEIVER_COUNT; ++i)
                w.write_pos[i] = s.output_buffers[i];
        }
    }
}

void stream_pass(ReceiveSession& s, WorkerState& w) {
    w.overrun = false;
    int got = s.source->read(s.raw_block, s.block_bytes, &w.overrun);
    if (w.overrun)
        os::debug_trace("O");
    if (got <= 0) {
        unsigned pause = FAILED_READ_PAUSE_MS << (w.failed_reads < 5 ? w.failed_reads : 5);
        if (pause > FAILED_READ_PAUSE_MAX_MS)
            pause = FAILED_READ_PAUSE_MAX_MS;
        if (w.failed_reads < INT32_MAX)
            ++w.failed_reads;
        for (unsigned slept = 0; slept < pause; slept += STOP_LOOK_MS) {
            if (s.stop_requested.load(std::memory_order_acquire) != 0)
                break;
            os::sleep_ms(STOP_LOOK_MS);
        }
        return;
    }
    w.failed_reads = 0;
    // A short read carries whole frames only; a partial frame at its end is dropped.
    process_block(s, w, got / (2 * STREAM_COUNT));
}

namespace {

bool stop_asked(const ReceiveSession& s) {
    return s.stop_requested.load(std::memory_order_acquire) != 0;
}

// Sleeps about ms milliseconds; false (at once) when a stop is asked for meanwhile.
bool pause_unless_stopped(const ReceiveSession& s, unsigned ms) {
    for (unsigned slept = 0; slept < ms; slept += STOP_POLL_MS) {
        if (stop_asked(s))
            return false;
        os::sleep_ms(ms - slept < STOP_POLL_MS ? ms - slept : STOP_POLL_MS);
    }
    return !stop_asked(s);
}

// Starts the stream, trying again after each failure for as long as the session runs. True once
// it streams, false when a stop came first.
bool start_stream(ReceiveSession& s) {
    unsigned pause = START_RETRY_PAUSE_MS;
    int failures = 0;
    while (!s.source->start_streaming()) {
        if (failures++ == 0)
            os::diag_printf("StreamWorker: the receive path did not start; trying again\n");
        if (!pause_unless_stopped(s, pause))
            return false;
        pause = pause * 2 > START_RETRY_PAUSE_MAX_MS ? START_RETRY_PAUSE_MAX_MS : pause * 2;
    }
    if (failures > 0)
        os::diag_printf("StreamWorker: the receive path started after %d failed attempts\n",
                        failures);
    return true;
}

void run_stream(ReceiveSession& s) {
    WorkerState w;
    os::sleep_ms(100);
    worker_begin(s, w);
    if (start_stream(s)) {
        while (!stop_asked(s))
            stream_pass(s, w);
    }
    s.source->stop_streaming();
}

}  // namespace

uint32_t StreamWorker(void* arg) noexcept {
    ReceiveSession& s = *static_cast<ReceiveSession*>(arg);
    at_edge([&] { run_stream(s); },
            [&](bool, const char* what) {
                os::diag_printf("StreamWorker: the stream ends on an exception: %s\n", what);
                at_edge([&] { s.source->stop_streaming(); });
            });
    return 0;
}

bool start_worker(ReceiveSession& s) {
    s.stop_requested.store(0, std::memory_order_release);
    s.thread_handle = os::thread_start(StreamWorker, &s, &s.thread_id);
    return s.thread_handle != nullptr;
}

void stop_worker(ReceiveSession& s) {
    if (!s.thread_handle)
        return;
    s.stop_requested.store(1, std::memory_order_release);
    // A pass under way finishes first. One whose read still waits for a block (the board has
    // stopped sending) has that read ended, rather than waiting out its time-out.
    if (!os::thread_wait(s.thread_handle, STOP_READ_GRACE_MS)) {
        s.source->abort_read();
        os::thread_wait(s.thread_handle, -1);
    }
    os::thread_release(s.thread_handle);
    s.thread_handle = nullptr;
}
