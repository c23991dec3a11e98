// Fast-USB handles over the asynchronous bulk calls: a ring of nblocks transfers of block_size
// bytes, context i always moving block i.
//
// Lifetime of the blocks: a block is touched by this code only between reaping its transfer and
// submitting it again. Every path that ends a run in which transfers may still be queued (restart
// of an IN endpoint, destruction) cancels them and waits until each is really over before the
// blocks are reused or released, so no transfer ever outlives its buffer.
#include "fusb_win32.h"
#include "os.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

void report_reap_failure(const char* where, int status) {
    os::diag_printf("%s: usb_reap_async: %s\n", where, usb_async::reap_error_text(status));
}

}  // namespace

fusb_ephandle* fusb_devhandle_win32::open_endpoint(int endpoint, bool is_input, int block_size,
                                                   int nblocks) {
    return new fusb_ephandle_win32(this, endpoint, is_input, block_size, nblocks);
}

fusb_ephandle_win32::fusb_ephandle_win32(fusb_devhandle_win32* dh, int endpoint_, bool is_input_,
                                         int block_size_, int nblocks_)
    : fusb_ephandle(endpoint_, is_input_, block_size_, nblocks_), devhandle(dh), current(0),
      outstanding(0), write_space(0), read_left(0), contexts(nullptr), ring_buffer(nullptr),
      reads_queued(false), reads_aborted(false) {
    if (block_size < 0 || block_size > EP_MAX_BLOCK_BYTES)
        throw std::out_of_range("fusb_ephandle_win32: block_size");
    if (nblocks < 0)
        throw std::out_of_range("fusb_ephandle_win32: nblocks");

    if (block_size == 0)
        block_size = EP_DEFAULT_BLOCK_BYTES;
    if (nblocks == 0) {
        nblocks = EP_DEFAULT_RING_BYTES / block_size;
        if (nblocks < 1)
            nblocks = 1;
    }

    // The buffers and every transfer context are made, or nothing is kept and the handle is not
    // made: a ring without its transfers would fail every read. The ring starts zeroed, so that a
    // block whose first transfer failed reads as silence rather than as uninitialised memory.
    std::unique_ptr<unsigned char[]> ring(
        new unsigned char[static_cast<size_t>(nblocks) * static_cast<size_t>(block_size)]());
    std::unique_ptr<void*[]> ctxs(new void*[nblocks]());

    const unsigned char ep =
        static_cast<unsigned char>(is_input ? (endpoint | 0x80) : (endpoint & 0x7f));
    for (int i = 0; i < nblocks; ++i) {
        const int status = usb_bulk_setup_async(devhandle->get_usb_dev_handle(), &ctxs[i], ep);
        if (status < 0 || !ctxs[i]) {
            os::diag_printf("fusb_ephandle_win32: usb_bulk_setup_async failed (%d)\n", status);
            for (int j = 0; j < i; ++j)
                usb_free_async(&ctxs[j]);
            throw std::runtime_error("fusb_ephandle_win32: usb_bulk_setup_async");
        }
    }
    ring_buffer = ring.release();
    contexts = ctxs.release();
}

fusb_ephandle_win32::~fusb_ephandle_win32() {
    if (is_input) {
        retire_queued_reads();
    } else if (started) {
        reap_pending();
    }
    started = false;
    for (int i = 0; i < nblocks; ++i)
        usb_free_async(&contexts[i]);
    delete[] ring_buffer;
    ring_buffer = nullptr;
    delete[] contexts;
    contexts = nullptr;
}

// While an IN endpoint has been started, every block is queued except block `current` when the
// caller has not yet taken all of it (read_left > 0). This cancels those transfers, newest first
// so that the library does not start an older one just to have it cancelled, and then waits for
// each to be really over. Their data, if any arrived, is discarded.
void fusb_ephandle_win32::retire_queued_reads() {
    if (!reads_queued)
        return;
    const bool current_held = read_left > 0;
    for (int k = nblocks; k >= 1; --k) {
        int i = (current + k) % nblocks;
        if (i == current && current_held)
            continue;
        usb_cancel_async(contexts[i]);
    }
    for (int k = 1; k <= nblocks; ++k) {
        int i = (current + k) % nblocks;
        if (i == current && current_held)
            continue;
        usb_reap_async_nocancel(contexts[i], REAP_TIMEOUT_MS);
    }
    reads_queued = false;
}

// Restart of an IN endpoint: the reads still queued from the earlier run are cancelled and reaped
// first (their data is stale), then every block is queued afresh, block 0 first. No block is ever
// queued twice, and the first read of the new run returns data that arrived after this start.
bool fusb_ephandle_win32::start() {
    if (started)
        return true;
    if (is_input)
        retire_queued_reads();
    started = true;
    reads_aborted = false;
    current = nblocks - 1;
    outstanding = 0;
    read_left = 0;
    write_space = 0;
    if (is_input) {
        for (int i = 0; i < nblocks; ++i)
            submit_block(i);
        reads_queued = true;
    }
    return true;
}

// An IN endpoint's queued reads stay with the library; a later start or the destructor retires
// them.
bool fusb_ephandle_win32::stop() {
    if (started) {
        if (!is_input)
            reap_pending();
        started = false;
    }
    return true;
}

void fusb_ephandle_win32::submit_block(int i) {
    usb_submit_async(contexts[i],
                     reinterpret_cast<char*>(ring_buffer + static_cast<size_t>(i) * block_size),
                     block_size);
}

// The reap of block `current` failed. Block `current` goes back to the library only once its
// transfer is really over. When the failure ended every transfer queued on the endpoint (the
// library aborted the endpoint), the ring re-synchronises at once: every other block's transfer is
// reaped, again waiting until it is over, and every block is queued afresh in ring order from the
// one after `current`, so that the next read takes the first data the device sends and the whole
// abort counts as this one failure. Otherwise only block `current` is queued again, behind the
// others, which keeps the ring order.
void fusb_ephandle_win32::recover_block(int status) {
    if (!usb_async::failure_ends_queue(status)) {
        submit_block(current);
        return;
    }
    for (int k = 1; k < nblocks; ++k)
        usb_reap_async_nocancel(contexts[(current + k) % nblocks], REAP_TIMEOUT_MS);
    for (int k = 1; k <= nblocks; ++k)
        submit_block((current + k) % nblocks);
}

int fusb_ephandle_win32::read(void* buffer, int nbytes) {
    if (!started || !is_input || nbytes < 0 || (nbytes > 0 && !buffer))
        return -1;
    auto* dst = static_cast<unsigned char*>(buffer);
    int copied = 0;
    int remaining = nbytes;

    if (read_left > 0) {
        int n = remaining < read_left ? remaining : read_left;
        std::memcpy(
            dst, ring_buffer + static_cast<size_t>(current) * block_size + (block_size - read_left),
            n);
        read_left -= n;
        copied = n;
        remaining -= n;
        if (read_left == 0)
            submit_block(current);
    }

    while (remaining > 0) {
        current = (current + 1) % nblocks;
        unsigned char* block = ring_buffer + static_cast<size_t>(current) * block_size;
        const int status = usb_reap_async(contexts[current], REAP_TIMEOUT_MS);
        int n = remaining < block_size ? remaining : block_size;
        if (status < 0) {
            if (!reads_aborted)
                report_reap_failure("fusb_ephandle_win32::read", status);
            // A reap that timed out has cancelled the transfer, but the cancel does not wait for
            // it to end (libusb-win32 1.2.6): wait here, so that the block is neither read nor
            // queued again while the transfer still runs.
            usb_reap_async_nocancel(contexts[current], REAP_TIMEOUT_MS);
            // The block's earlier contents go to the caller, but nothing of it is handed out as
            // data later: the read fails here and the block goes back to the library whole.
            std::memcpy(dst + copied, block, n);
            read_left = 0;
            recover_block(status);
            return status;
        }
        std::memcpy(dst + copied, block, n);
        copied += n;
        remaining -= n;
        read_left = block_size - n;
        if (read_left == 0)
            submit_block(current);
    }
    return nbytes;
}

int fusb_ephandle_win32::write(const void* buffer, int nbytes) {
    if (!started || is_input || nbytes < 0 || (nbytes > 0 && !buffer))
        return -1;
    auto* src = static_cast<const unsigned char*>(buffer);
    int copied = 0;
    int remaining = nbytes;

    if (write_space > 0) {
        int n = remaining < write_space ? remaining : write_space;
        unsigned char* block = ring_buffer + static_cast<size_t>(current) * block_size;
        std::memcpy(block + (block_size - write_space), src, n);
        write_space -= n;
        copied = n;
        remaining -= n;
        if (write_space == 0)
            usb_submit_async(contexts[current], reinterpret_cast<char*>(block), block_size);
    }

    while (remaining > 0) {
        current = (current + 1) % nblocks;
        unsigned char* block = ring_buffer + static_cast<size_t>(current) * block_size;
        if (outstanding == nblocks) {
            int status = usb_reap_async(contexts[current], REAP_TIMEOUT_MS);
            if (status < 0) {
                report_reap_failure("fusb_ephandle_win32::write", status);
                return status;
            }
        } else {
            outstanding += 1;
        }
        int n = remaining < block_size ? remaining : block_size;
        std::memcpy(block, src + copied, n);
        copied += n;
        remaining -= n;
        write_space = block_size - n;
        if (write_space == 0)
            usb_submit_async(contexts[current], reinterpret_cast<char*>(block), block_size);
    }
    return nbytes;
}

// Only the contexts, which never change while the endpoint exists, and the flag are touched here:
// the reader's own state stays the reader's. The cancelled read fails and goes on as after any
// failed reap, without a line on standard error (the caller asked for it).
void fusb_ephandle_win32::abort_reads() {
    if (!is_input)
        return;
    reads_aborted = true;
    for (int i = 0; i < nblocks; ++i)
        usb_cancel_async(contexts[i]);
}

void fusb_ephandle_win32::reap_pending() {
    for (int i = 0; i < outstanding; ++i) {
        int k = ((current + 1 - outstanding + i) % nblocks + nblocks) % nblocks;
        usb_reap_async(contexts[k], REAP_TIMEOUT_MS);
    }
    outstanding = 0;
}
