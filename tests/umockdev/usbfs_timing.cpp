// Measures whether the module keeps a real-time board's FIFO from overflowing when it streams
// through Debian's libusb 0.1 and the (emulated) kernel: the board produces 8 MB/s (four
// receivers at decimation 128) into a FIFO of a given size, and the device can hand data over only
// while a URB is pending on its IN endpoint.
//
//   usbfs_timing [seconds=60] [fifo_bytes=8192] [rate_index=0]
//
// Prints the URB count, the spells with no URB pending (count, mean, longest, how many exceeded
// 0.5, 1 and 2 ms), the sample instants the board dropped, and the overruns the module itself
// saw through its status queries. Exits non-zero only if streaming did not work at all.
#include "ZalvoIntf.h"
#include "module_host.h"
#include "recording_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "usbfs_test_util.h"

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const size_t fifo = argc > 2 ? size_t(std::atol(argv[2])) : 8192;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 0;

    usbfs::Bed& bed = usbfs::Bed::instance();
    auto& w = usbsim::World::instance();
    usbsim::BoardConfig c = usbfs_test::warm_board(fifo);
    auto ids = usbfs_test::build_world({c});

    module_host::Module& m = module_host::built_module();
    if (!m.loaded()) {
        std::fprintf(stderr, "%s\n", m.error.c_str());
        return 2;
    }
    support::RecordingHost host(rate);
    host.inspect_blocks = false;  // only counted
    ReceiverSettings s = host.settings_record(0);
    m.start_rx(&s);
    for (const std::string& text : host.error_list())
        std::fprintf(stderr, "module: %s\n", text.c_str());

    // Let the stream settle (the worker starts 100 ms after StartRx), then measure.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bed.clear_records();
    w.clear_log();
    const uint64_t dropped0 = w.samples_dropped(ids[0]);
    const long blocks0 = host.blocks.load();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const usbfs::QueueStats q = bed.queue_stats();
    const uint64_t dropped = w.samples_dropped(ids[0]) - dropped0;
    const long blocks = host.blocks.load() - blocks0;
    int overrun_queries = 0, overruns_seen = 0;
    for (const auto& r : w.control_log())
        if (r.request == 0x80 && r.index == 1) {
            ++overrun_queries;
            overruns_seen += !r.data.empty() && r.data[0] != 0;
        }
    // Spells between one IN URB's completion and the next one's submission, from the URB log.
    std::vector<std::pair<double, double>> spells;  // length us, start ms
    const auto urbs = usbfs_test::urbs_on(bed.urb_log(), 0x86);
    for (size_t i = 0; i + 1 < urbs.size(); ++i)
        if (urbs[i].completed_ms >= 0 && urbs[i + 1].submitted_ms >= urbs[i].completed_ms)
            spells.emplace_back(1000.0 * (urbs[i + 1].submitted_ms - urbs[i].completed_ms),
                                urbs[i].completed_ms);
    std::vector<double> lengths;
    for (auto& sp : spells)
        lengths.push_back(sp.first);
    std::sort(lengths.begin(), lengths.end());
    std::sort(spells.begin(), spells.end(), [](auto& a, auto& b) { return a.first > b.first; });
    m.stop_rx();

    std::printf("usbfs timing: %.1f s, device FIFO %zu bytes, rate index %d, 8 MB/s stream\n",
                elapsed, fifo, rate);
    std::printf("  IN URBs completed      %llu (%.1f per second), most in flight %llu\n",
                static_cast<unsigned long long>(q.urbs), double(q.urbs) / elapsed,
                static_cast<unsigned long long>(q.max_in_flight));
    std::printf("  spells with no URB     %llu, mean %.1f us, longest %.1f us\n",
                static_cast<unsigned long long>(q.gaps),
                q.gaps ? q.gap_total_us / double(q.gaps) : 0.0, q.gap_max_us);
    std::printf("  spells over 0.5/1/2 ms %llu / %llu / %llu\n",
                static_cast<unsigned long long>(q.gaps_over_500us),
                static_cast<unsigned long long>(q.gaps_over_1ms),
                static_cast<unsigned long long>(q.gaps_over_2ms));
    std::printf("  REAPURBNDELAY calls    %llu\n", static_cast<unsigned long long>(q.reap_polls));
    std::printf("  instants dropped       %llu (%.3f %% of the stream)\n",
                static_cast<unsigned long long>(dropped),
                100.0 * double(dropped) / (elapsed * 500000.0));
    std::printf("  module overrun queries %d, overruns reported %d\n", overrun_queries,
                overruns_seen);
    std::printf("  host blocks            %ld (%.1f per second; 93.75 expected)\n", blocks,
                double(blocks) / elapsed);
    if (!lengths.empty()) {
        auto pct = [&](double p) { return lengths[size_t(p * double(lengths.size() - 1))]; };
        std::printf(
            "  spell percentiles      50%% %.0f us, 90%% %.0f us, 99%% %.0f us, 99.9%% %.0f us\n",
            pct(0.5), pct(0.9), pct(0.99), pct(0.999));
        std::printf("  longest spells at      ");
        for (size_t i = 0; i < spells.size() && i < 5; ++i)
            std::printf("%.1f ms (t=%.0f ms)  ", spells[i].first / 1000.0, spells[i].second);
        std::printf("\n");
    }
    return blocks > 0 ? 0 : 1;
}
