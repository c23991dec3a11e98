// The stream worker: the one thread that reads the source, runs the pipeline and hands full
// blocks to the sink, until it is asked to stop.
#pragma once

#include "os.h"
#include "pipeline.h"

#include <atomic>
#include <cstdint>

// Where the worker gets its samples: the board's receive path in the module, synthetic blocks
// in tests.
class StreamSource {
  public:
    virtual ~StreamSource() = default;
    // Starts the stream; false when it did not start (the worker then tries again).
    virtual bool start_streaming() = 0;
    virtual void stop_streaming() = 0;
    // Fills buffer with up to length bytes; bytes delivered, or negative on failure.
    virtual int read(void* buffer, int length, bool* overrun) = 0;
    // Called from another thread: a read waiting for data returns at once.
    virtual void abort_read() {}
    // After a read that delivered nothing (and the worker's pause after it): a source that can
    // replace a board that has gone away does so here, returning true once a fresh one streams.
    // `stop` is the worker's stop flag: the source returns false soon after it is set.
    virtual bool recover(const std::atomic<uint8_t>& stop) {
        (void)stop;
        return false;
    }
};

// What the worker tells of the stream besides its blocks, on the worker's thread. By default the
// module's own way: the debug trace "O" for an overrun, a diagnostic line for clipping.
class StreamEvents {
  public:
    virtual ~StreamEvents() = default;
    // First thing on the worker's thread.
    virtual void worker_started() {}
    // A read found the board's overrun flag set.
    virtual void overrun();
    // Values at the converter's rails since the last report: at most once per second of stream,
    // and once more at its end ("StreamWorker: clipping: rx0 N0 rx1 N1 rx2 N2 rx3 N3 of M
    // samples").
    virtual void clipping(const RailCounts& counts);
};

class StreamWorker {
  public:
    // The pipeline must be set up before start() or begin(). Without events, the module's own.
    StreamWorker(StreamSource& source, SamplePipeline& pipeline, BlockSink& sink,
                 StreamEvents* events = nullptr);
    ~StreamWorker() { stop(); }
    StreamWorker(const StreamWorker&) = delete;
    StreamWorker& operator=(const StreamWorker&) = delete;

    // Starts the thread. False when no thread could be made.
    bool start();
    // Asks the thread to end and returns once it has: a pass under way finishes first (callback
    // included), and one whose read still waits for data after a short grace has that read
    // ended. Nothing when no thread runs.
    void stop();
    bool running() const { return thread_ != nullptr; }
    bool stop_requested() const { return stop_requested_.load(std::memory_order_acquire) != 0; }
    os::thread* thread_handle() const { return thread_; }

    // The thread's steps, for driving the pipeline without it: begin() before the first pass;
    // pass() reads one block (an overrun is an event; a read that delivers nothing is followed by
    // a pause that grows with each one in a row, then by the source's recovery, after which the
    // pipeline begins afresh) and runs the pipeline over it; finish() reports the clipping not yet
    // reported.
    void begin();
    void pass();
    void finish();

  private:
    static uint32_t thread_main(void* worker) noexcept;
    void run();
    bool start_stream();
    bool pause_unless_stopped(unsigned ms);
    void report_clipping();

    StreamSource& source_;
    SamplePipeline& pipeline_;
    BlockSink& sink_;
    StreamEvents& events_;
    os::thread* thread_ = nullptr;
    uint32_t thread_id_ = 0;
    std::atomic<uint8_t> stop_requested_{0};
    int32_t failed_reads_ = 0;  // reads in a row that delivered nothing
};
