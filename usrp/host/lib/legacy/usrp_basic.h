// Device objects: the device base and the basic receive path.
#pragma once

#include "usb_api.h"

#include <atomic>
#include <cstdint>
#include <string>

class fusb_devhandle;
class fusb_ephandle;

enum { FPGA_REGISTER_COUNT = 128 };

// Brings one USRP up (images, revision check, receive interface, common codec registers) and owns
// its USB handle. Only constructed as a base of a receive path. Constructors throw
// std::runtime_error with a short context text.
class usrp_basic {
  public:
    virtual ~usrp_basic();

    // Writes one 32-bit FPGA register and mirrors it; true when the device took all 4 bytes.
    bool _write_fpga_reg(int regno, int value);

    usb_dev_handle* get_usb_handle() const { return usb_handle; }
    // Where the board was on the buses when it was opened (see usrp_place).
    const std::string& bus_place() const { return place; }
    uint32_t fpga_reg_mirror(int regno) const { return register_mirror[regno & 0x7F]; }
    int get_stream_bytes_per_sec() const { return stream_bytes_per_sec; }
    int get_overrun_check_bytes() const { return overrun_check_bytes; }
    void set_trace_registers(bool on) { trace_registers = on; }

  protected:
    usrp_basic(int which, const std::string& fpga_filename, const std::string& firmware_filename);

    usb_dev_handle* usb_handle;
    std::string place;
    int stream_bytes_per_sec;
    int overrun_check_bytes;
    bool trace_registers;
    uint32_t register_mirror[FPGA_REGISTER_COUNT];

  private:
    usrp_basic(const usrp_basic&) = delete;
    usrp_basic& operator=(const usrp_basic&) = delete;
};

enum {
    RX_MAX_BLOCK_BYTES = 65536,
    RX_DEFAULT_BLOCK_BYTES = 65536,
    RX_DEFAULT_RING_BYTES = 2097152,
};

// The receive side: codecs, receive path, daughterboard probe, bulk IN endpoint 6.
class usrp_basic_rx : public usrp_basic {
  public:
    ~usrp_basic_rx() override;

    virtual int adc_clock_hz() const { return 64000000; }

    bool set_rx_enable(bool on);
    bool start_streaming();
    bool stop_streaming();
    // Bytes delivered, or -1 for an invalid length. overrun_out may be null.
    int read(void* buffer, int length, bool* overrun_out);
    // Makes a read that waits for data on another thread return at once (with a failure); for
    // ending a stream whose board has stopped sending. Callable from any thread while the device
    // exists.
    void abort_read();
    bool set_rx_gain(unsigned channel, double gain_db);
    int read_block_size() const;

    int daughterboard_id(int side) const { return board_ids[side & 1]; }
    bool rx_enabled() const { return receive_enabled.load(); }

  protected:
    usrp_basic_rx(int which, int fusb_block_size, int fusb_nblocks,
                  const std::string& fpga_filename, const std::string& firmware_filename);

    fusb_devhandle* stream_device;
    fusb_ephandle* stream_endpoint;
    int bytes_since_check;
    // Written by the stream worker's start and stop and by a retune's enable bracket on the host's
    // thread.
    std::atomic<bool> receive_enabled;
    bool endpoint_running;  // started by start_streaming, not stopped since
    int board_ids[2];

  private:
    void probe_daughterboards();
    void teardown();
};

// Nearest integer, ties to even.
double round_half_even(double x);
