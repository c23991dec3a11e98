// Long and strange values of the four environment variables the image loading reads. The input
// is up to four fields separated by zero bytes, for USRP_PATH, USRP_FIRMWARE, USRP_FPGA and
// USRP_VERBOSE in that order; a field that starts with 0x01 leaves its variable unset, and one
// that starts with 0x02 has the placeholder images' folder put in front of the rest, so that
// real files are found as well as missing ones. The last byte of the input chooses whether the
// caller passes the image names or leaves them to the variables.
// Properties: no memory error whatever the lengths (names past the name buffer, paths past the
// path buffer); a name resolves to the caller's, the variable's or the default; a path found is
// a readable file no longer than the buffer; the load reports success only when both files
// were found; no handle stays open.
#include "fuzz_common.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const VARS[4] = {"USRP_PATH", "USRP_FIRMWARE", "USRP_FPGA", "USRP_VERBOSE"};

usbsim::BoardId world_once() {
    static usbsim::BoardId board = -1;
    usbsim::World& w = usbsim::World::instance();
    if (board < 0) {
        w.reset();
        usbsim::BoardConfig c;
        c.warm = true;
        board = w.add_board(w.add_bus(), c);
        usrp_usb_init_pending = true;
    }
    if (!w.on_bus(board))
        w.rescan();  // re-enumerated after a firmware load
    w.clear_faults();
    w.clear_log();
    return board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    world_once();
    usbsim::World& w = usbsim::World::instance();

    std::string fields[4];
    bool set[4] = {false, false, false, false};
    size_t at = 0;
    for (int i = 0; i < 4 && at <= size; ++i) {
        size_t end = at;
        while (end < size && data[end] != 0)
            ++end;
        if (end > at || at < size) {
            std::string v(reinterpret_cast<const char*>(data + at), end - at);
            set[i] = v.empty() || v[0] != '\x01';
            if (!v.empty() && v[0] == '\x02')
                v = std::string(ZALVO_IMAGES_DIR) + v.substr(1);
            fields[i] = v;
        }
        at = end + 1;
    }
    for (int i = 0; i < 4; ++i) {
        if (set[i])
            setenv(VARS[i], fields[i].c_str(), 1);
        else
            unsetenv(VARS[i]);
    }
    const bool caller_names = size > 0 && (data[size - 1] & 1);
    const std::string fw_given = caller_names ? "std.ihx" : "";
    const std::string fpga_given = caller_names ? "std_4rx_0tx.rbf" : "";

    // Name resolution: the caller's name, else a set and non-empty variable, else the default.
    // A name over 511 characters is refused (null); then nothing can be found or loaded.
    const char* fw_resolved = resolve_image_name(fw_given.c_str(), "USRP_FIRMWARE", "std.ihx");
    if (!fw_resolved) {
        fuzz::check(!caller_names && set[1] && fields[1].size() > 511,
                    "only an over-long name is refused");
        fuzz::check(!usrp_load_standard_bits(0, fpga_given, fw_given),
                    "a refused name fails the load");
        fuzz::check(w.open_handles() == 0, "no handle stays open");
        return 0;
    }
    std::string fw_name = fw_resolved;
    if (caller_names)
        fuzz::check(fw_name == fw_given, "the caller's name wins");
    else if (set[1] && !fields[1].empty() && fields[1].size() < 512)
        fuzz::check(fw_name == fields[1], "the variable's name is used");
    else if (!set[1] || fields[1].empty())
        fuzz::check(fw_name == "std.ihx", "an absent or empty variable gives the default");

    const char* fw_path = find_image_file(fw_name.c_str(), 4);
    if (fw_path) {
        fuzz::check(std::strlen(fw_path) < 1000, "a path found fits its buffer");
        fuzz::check(access(fw_path, R_OK) == 0, "a path found is readable");
    }
    const char* fpga_name =
        resolve_image_name(fpga_given.c_str(), "USRP_FPGA", "std_2rxhb_2tx.rbf");
    if (!fpga_name)
        fuzz::check(!caller_names && set[2] && fields[2].size() > 511,
                    "only an over-long name is refused");
    const bool fpga_found = fpga_name && find_image_file(fpga_name, 4) != nullptr;
    const bool fw_found = fw_path != nullptr;

    bool ok = usrp_load_standard_bits(0, fpga_given, fw_given);
    fuzz::check(!ok || (fw_found && fpga_found), "success needs both files");
    fuzz::check(w.open_handles() == 0, "no handle stays open");
    fuzz::check(w.claimed_interfaces() == 0, "no interface stays claimed");
    return 0;
}
