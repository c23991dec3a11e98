// Fast-USB streaming: abstract device and endpoint handles. No platform code here.
#pragma once

#include "usb_api.h"

class fusb_ephandle;

// Wraps an opened, claimed libusb handle (not owned) and makes endpoint handles on it.
class fusb_devhandle {
  public:
    explicit fusb_devhandle(usb_dev_handle* udh) : handle(udh) {}
    virtual ~fusb_devhandle() {}

    // A new endpoint handle owned by the caller; destroy it before this device handle.
    // block_size 0 selects the default, nblocks 0 derives the count. Throws std::out_of_range.
    virtual fusb_ephandle* open_endpoint(int endpoint, bool is_input, int block_size = 0,
                                         int nblocks = 0) = 0;

    usb_dev_handle* get_usb_dev_handle() const { return handle; }

  protected:
    usb_dev_handle* handle;

  private:
    fusb_devhandle(const fusb_devhandle&) = delete;
    fusb_devhandle& operator=(const fusb_devhandle&) = delete;
};

// One bulk endpoint served by a ring of nblocks transfers of block_size bytes.
class fusb_ephandle {
  public:
    fusb_ephandle(int endpoint_, bool is_input_, int block_size_, int nblocks_)
        : endpoint(endpoint_), is_input(is_input_), block_size(block_size_), nblocks(nblocks_),
          started(false) {}
    virtual ~fusb_ephandle() {}

    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual int write(const void* buffer, int nbytes) = 0;
    virtual int read(void* buffer, int nbytes) = 0;
    virtual void reap_pending() = 0;
    // Ends every transfer queued on an IN endpoint, so that a read waiting for data on another
    // thread returns at once with a failure. The one operation that may be called from a thread
    // other than the reader's, while the endpoint exists; stop and destruction still retire
    // whatever is left queued.
    virtual void abort_reads() = 0;

    int get_block_size() const { return block_size; }
    int get_nblocks() const { return nblocks; }
    int get_endpoint() const { return endpoint; }
    bool get_is_input() const { return is_input; }
    bool is_started() const { return started; }

  protected:
    int endpoint;  // without the direction bit
    bool is_input;
    int block_size;
    int nblocks;
    bool started;

  private:
    fusb_ephandle(const fusb_ephandle&) = delete;
    fusb_ephandle& operator=(const fusb_ephandle&) = delete;
};
