#include "fuzz_common.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

const std::string& write_input(const uint8_t* data, size_t size) {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/zalvo_fuzz_XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        path = name;
        std::atexit([] { unlink(path.c_str()); });
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

usb_dev_handle* fresh_board(usbsim::BoardId* board) {
    usbsim::World& w = usbsim::World::instance();
    w.reset();
    usbsim::BoardConfig c;
    c.warm = true;
    *board = w.add_board(w.add_bus(), c);
    usrp_usb_init_pending = true;
    usb_dev_handle* h = open_nth_cmd_interface(0);
    check(h != nullptr, "the simulated board opens");
    w.clear_log();
    return h;
}

void check(bool cond, const char* what) {
    if (cond) return;
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
}

}  // namespace fuzz
