// Bulk transfers: the receive stream on endpoint 6 with its pacing and FIFO, and the transmit
// endpoint 2, which records what it is sent.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "model.h"

namespace usbsim {
namespace detail {

bool Board::streaming() const {
    return present && firmware_running && fpga_configured && !fpga_reset && rx_enable &&
           !rx_reset && regs[49] == 0x300 && (regs[38] & 7) != 0;
}

StreamSettings Board::stream_settings() const {
    StreamSettings s;
    const uint32_t mux = regs[38];
    s.channels = std::min<int>(int(mux & 7), 4);
    s.decimation = decimation();
    for (int k = 0; k < 4; ++k) {
        s.freq_word[size_t(k)] = regs[size_t(34 + k)];
        s.phase_word[size_t(k)] = regs[size_t(44 + k)];
        s.input_i[size_t(k)] = int((mux >> (4 + 4 * k)) & 3);
        s.input_q[size_t(k)] = (mux & 8) ? -1 : int((mux >> (6 + 4 * k)) & 3);
        // Codec 0 feeds inputs 0 and 1 (registers 2, 3), codec 1 inputs 2 and 3.
        s.gain_db[size_t(k)] = std::min(20, codec[size_t(k / 2)][size_t(2 + (k & 1))] & 0x7F);
    }
    s.scene = scene;
    return s;
}

uint32_t Board::decimation() const {
    const uint32_t d = (regs[33] & 0xFF) + 1;
    return (config.capabilities & 8) ? 2 * d : d;
}

void Impl::changed(Board& b) {
    ++b.settings_version;
    FifoPacing& p = b.pacing;
    if (!b.streaming()) {
        p.running = false;
        return;
    }
    const uint32_t d = b.decimation();
    const int channels = b.instant_bytes();
    // The FIFO starts empty when the stream starts or changes its byte rate.
    if (!p.running || p.decimation_reg != d || p.channels != channels) {
        p.running = true;
        p.origin = Clock::now();
        p.consumed = 0;
        p.restarted = true;
        p.decimation_reg = d;
        p.channels = channels;
    }
}

void Impl::update_pacing(Board& b, Clock::time_point now) {
    FifoPacing& p = b.pacing;
    if (b.config.pacing != usbsim::Pacing::real_time || !p.running)
        return;
    const double elapsed = std::chrono::duration<double>(now - p.origin).count();
    const uint64_t produced = uint64_t(std::max(0.0, elapsed) * ADC_CLOCK_HZ / b.decimation());
    // A read waiting for data takes it as it comes: that much never piles up in the FIFO.
    const uint64_t fifo =
        std::max<uint64_t>(1, b.config.fifo_bytes / uint64_t(b.instant_bytes())) + p.reader_need;
    if (produced > p.consumed + fifo) {
        const uint64_t drop = produced - p.consumed - fifo;
        p.consumed += drop;
        p.pending_skip += drop;
        p.dropped += drop;
        b.overrun = true;
    }
}

namespace {

void trace_bulk(const BulkRecord& r) {
    std::fprintf(stderr, "usbsim: #%llu board %d bulk ep 0x%02x len %d -> %d\n",
                 static_cast<unsigned long long>(r.seq), r.board, r.endpoint, r.length, r.result);
}

// Sleeps with the world unlocked.
void pause(std::unique_lock<std::mutex>& lk, Clock::duration d) {
    lk.unlock();
    std::this_thread::sleep_for(d);
    lk.lock();
}

constexpr int RX_ENDPOINT = 0x86;
constexpr int TX_ENDPOINT = 0x02;
constexpr int RX_INTERFACE = 2;
constexpr int TX_INTERFACE = 1;
constexpr auto POLL = std::chrono::milliseconds(2);

}  // namespace

// The receive endpoint. Called with the world locked; returns with it locked. A waiting read
// takes the stream as it comes, as a queued transfer takes the FIFO's packets, in whole 512-byte
// packets until the last piece.
static Result read_stream(Impl& w, std::unique_lock<std::mutex>& lk, int handle, uint8_t* data,
                          int length, std::optional<Clock::time_point> deadline) {
    const int board_id = w.handles.at(handle).board;
    std::shared_ptr<Stream> st = w.board(board_id).stream;
    lk.unlock();
    std::unique_lock<std::mutex> sl(st->mutex);  // one reader of the stream at a time
    lk.lock();
    const size_t len = size_t(length);
    size_t done = 0;
    Result result;
    for (;;) {
        const Clock::time_point now = Clock::now();
        w.poll_timers(now);
        auto it = w.handles.find(handle);
        if (it == w.handles.end()) {
            result.err = Err::inval;
            break;
        }
        if (!w.handle_alive(it->second)) {
            result.err = w.handle_error(it->second);
            break;
        }
        Board& b = w.board(board_id);
        b.pacing.reader_need = 0;
        const bool timed_out = deadline && now >= *deadline;
        const bool paused = b.paused_until && now < *b.paused_until;
        if (!b.streaming() || paused) {
            if (timed_out)
                break;
            Clock::duration wait = POLL;
            if (paused)
                wait = std::min<Clock::duration>(wait, *b.paused_until - now);
            if (deadline)
                wait = std::min<Clock::duration>(wait, *deadline - now);
            pause(lk, wait);
            continue;
        }
        // Bring the generator up to date with the registers.
        std::optional<StreamSettings> settings;
        if (st->version != b.settings_version) {
            settings = b.stream_settings();
            st->version = b.settings_version;
        }
        const bool flush = b.pacing.restarted;
        b.pacing.restarted = false;
        if (settings || flush) {
            lk.unlock();
            if (flush)
                st->flush();
            if (settings)
                st->configure(*settings);
            lk.lock();
            continue;  // the world may have changed meanwhile
        }
        const size_t ib = size_t(st->settings().instant_bytes());
        const size_t partial = st->partial_bytes();
        const size_t want = len - done;
        const uint64_t need = want > partial ? (want - partial + ib - 1) / ib : 0;
        size_t bytes = want;
        uint64_t take = need, skip = 0;
        if (b.config.pacing == usbsim::Pacing::real_time) {
            w.update_pacing(b, now);
            const double elapsed = std::chrono::duration<double>(now - b.pacing.origin).count();
            const uint64_t produced =
                uint64_t(std::max(0.0, elapsed) * ADC_CLOCK_HZ / b.decimation());
            const uint64_t avail = produced > b.pacing.consumed ? produced - b.pacing.consumed : 0;
            if (avail < need) {
                take = avail;
                bytes = std::min(want, partial + size_t(avail) * ib);
                if (bytes >= 512)
                    bytes -= bytes % 512;
                else if (!timed_out)
                    bytes = 0;
                take = bytes > partial ? (bytes - partial + ib - 1) / ib : 0;
            }
            b.pacing.consumed += take;
            skip = b.pacing.pending_skip;
            b.pacing.pending_skip = 0;
        }
        if (bytes > 0 || skip > 0) {
            lk.unlock();
            if (skip)
                st->skip(skip);
            st->produce(data + done, bytes);
            lk.lock();
            done += bytes;
            if (!w.handles.count(handle))
                continue;  // the world was reset meanwhile
            w.board(board_id).stream_bytes += bytes;
        }
        if (done == len || timed_out)
            break;
        // Wait for more; meanwhile the FIFO keeps what this read still wants.
        Board& bb = w.board(board_id);
        const uint64_t still = need - take;
        bb.pacing.reader_need = still;
        const double rate = ADC_CLOCK_HZ / bb.decimation();
        const double fifo_s = double(bb.config.fifo_bytes) / double(ib) / rate;
        auto wait = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::min(double(still) / rate, fifo_s / 2)));
        wait = std::min<Clock::duration>(std::max<Clock::duration>(wait, POLL / 8), POLL * 5);
        if (deadline)
            wait = std::min<Clock::duration>(wait, *deadline - now);
        pause(lk, wait);
    }
    if (w.handles.count(handle))
        w.board(board_id).pacing.reader_need = 0;
    if (result.err != Err::none)
        return result;
    if (done == 0 && len > 0)
        return {0, Err::timeout};
    return {int(done), Err::none};
}

Result api_bulk(int handle, int ep, uint8_t* data, int length, int timeout_ms) {
    Impl& w = impl();
    std::unique_lock<std::mutex> lk(w.m);
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (timeout_ms > 0)
        deadline = start + std::chrono::milliseconds(timeout_ms);
    w.poll_timers(start);
    ++w.bulk_count;
    Result r;
    int board_id = -1;
    auto it = w.handles.find(handle);
    std::optional<Fault> fault = w.take_bulk_fault();
    if (it == w.handles.end() || length < 0 || (length > 0 && !data)) {
        r.err = Err::inval;
    } else {
        const Handle h = it->second;
        board_id = h.board;
        if (fault && fault->kind != FaultKind::short_data) {
            switch (fault->kind) {
                case FaultKind::stall: break;  // no data and no error, as the library reports it
                case FaultKind::timeout: {
                    const int wait = fault->wait_ms >= 0 ? fault->wait_ms : std::max(0, timeout_ms);
                    pause(lk, std::chrono::milliseconds(wait));
                    r.err = Err::timeout;
                    break;
                }
                case FaultKind::detach:
                    if (h.board >= 0) {
                        w.board(h.board).plugged = false;
                        w.leave_bus(w.board(h.board));
                    }
                    r.err = Err::nodev;
                    break;
                default: r.err = Err::io; break;
            }
        } else if (!w.handle_alive(h)) {
            r.err = w.handle_error(h);
        } else if (h.board < 0 || (ep != RX_ENDPOINT && ep != TX_ENDPOINT)) {
            r.err = Err::noent;
        } else {
            const int iface = ep == RX_ENDPOINT ? RX_INTERFACE : TX_INTERFACE;
            for (auto& [id, other] : w.handles)
                if (id != handle && other.uid == h.uid &&
                    std::count(other.claimed.begin(), other.claimed.end(), iface))
                    r.err = Err::busy;
            if (r.err == Err::none) {
                const int len = fault ? std::max(0, length - fault->short_by) : length;
                if (ep == RX_ENDPOINT) {
                    r = read_stream(w, lk, handle, data, len, deadline);
                } else {
                    // Endpoint 2 takes data whenever the firmware runs; otherwise nothing moves.
                    while (r.err == Err::none && !w.board(h.board).firmware_running) {
                        if (deadline && Clock::now() >= *deadline) {
                            r.err = Err::timeout;
                            break;
                        }
                        pause(lk, POLL);
                        auto again = w.handles.find(handle);
                        if (again == w.handles.end() || !w.handle_alive(again->second))
                            r.err = Err::nodev;
                    }
                    if (r.err == Err::none) {
                        Board& b = w.board(h.board);
                        const size_t room =
                            BULK_OUT_LIMIT - std::min(BULK_OUT_LIMIT, b.bulk_out.size());
                        b.bulk_out.insert(b.bulk_out.end(), data,
                                          data + std::min<size_t>(room, size_t(len)));
                        r.value = len;
                    }
                }
            }
        }
    }
    BulkRecord rec{++w.seq, board_id, ep, length,
                   r.err == Err::none ? r.value : surface_error_code(r.err)};
    if (w.trace >= 2)
        trace_bulk(rec);
    w.log_bulk(rec);
    return r;
}

}  // namespace detail
}  // namespace usbsim
