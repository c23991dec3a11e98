// Fast-USB handles over the asynchronous bulk calls (libusb-win32's extension, or the module's
// own on Linux).
#pragma once

#include "fusb.h"

#include <atomic>

enum {
    EP_MAX_BLOCK_BYTES = 65536,
    EP_DEFAULT_BLOCK_BYTES = 65536,
    EP_DEFAULT_RING_BYTES = 16777216,
    REAP_TIMEOUT_MS = 1000,
};

class fusb_devhandle_win32 : public fusb_devhandle {
  public:
    explicit fusb_devhandle_win32(usb_dev_handle* udh) : fusb_devhandle(udh) {}
    ~fusb_devhandle_win32() override {}

    fusb_ephandle* open_endpoint(int endpoint, bool is_input, int block_size = 0,
                                 int nblocks = 0) override;
};

class fusb_ephandle_win32 : public fusb_ephandle {
  public:
    // Throws std::out_of_range for a bad block size or count; nothing is set up then.
    fusb_ephandle_win32(fusb_devhandle_win32* dh, int endpoint, bool is_input, int block_size,
                        int nblocks);
    ~fusb_ephandle_win32() override;

    bool start() override;
    bool stop() override;
    int write(const void* buffer, int nbytes) override;
    int read(void* buffer, int nbytes) override;
    void reap_pending() override;
    void abort_reads() override;

  private:
    void retire_queued_reads();
    void submit_block(int i);
    void recover_block(int status);

    fusb_devhandle_win32* devhandle;
    int current;
    int outstanding;
    int write_space;
    int read_left;
    void** contexts;
    unsigned char* ring_buffer;
    bool reads_queued;                // IN: blocks may still be queued with the library from a run
    std::atomic<bool> reads_aborted;  // abort_reads was called in this run: failures are expected
};
