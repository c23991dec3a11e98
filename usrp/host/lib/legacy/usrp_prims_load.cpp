// USRP primitives: bringing the controller firmware and the FPGA bitstream up to date. Image
// names and files are looked up here, each file is hashed and compared with the digest the board
// keeps, and the loaders (usrp_prims_loaders.cpp) run only when the two differ.
#include "usrp_prims.h"

#include "md5.h"
#include "os.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char* const USRP_FIRMWARE_IMAGE = "std.ihx";
const char* const USRP_FPGA_IMAGE_4RX = "std_4rx_0tx.rbf";

namespace {

enum { NAME_BUFFER_SIZE = 512, PATH_BUFFER_SIZE = 1000 };

// Module-wide, so the loading functions are not reentrant: one load sequence at a time.
char name_buffer[NAME_BUFFER_SIZE];
char path_buffer[PATH_BUFFER_SIZE];

// After its new firmware starts the board leaves the bus and joins it again as a new device, one
// to three seconds later on real hardware. The bus is rescanned this often until it is back, for
// at most this long; a board listed where it was is taken for the new one only after
// REJOIN_TRUST_MS (see wait_for_rejoin).
const unsigned REJOIN_POLL_MS = 50;
const int REJOIN_TRUST_MS = 500;
const int REJOIN_WAIT_MS = 5000;

const char* const default_firmware = USRP_FIRMWARE_IMAGE;
const char* const default_fpga = "std_2rxhb_2tx.rbf";

bool readable(const char* path) {
    return os::file_readable(path);
}

bool verbose() {
    return std::getenv("USRP_VERBOSE") != nullptr;
}

// Composes "<root>/rev<N>/<name>" into buffer (PATH_BUFFER_SIZE characters). Returns its length;
// when it would not fit, -1 minus the length it would have had, and buffer is left empty.
int compose(char* buffer, const char* root, int revision, const char* name) {
    int n = std::snprintf(buffer, PATH_BUFFER_SIZE, "%s/rev%d/%s", root, revision, name);
    if (n >= 0 && n < PATH_BUFFER_SIZE)
        return n;
    buffer[0] = '\0';
    return n < 0 ? -1 : -1 - n;
}

// Composes into path_buffer. A path that would not fit is refused with a diagnostic line.
bool compose_path(const char* root, int revision, const char* name) {
    int n = compose(path_buffer, root, revision, name);
    if (n >= 0)
        return true;
    os::diag_printf("usrp: image path too long (%d characters, at most %d), skipped: %.60s...\n",
                    -1 - n, PATH_BUFFER_SIZE - 1, root);
    return false;
}

// The search roots in order: USRP_PATH when it is defined (even empty), then the platform's
// default roots. Calls visit(root) for each until it returns true; true when one did.
template <class Visit> bool for_each_root(Visit visit) {
    const char* search_path = std::getenv("USRP_PATH");
    if (search_path && visit(search_path))
        return true;
    for (const char* const* root = os::default_image_roots(); *root; ++root) {
        if (visit(*root))
            return true;
    }
    return false;
}

// After a failed search: one line naming every path that was tried, in order (paths too long to
// compose were reported when they were skipped), each in double quotes:
//   usrp: searched for std.ihx in: "/a/rev4/std.ihx", "./usrp/rev4/std.ihx"
void report_tried_paths(const char* name, int revision) {
    std::string line = "usrp: searched for ";
    line += name;
    line += " in:";
    const char* separator = " \"";
    char candidate[PATH_BUFFER_SIZE];
    for_each_root([&](const char* root) {
        if (compose(candidate, root, revision, name) >= 0) {
            line.append(separator).append(candidate).push_back('"');
            separator = ", \"";
        }
        return false;
    });
    os::diag_printf("%s\n", line.c_str());
}

// Where each board is on the buses as of the last rescan: bus and device name.
std::vector<std::string> board_places() {
    std::vector<std::string> places;
    for (int n = 0;; ++n) {
        struct usb_device* d = usrp_find_device(n);
        if (!d)
            return places;
        places.push_back(usrp_place(d));
    }
}

// Rescans until the loaded board is back: the buses list as many boards as before the firmware
// load (so the nth board is the same board again), and the board has been seen gone or one of
// them is at a place none was before. Right after the load the old device may still be listed
// until the hub notices that it left, at its next status poll; a Windows driver may give the
// board its old name again, so after REJOIN_TRUST_MS a full count alone will do. Gives up after
// REJOIN_WAIT_MS: on a board that never comes back the next lookup fails with its own message.
void wait_for_rejoin(const std::vector<std::string>& before) {
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    const clock::time_point trusted = start + std::chrono::milliseconds(REJOIN_TRUST_MS);
    const clock::time_point deadline = start + std::chrono::milliseconds(REJOIN_WAIT_MS);
    bool seen_gone = false;
    os::sleep_ms(0);
    for (;;) {
        usrp_rescan();
        const std::vector<std::string> now = board_places();
        const clock::time_point t = clock::now();
        if (now.size() < before.size()) {
            seen_gone = true;
        } else {
            bool moved = false;
            for (const std::string& place : now)
                moved = moved || std::find(before.begin(), before.end(), place) == before.end();
            if (seen_gone || moved || t >= trusted)
                return;
        }
        if (t >= deadline || !usrp_pause(REJOIN_POLL_MS))
            return;
    }
}

}  // namespace

const char* resolve_image_name(const char* name, const char* env_var, const char* default_name) {
    const char* chosen = default_name;
    if (name && name[0] != '\0') {
        chosen = name;
    } else {
        const char* env = std::getenv(env_var);
        if (env && env[0] != '\0')
            chosen = env;
    }
    size_t length = std::strlen(chosen);
    if (length > NAME_BUFFER_SIZE - 1) {
        os::diag_printf("usrp: image name too long (%zu characters, at most %d)\n", length,
                        NAME_BUFFER_SIZE - 1);
        return nullptr;
    }
    if (chosen != name)
        return chosen;
    std::memcpy(name_buffer, name, length + 1);
    return name_buffer;
}

const char* find_image_file(const char* name, int revision) {
    if (!name)
        return nullptr;
    bool found = for_each_root([&](const char* root) {
        return compose_path(root, revision, name) && readable(path_buffer);
    });
    return found ? path_buffer : nullptr;
}

load_status load_with_hash_check(const char* path, usb_dev_handle* udh, bool force, int slot,
                                 image_loader loader) {
    if (!readable(path)) {
        os::diag_perror(path);
        return LOAD_FAILED;
    }
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        os::diag_perror(path);
        return LOAD_FAILED;
    }
    md5_context md5;
    unsigned char piece[4096];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        md5.update(piece, n);
    bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error)
        return LOAD_FAILED;
    unsigned char digest[USRP_HASH_BYTES];
    md5.final(digest);

    if (!force) {
        unsigned char on_board[USRP_HASH_BYTES];
        if (usrp_fetch_hash(udh, slot, on_board) &&
            std::memcmp(on_board, digest, USRP_HASH_BYTES) == 0)
            return LOAD_SKIPPED;
    }
    return loader(udh, path, digest) ? LOAD_DONE : LOAD_FAILED;
}

load_status load_firmware_nth(int nth, const char* path) {
    struct usb_device* dev = usrp_find_device(nth);
    if (!dev) {
        os::diag_printf("usrp: failed to find usrp[%d]\n", nth);
        return LOAD_FAILED;
    }
    const std::vector<std::string> boards_before = board_places();
    usb_dev_handle* udh = usrp_open_interface(dev, CMD_INTERFACE);
    if (!udh) {
        os::diag_printf("open_nth_cmd_interface: open_cmd_interface failed\n");
        return LOAD_FAILED;
    }
    load_status status =
        load_with_hash_check(path, udh, false, FIRMWARE_HASH_SLOT, load_firmware_image);
    usb_close(udh);

    if (status == LOAD_DONE)
        wait_for_rejoin(boards_before);
    return status;
}

void report_load_status(const char* what, const char* path, load_status status) {
    switch (status) {
        case LOAD_FAILED:
            if (!usrp_abandoned())
                os::diag_printf("usrp: failed to load %s %s.\n", what, path);
            break;
        case LOAD_DONE:
            if (verbose())
                os::diag_printf("usrp: %s %s loaded successfully.\n", what, path);
            break;
        case LOAD_SKIPPED:
            if (verbose())
                os::diag_printf("usrp: %s %s already loaded.\n", what, path);
            break;
    }
}

bool usrp_load_standard_bits(int nth, const std::string& fpga_filename,
                             const std::string& firmware_filename) {
    struct usb_device* dev = usrp_find_device(nth);
    if (!dev) {
        os::diag_printf("usrp: failed to find usrp[%d]\n", nth);
        return false;
    }
    int revision = usrp_board_revision(dev);

    const char* name =
        resolve_image_name(firmware_filename.c_str(), "USRP_FIRMWARE", default_firmware);
    if (!name)
        return false;
    const char* path = find_image_file(name, revision);
    if (!path) {
        os::diag_printf("Can't find firmware: %s\n", name);
        report_tried_paths(name, revision);
        return false;
    }
    load_status status = load_firmware_nth(nth, path);
    report_load_status("firmware", path, status);
    if (status == LOAD_FAILED)
        return false;

    // Freshly started firmware always gets its bitstream again, whatever the slot says.
    bool force_fpga = status == LOAD_DONE;

    name = resolve_image_name(fpga_filename.c_str(), "USRP_FPGA", default_fpga);
    if (!name)
        return false;
    path = find_image_file(name, revision);
    if (!path) {
        os::diag_printf("Can't find fpga bitstream: %s\n", name);
        report_tried_paths(name, revision);
        return false;
    }
    usb_dev_handle* udh = open_nth_cmd_interface(nth);
    if (!udh)
        return false;
    status = load_with_hash_check(path, udh, force_fpga, FPGA_HASH_SLOT, load_fpga_image);
    usb_close(udh);
    report_load_status("fpga bitstream", path, status);
    return status != LOAD_FAILED;
}

bool image_check::loaded() const {
    return board_known && file_known && std::memcmp(board_md5, file_md5, USRP_HASH_BYTES) == 0;
}

image_check usrp_check_image(usb_dev_handle* udh, const char* name, int revision, int slot) {
    image_check c;
    const char* found = find_image_file(name, revision);
    c.path = found ? found : "";  // find_image_file's buffer is reused by its next call
    c.board_known = udh && usrp_fetch_hash(udh, slot, c.board_md5);
    c.file_known = !c.path.empty() && md5_file(c.path.c_str(), c.file_md5);
    return c;
}

std::string usrp_hex(const unsigned char* bytes, int n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}
