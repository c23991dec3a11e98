#include "advice.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

// ZALVO_INSTALLATION: 0 a build tree (ZALVO_BUILD_DIR is its folder), 1 the Debian package
// (ZALVO_PACKAGE names it, ZALVO_IMAGE_ROOT is its images folder), 2 the Windows ZIP.
#ifndef ZALVO_INSTALLATION
#define ZALVO_INSTALLATION 0
#endif
#ifndef ZALVO_BUILD_DIR
#define ZALVO_BUILD_DIR "build"
#endif
#ifndef ZALVO_PACKAGE
#define ZALVO_PACKAGE "zalvointf"
#endif
#ifndef ZALVO_IMAGE_ROOT
#define ZALVO_IMAGE_ROOT "/usr/share/zalvo/usrp"
#endif

namespace capture {

namespace {

#ifdef _WIN32
constexpr bool WINDOWS = true;
#else
constexpr bool WINDOWS = false;
#endif

// The image files of a revision, written the system's way.
const char* const IMAGE_FILES = WINDOWS ? "rev<N>\\std.ihx and rev<N>\\std_4rx_0tx.rbf"
                                        : "rev<N>/std.ihx and rev<N>/std_4rx_0tx.rbf";

bool g_simulated = false;
std::string g_placeholders;
std::function<BoardFacts()> g_look;

// Where the Windows guide is for this installation.
std::string windows_guide() {
    return installation() == Installation::zip ? "GUIDE.txt" : "docs/windows-guide.txt";
}

std::string usrp_path_now() {
    const char* p = std::getenv("USRP_PATH");
    return p && *p ? std::string("USRP_PATH is now \"") + p + "\"" : "USRP_PATH is not set";
}

std::string images_hint() {
    std::string where;
    switch (installation()) {
        case Installation::package:
            where = " The module looks there first, then in " ZALVO_IMAGE_ROOT
                    "/rev<N>/ and ./usrp/rev<N>/.";
            break;
        case Installation::zip:
            where = " The module looks there first, then in \\usrp\\rev<N>\\ on the current "
                    "drive and in .\\usrp\\rev<N>\\ (" +
                    windows_guide() + ", section 4).";
            break;
        case Installation::build_tree: break;
    }
    return std::string("Set USRP_PATH to the folder that holds ") + IMAGE_FILES +
           " for your board's revision (" + usrp_path_now() + ")." + where;
}

std::string board_access_hint() {
    if (WINDOWS)
        return "Check that the board is plugged in and powered, and that its driver is "
               "libusb-win32 (" +
               windows_guide() + ", section 3)";
    return "Check that the board is plugged in and powered, and that you may open it (a udev "
           "rule for vendor 0xfffe, product 0x0002, or run as root)";
}

// What to do about the simulated board's images when USRP_PATH or the placeholders hold none.
std::string simulated_images_hint() {
    const char* p = std::getenv("USRP_PATH");
    const std::string now = p ? p : "";
    if (now.empty() || now == g_placeholders)
        return "the placeholder images in \"" + g_placeholders + "\" (" + IMAGE_FILES +
               ") are missing";
    return "USRP_PATH is set to \"" + now +
           "\", which holds no images for it; unset USRP_PATH to use the placeholder images in "
           "\"" +
           g_placeholders + "\"";
}

std::string simulated_board_hint() {
    return "The simulated board could not be brought up: either " + simulated_images_hint() +
           ", or the scene file describes no USRP board. The device layer's messages above "
           "tell which step failed.";
}

// The cause of a failed start, from what is on the bus now; empty when nothing was learnt.
std::string start_failure_from(const BoardFacts& f) {
    const std::string steps = " The device layer's messages above tell which step failed.";
    if (!f.known)
        return "";
    if (f.boards == 0) {
        if (g_simulated)
            return "No board is on the simulated bus now: either the scene describes no USRP "
                   "board, or "
                   "the board left the bus when its firmware was loaded and did not come back "
                   "(a board line with rejoin_ms=never does that)." +
                   steps;
        return "No USRP is on the bus now: either none is plugged in, or the board left the bus "
               "when its firmware was loaded and did not come back (unplug it and plug it in "
               "again). " +
               board_access_hint() + "." + steps;
    }
    if (!f.missing.empty()) {
        const std::string searched = "The image " + f.missing + " for the board's revision " +
                                     std::to_string(f.revision) +
                                     " was not found; searched, in "
                                     "order: " +
                                     f.tried + ". ";
        if (g_simulated)
            return searched + "For the simulated board: " + simulated_images_hint() + ".";
        return searched + images_hint();
    }
    return "The board is on the bus and its images were found (" + f.firmware + ", " + f.fpga +
           ")." + (g_simulated ? "" : " " + board_access_hint() + ".") + steps;
}

// The same part again, for each installation.
std::string reinstall(const char* what) {
    switch (installation()) {
        case Installation::build_tree:
            return std::string("Build it with: cmake --build ") + ZALVO_BUILD_DIR + " --target " +
                   what;
        case Installation::package:
            return "It belongs to the package " ZALVO_PACKAGE
                   ": install it again (sudo apt install --reinstall " ZALVO_PACKAGE ")";
        case Installation::zip:
            return "It belongs beside zalvo_capture.exe, as in the ZIP: unpack the whole ZIP "
                   "again";
    }
    return "";
}

}  // namespace

Installation installation() {
    return static_cast<Installation>(ZALVO_INSTALLATION);
}

void advise_with(std::function<BoardFacts()> look) {
    g_look = std::move(look);
}

void advise_for_simulator(const std::string& placeholder_images) {
    g_simulated = true;
    g_placeholders = placeholder_images;
}

std::string advice_for_missing(Part part, const std::string& path, bool named_by_user) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        // The file is there: a library it needs is not (on Windows without the simulator:
        // libusb0.dll), or it is not a library of this system.
        if (WINDOWS && !g_simulated)
            return "Install the board's USB driver, libusb-win32, which brings libusb0.dll (" +
                   windows_guide() +
                   ", section 3); without a board, \"info --simulate\" and \"simulate\" use the "
                   "simulated one.";
        if (installation() == Installation::package)
            return "The libraries it needs are the package's dependencies: sudo apt install -f "
                   "installs them.";
        return "The reason above tells why it could not be loaded.";
    }
    if (named_by_user)
        return "Check the path given with --module (a bare name is looked for in the current "
               "folder).";
    switch (part) {
        case Part::module: return reinstall("ZalvoIntf") + ", or name a module with --module PATH.";
        case Part::simulator:
            if (installation() == Installation::zip)
                return "simulate needs the ZIP's folder simulator\\ beside zalvo_capture.exe "
                       "(the simulated board as simulator\\libusb0.dll, its placeholder images "
                       "in simulator\\images\\): unpack the whole ZIP again.";
            return reinstall("zalvo_capture_sim") + ".";
        case Part::board_report: return reinstall("zalvo_capture_board") + ".";
    }
    return "";
}

std::string advice_for(const std::string& t) {
    if (t == "Can't create instance of USRP Rx device") {
        const std::string known = start_failure_from(g_look ? g_look() : BoardFacts{});
        if (!known.empty())
            return known;
        if (g_simulated)
            return simulated_board_hint();
        return "No USRP board could be opened and brought up. " + board_access_hint() +
               "; \"info\" lists the boards found. If it is found, its firmware or FPGA image "
               "may be missing: " +
               images_hint() + " The device layer's messages above tell which step failed.";
    }
    if (t == "Unknown sample rate")
        return "The module refused the output rate; use --rate 48000, 96000 or 192000.";
    if (t == "Low memory")
        return "The module could not allocate its sample buffers. Close other programs or use "
               "a lower --rate, then try again.";
    if (t == "Can't initialize resamplers")
        return "The module's resamplers refused the rates; this is a fault in the module. "
               "Report it together with the --rate you used.";
    if (t == "Can't start worker thread")
        return WINDOWS ? "The system refused to start another thread. Close other programs, "
                         "then try again."
                       : "The system refused to start another thread. Check the process and "
                         "thread limits (ulimit -u) and free resources, then try again.";
    return "The module reported a failure this tool does not know; see the messages above.";
}

std::string advice_for_stall() {
    if (g_simulated)
        return "The simulated board stopped as its scene file makes it (a board line with "
               "fifo=0 never delivers); the device layer's messages above tell more.";
    return "Check that it is still plugged in and powered; the device layer's messages above "
           "tell more.";
}

std::string advice_for_no_board() {
    if (g_simulated)
        return "The simulator's scene describes no USRP board (USBSIM_SCENE names the file).";
    return board_access_hint() + ".";
}

}  // namespace capture
