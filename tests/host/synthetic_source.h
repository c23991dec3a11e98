// A stream source of synthetic raw blocks: four receivers of int16 I/Q tones, frame after frame,
// with scripted short, failed, slow and overrun reads. Stands where the device sits under the
// worker, so the pipeline can be driven without a board.
#pragma once

#include "worker.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

class SyntheticSource : public StreamSource {
  public:
    struct Script {
        int bytes = -2;  // -2: the full length asked; otherwise the result to return
        bool overrun = false;
        int delay_ms = 0;     // held inside the read this long
        bool throws = false;  // the read throws std::runtime_error("synthetic read failure")
    };

    // Frame f, receiver i: I and Q of a tone at 1300 + 1000 i Hz (500 kHz frames).
    static int16_t sample(uint64_t frame, int stream) {
        int receiver = stream / 2;
        double phase =
            2 * 3.14159265358979323846 * (1300.0 + 1000.0 * receiver) * double(frame) / 500000.0;
        double v = (stream % 2 == 0) ? std::sin(phase) : std::cos(phase);
        return static_cast<int16_t>(std::lround(v * (9000 + 3000 * receiver)));
    }

    // The first start_failures starts fail.
    bool start_streaming() override {
        if (start_calls.fetch_add(1) < start_failures.load())
            return false;
        started = true;
        return true;
    }
    void stop_streaming() override {
        reads_at_stop = reads.load();
        stopped = true;
    }

    int read(void* buffer, int length, bool* overrun) override {
        int n = reads.load();
        Script s;
        {
            std::lock_guard<std::mutex> g(lock);
            auto it = script.find(n);
            if (it != script.end())
                s = it->second;
        }
        if (s.throws)
            throw std::runtime_error("synthetic read failure");
        if (overrun)
            *overrun = s.overrun;
        if (s.delay_ms > 0) {
            {
                std::lock_guard<std::mutex> g(lock);
                in_slow_read = true;
            }
            changed.notify_all();
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
        }
        int result = s.bytes == -2 ? length : s.bytes;
        int frames = result > 0 ? result / 16 : 0;
        auto* out = static_cast<int16_t*>(buffer);
        for (int f = 0; f < frames; ++f)
            for (int k = 0; k < 8; ++k)
                out[f * 8 + k] = sample(next_frame + f, k);
        if (result > frames * 16)  // a partial frame: bytes that must not be used
            std::memset(out + frames * 8, 0x7F, static_cast<size_t>(result - frames * 16));
        next_frame += frames;
        reads.fetch_add(1);
        {
            std::lock_guard<std::mutex> g(lock);
            in_slow_read = false;
            read_done_count = n + 1;
        }
        changed.notify_all();
        return result;
    }

    void set(int read_index, Script s) {
        std::lock_guard<std::mutex> g(lock);
        script[read_index] = s;
    }

    // Waits (bounded) until the worker sits in a slow read.
    bool wait_in_slow_read(int ms) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(ms), [this] { return in_slow_read; });
    }
    bool wait_reads(int count, int ms) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(ms),
                                [&] { return read_done_count >= count; });
    }

    std::atomic<int> start_failures{0};
    std::atomic<int> start_calls{0};
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::atomic<int> reads{0};
    std::atomic<int> reads_at_stop{-1};
    uint64_t next_frame = 0;  // frames delivered so far

  private:
    std::mutex lock;
    std::condition_variable changed;
    std::map<int, Script> script;
    bool in_slow_read = false;
    int read_done_count = 0;
};
