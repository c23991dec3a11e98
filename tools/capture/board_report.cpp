// The board report of the info command, over the device layer: each board on the bus, its
// revision, the firmware and FPGA digests kept on the board against the image files the module
// would load, and the daughterboards in the two receive slots.
#include "plugins.h"

#include "usrp_prims.h"

#include <cstdio>
#include <string>

namespace {

struct Printer {
    void (*line)(void*, const char*);
    void* context;
    void operator()(const std::string& text) const { line(context, text.c_str()); }
};

// One image: where the module would find it, and whether the board holds its digest.
void report_image(const Printer& print, usb_dev_handle* udh, const char* what, const char* name,
                  int revision, int slot) {
    const image_check c = usrp_check_image(udh, name, revision, slot);
    const std::string board_text =
        c.board_known ? usrp_hex(c.board_md5, USRP_HASH_BYTES) : "unreadable";
    if (c.path.empty()) {
        print(std::string("  ") + what + " " + name + ": no file rev" + std::to_string(revision) +
              "/" + name +
              " under USRP_PATH or the default folders (set USRP_PATH); digest on "
              "the board " +
              board_text);
        return;
    }
    if (!c.file_known) {
        print(std::string("  ") + what + " " + c.path + ": cannot be read; digest on the board " +
              board_text);
        return;
    }
    print(std::string("  ") + what + " " + c.path);
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
