// The board report of the info command, over the device layer: each board on the bus, its
// revision, the firmware and FPGA digests kept on the board against the image files the module
// would load, and the daughterboards in the two receive slots.
#include "plugins.h"

#include "os.h"
#include "usrp_prims.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Printer {
    void (*line)(void*, const char*);
    void* context;
    void operator()(const std::string& text) const { line(context, text.c_str()); }
};

// A path as the system writes it: the device layer joins its parts with '/'.
std::string native(std::string path) {
#ifdef _WIN32
    for (char& c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

// The search folders in the device layer's order: USRP_PATH when it is set, then the system's.
std::vector<std::string> search_roots() {
    std::vector<std::string> roots;
    if (const char* given = std::getenv("USRP_PATH"))
        roots.push_back(given);
    for (const char* const* root = os::default_image_roots(); *root; ++root)
        roots.push_back(*root);
    return roots;
}

std::string image_under(const std::string& root, int revision, const char* name) {
    return native(root + "/rev" + std::to_string(revision) + "/" + name);
}

// Every path tried for an image, in order, each in double quotes.
std::string tried_paths(const char* name, int revision) {
    std::string list;
    for (const std::string& root : search_roots())
        list += (list.empty() ? "\"" : ", \"") + image_under(root, revision, name) + "\"";
    return list;
}

void copy_text(char* to, size_t size, const std::string& text) {
    std::snprintf(to, size, "%s", text.c_str());
}

// One image: where the module would find it, and whether the board holds its digest.
void report_image(const Printer& print, usb_dev_handle* udh, const char* what, const char* name,
                  int revision, int slot) {
    const image_check c = usrp_check_image(udh, name, revision, slot);
    const std::string board_text =
        c.board_known ? usrp_hex(c.board_md5, USRP_HASH_BYTES) : "unreadable";
    if (c.path.empty()) {
        print(std::string("  ") + what + " " + name + ": not found; searched " +
              tried_paths(name, revision) + "; digest on the board " + board_text);
        return;
    }
    if (!c.file_known) {
        print(std::string("  ") + what + " " + native(c.path) +
              ": cannot be read; digest on the board " + board_text);
        return;
    }
    print(std::string("  ") + what + " " + native(c.path));
    print("      file " + usrp_hex(c.file_md5, USRP_HASH_BYTES) + ", board " + board_text + ": " +
          (c.loaded() ? "match (already loaded)" : "differ (the next capture loads it)"));
}

}  // namespace

extern "C" ZALVO_CAPTURE_EXPORT int
zalvo_capture_board_report(void (*line)(void* context, const char* text), void* context) {
    Printer print{line, context};
    int count = 0;
    for (int nth = 0;; ++nth) {
        struct usb_device* dev = usrp_find_device(nth);
        if (!dev)
            break;
        ++count;
        const int revision = usrp_board_revision(dev);
        char bcd[16];
        std::snprintf(bcd, sizeof bcd, "0x%04x", static_cast<unsigned>(dev->descriptor.bcdDevice));
        print("board " + std::to_string(nth) + ": bus " +
              std::string(dev->bus ? dev->bus->dirname : "?") + ", device " + dev->filename +
              ", revision " + std::to_string(revision) + " (bcdDevice " + bcd + ")");
        usb_dev_handle* udh = open_cmd_interface(dev);
        if (!udh)
#ifdef _WIN32
            print("  cannot open its command interface (in use by another program, or its "
                  "driver is not libusb-win32)");
#else
            print("  cannot open its command interface (in use by another program, or no "
                  "permission: a udev rule or root is needed)");
#endif
        report_image(print, udh, "firmware", USRP_FIRMWARE_IMAGE, revision, FIRMWARE_HASH_SLOT);
        report_image(print, udh, "FPGA bitstream", USRP_FPGA_IMAGE_4RX, revision, FPGA_HASH_SLOT);
        if (udh) {
            const bool running = usrp_firmware_running(udh);
            for (int slot : {1, 3}) {
                std::string where = "  daughterboard slot " + std::to_string(slot) +
                                    (slot == 1 ? " (receive A): " : " (receive B): ");
                if (!running) {
                    print(where + "not readable until the board's firmware runs (a capture "
                                  "loads it)");
#ifdef _WIN32
                    // libusb-win32 sets no errno, so the device layer reports the refused
                    // status request of a board without firmware on standard error.
                    if (slot == 1)
                        std::fprintf(stderr, "  (the failed usb_control_msg is the firmware "
                                             "check of a board whose firmware is not loaded yet: "
                                             "expected)\n");
#endif
                    continue;
                }
                const int id = usrp_dboard_id(udh, slot);
                char idtext[32] = "";
                if (id >= 0)
                    std::snprintf(idtext, sizeof idtext, " (id 0x%04x)", static_cast<unsigned>(id));
                print(where + usrp_dboard_id_name(id) + idtext);
            }
            usb_close(udh);
        }
    }
    return count;
}

extern "C" ZALVO_CAPTURE_EXPORT int zalvo_capture_find_images(zalvo_capture_board_images* images) {
    *images = zalvo_capture_board_images{};
    images->revision = -1;
    for (;; ++images->boards)
        if (!usrp_find_device(images->boards))
            break;
    if (images->boards == 0)
        return 0;
    const int revision = usrp_board_revision(usrp_find_device(0));
    images->revision = revision;
    for (const char* name : {USRP_FIRMWARE_IMAGE, USRP_FPGA_IMAGE_4RX}) {
        const char* found = find_image_file(name, revision);
        if (!found) {
            if (!images->missing[0]) {
                copy_text(images->missing, sizeof images->missing, name);
                copy_text(images->tried, sizeof images->tried, tried_paths(name, revision));
            }
            continue;
        }
        const std::string path = native(found);
        copy_text(name == USRP_FIRMWARE_IMAGE ? images->firmware : images->fpga,
                  sizeof images->fpga, path);
        if (name != USRP_FIRMWARE_IMAGE)
            continue;
        for (const std::string& root : search_roots()) {
            if (image_under(root, revision, name) == path) {
                copy_text(images->firmware_root, sizeof images->firmware_root, native(root));
                break;
            }
        }
    }
    return images->boards;
}
