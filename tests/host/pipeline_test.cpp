// The sample pipeline and the stream worker, driven with synthetic raw blocks: geometry of the
// buffers, every allocation failure, what the data callback receives pass after pass, and how
// the worker thread starts and ends.
#include "edge.h"
#include "pipeline.h"
#include "synthetic_source.h"
#include "worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the sink is handed, block by block.
struct Recorder : BlockSink {
    void deliver(float** buffers) override {
        if (keep) {
            std::vector<std::vector<float>> copy;
            for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i)
                copy.emplace_back(buffers[i], buffers[i] + 2 * block_length);
            blocks.push_back(std::move(copy));
        }
        callbacks.fetch_add(1);
    }
    // blocks[b][i]: buffer i of block b, copied when keep is set.
    std::vector<std::vector<std::vector<float>>> blocks;
    bool keep = true;
    int block_length = 0;
    std::atomic<int> callbacks{0};
};

class Pipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        base = dsp::live_allocations();
        p.reset(new SamplePipeline());
        worker.reset(new StreamWorker(source, *p, rec));
    }
    void TearDown() override {
        worker.reset();
        p->release();
        dsp::fail_allocation_at(-1);
        EXPECT_EQ(dsp::live_allocations(), base) << "everything allocated was freed";
    }
    void setup(int index) {
        ASSERT_EQ(p->setup(index, 65536), PipelineStatus::ready);
        rec.block_length = p->block_length();
    }

    // What the pipeline should deliver for the frames the source has produced: each stream
    // through its own resampler, without the outputs whose filter span reaches before the first
    // frame; times 2^31, cut into blocks.
    std::vector<std::vector<float>> expected_streams() {
        std::vector<std::vector<float>> out(STREAM_COUNT);
        for (int k = 0; k < STREAM_COUNT; ++k) {
            std::vector<float> in(source.next_frame);
            for (uint64_t f = 0; f < source.next_frame; ++f)
                in[f] = SyntheticSource::sample(f, k) / 32768.0f;
            CResample r;
            EXPECT_TRUE(r.Init(INPUT_RATE, p->output_rate()));
            out[k].resize(in.size() * p->output_rate() / INPUT_RATE + 8);
            int32_t produced = 0;
            EXPECT_TRUE(
                r.Process(in.data(), static_cast<uint32_t>(in.size()), out[k].data(), &produced));
            out[k].resize(produced);
            const size_t startup = std::min(out[k].size(), size_t(p->startup_outputs()));
            out[k].erase(out[k].begin(), out[k].begin() + long(startup));
        }
        return out;
    }

    // Every delivered block against the reference, sample by sample.
    void check_blocks() {
        auto ref = expected_streams();
        size_t total = ref[0].size();
        size_t bl = static_cast<size_t>(p->block_length());
        ASSERT_EQ(rec.blocks.size(), total / bl) << "one callback per full block";
        for (size_t b = 0; b < rec.blocks.size(); ++b) {
            for (int i = 0; i < RECEIVER_COUNT; ++i) {
                const std::vector<float>& got = rec.blocks[b][i];
                for (size_t m = 0; m < bl; ++m) {
                    ASSERT_EQ(got[2 * m], ref[2 * i][b * bl + m] * OUTPUT_GAIN)
                        << "block " << b << " receiver " << i << " sample " << m << " (I)";
                    ASSERT_EQ(got[2 * m + 1], ref[2 * i + 1][b * bl + m] * OUTPUT_GAIN)
                        << "block " << b << " receiver " << i << " sample " << m << " (Q)";
                }
            }
            for (int i = RECEIVER_COUNT; i < OUTPUT_BUFFER_COUNT; ++i)
                for (float v : rec.blocks[b][i])
                    ASSERT_EQ(v, 0.0f) << "buffer " << i << " of block " << b;
        }
        EXPECT_EQ(size_t(p->output_count()), total % bl) << "samples of the unfinished block";
    }

    long base = 0;
    Recorder rec;
    SyntheticSource source;
    std::unique_ptr<SamplePipeline> p;
    std::unique_ptr<StreamWorker> worker;
};

}  // namespace

// ---- setup and release --------------------------------------------------------------------

TEST_F(Pipeline, GeometryAtEveryRate) {
    const int32_t lengths[] = {512, 1024, 2048};
    const int32_t capacities[] = {905, 1298, 2084};
    const int32_t rates[] = {48000, 96000, 192000};
    for (int index = 0; index < 3; ++index) {
        setup(index);
        EXPECT_EQ(p->output_rate(), rates[index]);
        EXPECT_EQ(p->block_length(), lengths[index]);
        EXPECT_EQ(p->input_length(), 4096);
        EXPECT_EQ(p->output_capacity(), capacities[index]);
        EXPECT_EQ(p->output_count(), 0);
        for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i) {
            ASSERT_NE(p->output_buffer(i), nullptr);
            EXPECT_EQ(dsp::allocated_bytes(p->output_buffer(i)), size_t(lengths[index]) * 8);
            for (int j = 0; j < 2 * lengths[index]; ++j)
                ASSERT_EQ(p->output_buffer(i)[j], 0.0f);
        }
        EXPECT_EQ(dsp::allocated_bytes(p->raw_block()), 65536u);
        for (int k = 0; k < STREAM_COUNT; ++k) {
            EXPECT_EQ(dsp::allocated_bytes(p->input_stream(k)), 4096u * 4);
            EXPECT_EQ(dsp::allocated_bytes(p->output_stream(k)), size_t(capacities[index]) * 4);
            ASSERT_NE(p->resampler(k), nullptr);
            EXPECT_EQ(p->resampler(k)->in_rate, 500000u);
            EXPECT_EQ(p->resampler(k)->out_rate, uint32_t(rates[index]));
        }
        // 8 blocks, the raw block, 2 arrays of 8 streams, the resampler array, and a buffer
        // and filter per resampler.
        EXPECT_EQ(dsp::live_allocations() - base, 8 + 1 + 2 + 16 + 1 + 16);
    }
    p->release();
    p->release();
    EXPECT_EQ(dsp::live_allocations(), base);
    for (int i = 0; i < OUTPUT_BUFFER_COUNT; ++i)
        EXPECT_EQ(p->output_buffer(i), nullptr);
    EXPECT_EQ(p->raw_block(), nullptr);
    EXPECT_FALSE(p->has_stream_arrays());
    EXPECT_FALSE(p->has_resampler_array());
}

TEST_F(Pipeline, UnknownRateAllocatesNothing) {
    for (int index : {3, -1, 1000}) {
        EXPECT_EQ(p->setup(index, 65536), PipelineStatus::unknown_rate);
        EXPECT_EQ(dsp::live_allocations(), base);
    }
}

// Allocation attempts in order: 8 output blocks, the raw block, the two stream arrays, input
// and output buffer of each stream, the resampler array; then per resampler the object, its
// work buffer and its filter (state and table).
TEST_F(Pipeline, FailureAtEveryAllocationIsReportedAndReleased) {
    const int before_resamplers = 8 + 1 + 2 + 16 + 1;
    int k = 0;
    for (;; ++k) {
        PipelineStatus status;
        {
            // What a failed setup left is freed by release(), or by the pipeline's end.
            SamplePipeline local;
            SamplePipeline& q = k % 2 ? *p : local;
            dsp::fail_allocation_at(k);
            status = q.setup(1, 65536);
            dsp::fail_allocation_at(-1);
            if (status == PipelineStatus::ready)
                break;
            if (&q == p.get())
                p->release();
        }
        bool object_or_before = k < before_resamplers || (k - before_resamplers) % 4 == 0;
        EXPECT_EQ(status,
                  object_or_before ? PipelineStatus::low_memory : PipelineStatus::resamplers_failed)
            << "attempt " << k;
        ASSERT_EQ(dsp::live_allocations(), base) << "attempt " << k;
    }
    EXPECT_EQ(k, before_resamplers + 8 * 4) << "every attempt was exercised";
}

// ---- passes -------------------------------------------------------------------------------

TEST_F(Pipeline, PassesDeliverEveryResampledSampleInOrder) {
    for (int index = 0; index < 3; ++index) {
        rec.blocks.clear();
        source.next_frame = 0;
        setup(index);
        worker->begin();
        for (int pass = 0; pass < 13; ++pass)
            worker->pass();
        SCOPED_TRACE(index);
        // 13 passes of 4096 samples: 5 or 6 blocks, the later ones completed mid-pass.
        EXPECT_GE(rec.blocks.size(), 9u);
        check_blocks();
        for (int i = 0; i < RECEIVER_COUNT; ++i)
            EXPECT_EQ(p->write_position(i), p->output_buffer(i) + 2 * p->output_count());
    }
}

TEST_F(Pipeline, PositionsWrapAtEveryBlock) {
    rec.keep = false;
    setup(0);
    worker->begin();
    for (int pass = 0; pass < 40; ++pass)
        worker->pass();
    auto ref = expected_streams();
    int64_t total = static_cast<int64_t>(ref[0].size());
    EXPECT_GT(total, 3 * 512);
    EXPECT_EQ(p->output_count(), total % 512);
    for (int i = 0; i < RECEIVER_COUNT; ++i)
        EXPECT_EQ(p->write_position(i), p->output_buffer(i) + 2 * p->output_count());
    EXPECT_EQ(rec.callbacks.load(), total / 512);
}

TEST_F(Pipeline, ShortFailedAndOverrunReads) {
    setup(2);
    source.set(1, {1000, false, 0});  // 62 whole frames and 8 stray bytes
    source.set(2, {-1, false, 0});    // nothing
    source.set(3, {0, false, 0});     // nothing
    source.set(4, {65536, true, 0});  // overrun: processed as usual
    source.set(6, {16, false, 0});    // one frame
    worker->begin();
    testing::internal::CaptureStderr();
    for (int pass = 0; pass < 9; ++pass)
        worker->pass();
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(trace, "O");
    EXPECT_EQ(source.next_frame, 5u * 4096 + 62 + 1) << "reads 0, 4, 5, 7, 8 full";
    check_blocks();
}

// Values at the converter's rails are told in one line per second of stream at most (in values
// per receiver, I and Q counted alike), and what is left when the stream ends in a last one.
TEST_F(Pipeline, ClippingIsToldOncePerSecondOfStreamAndAtTheEnd) {
    // Per 4096-frame read: receiver 0's I at 32767 in every 4th frame and its Q at -32768 in
    // every 8th, receiver 1's Q at -32767 in every 16th; receiver 2 next to the rails only.
    struct RailSource : StreamSource {
        bool start_streaming() override { return true; }
        void stop_streaming() override {}
        int read(void* buffer, int length, bool* overrun) override {
            *overrun = false;
            auto* out = static_cast<int16_t*>(buffer);
            for (int f = 0; f < length / 16; ++f) {
                int16_t* frame = out + 8 * f;
                for (int k = 0; k < 8; ++k)
                    frame[k] = static_cast<int16_t>(100 * k - 300);
                if (f % 4 == 0)
                    frame[0] = 32767;
                if (f % 8 == 0)
                    frame[1] = -32768;
                if (f % 16 == 0)
                    frame[3] = -32767;
                frame[4] = 32766;
                frame[5] = -32766;
            }
            return length;
        }
    } rails;
    rec.keep = false;
    setup(0);
    StreamWorker w(rails, *p, rec);
    w.begin();
    testing::internal::CaptureStderr();
    for (int pass = 0; pass < 122; ++pass)  // 999 424 values per receiver: under a second
        w.pass();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    w.pass();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StreamWorker: clipping: rx0 188928 rx1 31488 rx2 0 rx3 0 of 1007616 samples\n");
    testing::internal::CaptureStderr();
    w.pass();
    w.pass();
    w.finish();
    w.finish();  // nothing left to tell
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StreamWorker: clipping: rx0 3072 rx1 512 rx2 0 rx3 0 of 16384 samples\n");
}

// ---- the worker thread --------------------------------------------------------------------

TEST_F(Pipeline, WorkerStreamsUntilStopped) {
    setup(0);
    ASSERT_TRUE(worker->start());
    ASSERT_TRUE(source.wait_reads(20, 10000));
    worker->stop();
    EXPECT_FALSE(worker->running());
    EXPECT_TRUE(source.started);
    EXPECT_TRUE(source.stopped);
    EXPECT_EQ(source.reads_at_stop.load(), source.reads.load()) << "no read after the stop";
    EXPECT_TRUE(worker->stop_requested());
    check_blocks();
    worker->stop();  // nothing left to stop
}

// The worker sits in a read that takes far longer than the 100 ms wait: stop() must not
// return (and let the pipeline be freed) before the pass under way, callback included, ends.
TEST_F(Pipeline, StopWaitsForAPassHeldInASlowRead) {
    setup(2);
    source.set(2, {65536, false, 600});
    ASSERT_TRUE(worker->start());
    ASSERT_TRUE(source.wait_in_slow_read(10000));
    worker->stop();
    EXPECT_TRUE(source.stopped) << "the worker had ended when stop() returned";
    EXPECT_EQ(source.reads.load(), 3);
    EXPECT_EQ(source.next_frame, 3u * 4096);
    // Three passes at 192 kHz make 4718 samples: the second block was completed by the slow
    // pass and delivered before the worker ended.
    EXPECT_EQ(rec.callbacks.load(), 2);
    check_blocks();
}

TEST_F(Pipeline, StopDuringTheFirstSleepReadsNothing) {
    setup(1);
    ASSERT_TRUE(worker->start());
    worker->stop();
    EXPECT_TRUE(source.started);
    EXPECT_TRUE(source.stopped);
    EXPECT_EQ(source.reads.load(), 0);
    EXPECT_EQ(rec.callbacks.load(), 0);
}

// The stream does not start at first: the worker tries again after growing pauses and streams
// from the first start that works, from the first frame on; two lines tell of it.
TEST_F(Pipeline, WorkerRetriesAStartThatFailsAndStreamsOnceItWorks) {
    setup(0);
    source.start_failures = 5;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(worker->start());
    ASSERT_TRUE(source.wait_reads(10, 10000));
    worker->stop();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(source.start_calls.load(), 6);
    EXPECT_EQ(err, "StreamWorker: the receive path did not start; trying again\n"
                   "StreamWorker: the receive path started after 5 failed attempts\n");
    EXPECT_TRUE(source.stopped);
    check_blocks();
}

// A start that never works: nothing is read, and a stop during the longest pause between
// attempts ends the worker at once.
TEST_F(Pipeline, StopIsPromptWhileTheStartKeepsFailing) {
    setup(1);
    source.start_failures = INT_MAX;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(worker->start());
    // Attempts at 100 ms, then after pauses of 10, 20, ... 320 ms: the seventh is followed by
    // the longest pause, 640 ms.
    for (int i = 0; i < 400 && source.start_calls.load() < 7; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(source.start_calls.load(), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    worker->stop();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const std::string err = testing::internal::GetCapturedStderr();
    std::printf("stop during a failing start: %.1f ms\n", ms);
    EXPECT_LT(ms, 300.0) << "the stop waited for the pause to end";
    EXPECT_EQ(source.reads.load(), 0);
    EXPECT_TRUE(source.stopped) << "the stream is stopped after a start that never worked";
    EXPECT_EQ(rec.callbacks.load(), 0);
    EXPECT_EQ(err, "StreamWorker: the receive path did not start; trying again\n");
}

// An exception out of a pass ends the stream: the source is stopped, one line tells why, what
// was delivered before stays whole, and the thread ends by itself.
TEST_F(Pipeline, AnExceptionInThePassEndsTheStreamCleanly) {
    setup(0);
    source.set(3, {-2, false, 0, true});
    testing::internal::CaptureStderr();
    ASSERT_TRUE(worker->start());
    for (int i = 0; i < 1000 && !source.stopped; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(source.stopped);
    EXPECT_TRUE(os::thread_wait(worker->thread_handle(), 5000));
    worker->stop();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StreamWorker: the stream ends on an exception: synthetic read failure\n");
    EXPECT_EQ(source.reads.load(), 3);
    check_blocks();
}

// The barrier itself: what the body returns, or R's zero after an exception, which on_throw sees
// classified; an exception of on_throw's own stays inside too.
TEST(EdgeBarrier, StopsEveryExceptionAndTellsAllocationFailuresApart) {
    EXPECT_EQ(at_edge([] { return int32_t(7); }), 7);
    struct Seen {
        int calls = 0;
        bool allocation = false;
        std::string what;
    } seen;
    auto note = [&](bool allocation, const char* what) {
        ++seen.calls;
        seen.allocation = allocation;
        seen.what = what;
    };
    EXPECT_EQ(at_edge([]() -> int32_t { throw std::bad_alloc(); }, note), 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(seen.allocation);
    at_edge([] { throw std::runtime_error("usrp_basic/usrp_find_device"); }, note);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_FALSE(seen.allocation);
    EXPECT_EQ(seen.what, "usrp_basic/usrp_find_device");
    at_edge([] { throw 42; }, note);
    EXPECT_EQ(seen.calls, 3);
    EXPECT_FALSE(seen.allocation);
    at_edge([] { throw 1; }, [](bool, const char*) { throw std::logic_error("from on_throw"); });
}
