#include "fuzz_common.h"

#include <cstdio>
#include <cstdlib>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// The input lives in an anonymous in-memory file, reopened by the loaders through /proc: files
// on disk cost a slow truncation per run.
const std::string& write_input(const uint8_t* data, size_t size) {
    static int fd = -1;
    static std::string path;
    if (fd < 0) {
        fd = memfd_create("zalvo_fuzz_input", 0);
        if (fd < 0)
            std::abort();
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    if (ftruncate(fd, 0) != 0)
        std::abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        if (n <= 0)
            std::abort();
        done += size_t(n);
    }
    return path;
}

usb_dev_handle* board_for_run(usbsim::BoardId* board) {
    // One world for the whole session: the simulated library keeps every device structure it
    // ever handed out, so building a new world per run would grow without bound. The handle is
    // kept too, and renewed only when a firmware start made the board re-enumerate.
    static usb_dev_handle* handle = nullptr;
    static usbsim::BoardId the_board = -1;
    usbsim::World& w = usbsim::World::instance();
    if (the_board < 0) {
        w.reset();
        usbsim::BoardConfig c;
        c.warm = true;
        the_board = w.add_board(w.add_bus(), c);
        usrp_usb_init_pending = true;
    }
    w.clear_faults();
    if (handle && !w.on_bus(the_board)) {
        usb_close(handle);
        handle = nullptr;
        w.rescan();
    }
    if (!handle)
        handle = open_nth_cmd_interface(0);
    check(handle != nullptr, "the simulated board opens");
    w.clear_log();
    *board = the_board;
    return handle;
}

void check(bool cond, const char* what) {
    if (cond)
        return;
    // Through the sanitizer's report channel: the target's own standard error may be closed.
    std::string summary = std::string("fuzz property violated: ") + what;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

}  // namespace fuzz
