#include "advice.h"

#include <cstdlib>

namespace capture {

namespace {

std::string images_hint() {
    const char* p = std::getenv("USRP_PATH");
    std::string now =
        p && *p ? std::string("USRP_PATH is now \"") + p + "\"" : "USRP_PATH is not set";
    return "Set USRP_PATH to the folder that holds rev<N>/std.ihx and rev<N>/std_4rx_0tx.rbf "
           "for your board's revision (" +
           now + ").";
}

}  // namespace

std::string advice_for(const std::string& t) {
    if (t == "Can't create instance of USRP Rx device")
        return "No USRP board could be opened and brought up. Check that the board is plugged "
               "in and powered, and that you may open it (a udev rule for vendor 0xfffe, product "
               "0x0002, or run as root); \"info\" lists the boards found. If it is found, its "
               "firmware or FPGA image may be missing: " +
               images_hint() + " The device layer's messages above tell which step failed.";
    if (t == "Unknown sample rate")
        return "The module refused the output rate; use --rate 48000, 96000 or 192000.";
    if (t == "Low memory")
        return "The module could not allocate its sample buffers. Close other programs or use "
               "a lower --rate, then try again.";
    if (t == "Can't initialize resamplers")
        return "The module's resamplers refused the rates; this is a fault in the module. "
               "Report it together with the --rate you used.";
    if (t == "Can't start worker thread")
        return "The system refused to start another thread. Check the process and thread "
               "limits (ulimit -u) and free resources, then try again.";
    return "The module reported a failure this tool does not know; see the messages above.";
}

}  // namespace capture
