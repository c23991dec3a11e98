// The stream worker's thread: start with retries, passes, the pauses after failed reads, the
// clipping lines, and the stop.
#include "worker.h"

#include "edge.h"

#include <cinttypes>

namespace {

// How long the worker waits after a read that delivered nothing, so that a board that has
// gone away does not turn the worker into a busy loop. The wait doubles with every further
// failed read up to the longest one; this also bounds the error lines that the failed reads
// print. A failed read is one failure of the stream however many transfers it ended (the ring
// re-synchronises itself within that read), so a pause of the board costs one short wait.
constexpr unsigned FAILED_READ_PAUSE_MS = 10;
constexpr unsigned FAILED_READ_PAUSE_MAX_MS = 250;
// How long a stop lets a pass under way finish by itself before ending a read that waits for data.
constexpr int STOP_READ_GRACE_MS = 10;

// While the receive path refuses to start, the worker tries again after a pause that doubles
// from the first to the longest.
constexpr unsigned START_RETRY_PAUSE_MS = 10;
constexpr unsigned START_RETRY_PAUSE_MAX_MS = 640;

// Every pause of the worker looks at the stop flag this often, so a stop never waits for one to
// end.
constexpr unsigned STOP_POLL_MS = 5;

// Clipping is told at most once per second of stream (values per receiver: I and Q).
constexpr uint64_t CLIPPING_INTERVAL_VALUES = 2 * uint64_t(INPUT_RATE);

StreamEvents& traced_events() {
    static StreamEvents events;
    return events;
}

}  // namespace

void StreamEvents::overrun() {
    os::debug_trace("O");
}

// One line for the values at the converter's rails since the last line.
void StreamEvents::clipping(const RailCounts& c) {
    os::diag_printf("StreamWorker: clipping: rx0 %" PRIu64 " rx1 %" PRIu64 " rx2 %" PRIu64
                    " rx3 %" PRIu64 " of %" PRIu64 " samples\n",
                    c.at_rails[0], c.at_rails[1], c.at_rails[2], c.at_rails[3], c.values);
}

StreamWorker::StreamWorker(StreamSource& source, SamplePipeline& pipeline, BlockSink& sink,
                           StreamEvents* events)
    : source_(source), pipeline_(pipeline), sink_(sink),
      events_(events ? *events : traced_events()) {}

bool StreamWorker::start() {
    stop_requested_.store(0, std::memory_order_release);
    thread_ = os::thread_start(thread_main, this, &thread_id_);
    return thread_ != nullptr;
}

void StreamWorker::stop() {
    if (!thread_)
        return;
    stop_requested_.store(1, std::memory_order_release);
    if (!os::thread_wait(thread_, STOP_READ_GRACE_MS)) {
        source_.abort_read();
        os::thread_wait(thread_, -1);
    }
    os::thread_release(thread_);
    thread_ = nullptr;
}

void StreamWorker::begin() {
    pipeline_.begin();
    pipeline_.take_rail_counts();
    failed_reads_ = 0;
}

void StreamWorker::pass() {
    bool overrun = false;
    int got = source_.read(pipeline_.raw_block(), pipeline_.block_bytes(), &overrun);
    if (overrun)
        events_.overrun();
    if (got <= 0) {
        unsigned pause = FAILED_READ_PAUSE_MS << (failed_reads_ < 5 ? failed_reads_ : 5);
        if (pause > FAILED_READ_PAUSE_MAX_MS)
            pause = FAILED_READ_PAUSE_MAX_MS;
        if (failed_reads_ < INT32_MAX)
            ++failed_reads_;
        if (pause_unless_stopped(pause) && source_.recover(stop_requested_)) {
            // A fresh board: its first block starts a new stream through the pipeline.
            report_clipping();
            begin();
            start_stream();
        }
        return;
    }
    failed_reads_ = 0;
    // A short read carries whole frames only; a partial frame at its end is dropped.
    pipeline_.process(pipeline_.raw_block(), got / (2 * STREAM_COUNT), sink_);
    if (pipeline_.rail_values() >= CLIPPING_INTERVAL_VALUES)
        report_clipping();
}

void StreamWorker::finish() {
    report_clipping();
}

// The values at the converter's rails since the last report, when there are any.
void StreamWorker::report_clipping() {
    const RailCounts c = pipeline_.take_rail_counts();
    if (c.any())
        events_.clipping(c);
}

bool StreamWorker::pause_unless_stopped(unsigned ms) {
    for (unsigned slept = 0; slept < ms; slept += STOP_POLL_MS) {
        if (stop_requested())
            return false;
        os::sleep_ms(ms - slept < STOP_POLL_MS ? ms - slept : STOP_POLL_MS);
    }
    return !stop_requested();
}

// Starts the stream, trying again after each failure for as long as the worker runs. True once
// it streams, false when a stop came first.
bool StreamWorker::start_stream() {
    unsigned pause = START_RETRY_PAUSE_MS;
    int failures = 0;
    while (!source_.start_streaming()) {
        if (failures++ == 0)
            os::diag_printf("StreamWorker: the receive path did not start; trying again\n");
        if (!pause_unless_stopped(pause))
            return false;
        pause = pause * 2 > START_RETRY_PAUSE_MAX_MS ? START_RETRY_PAUSE_MAX_MS : pause * 2;
    }
    if (failures > 0)
        os::diag_printf("StreamWorker: the receive path started after %d failed attempts\n",
                        failures);
    return true;
}

void StreamWorker::run() {
    events_.worker_started();
    os::sleep_ms(100);
    begin();
    if (start_stream()) {
        while (!stop_requested())
            pass();
        finish();
    }
    source_.stop_streaming();
}

// An exception ends the stream: the stream is stopped and one line goes to the diagnostics.
uint32_t StreamWorker::thread_main(void* worker) noexcept {
    StreamWorker& w = *static_cast<StreamWorker*>(worker);
    at_edge([&] { w.run(); },
            [&](bool, const char* what) {
                os::diag_printf("StreamWorker: the stream ends on an exception: %s\n", what);
                at_edge([&] { w.source_.stop_streaming(); });
            });
    return 0;
}
