// What a person can do about each failure: the module's failure texts, a part of this program
// that cannot be loaded, no board on the bus. The advice names what this installation has (a
// build tree, the Debian package, the Windows ZIP) and whether the board is the simulated one.
#pragma once

#include <functional>
#include <string>

namespace capture {

// How this program was installed; fixed when it was built (ZALVO_INSTALLATION).
enum class Installation { build_tree, package, zip };
Installation installation();

// The parts this program loads at run time.
enum class Part { module, simulator, board_report };

// What to do when `part` could not be loaded from `path`; `named_by_user` when the path came
// from the command line (--module).
std::string advice_for_missing(Part part, const std::string& path, bool named_by_user);

// This run uses the simulated board; `placeholder_images` is the folder of the placeholder
// images it takes when USRP_PATH was not set. Later advice speaks of the simulated board.
void advise_for_simulator(const std::string& placeholder_images);

// What is on the bus after a failed start, and which image files the device layer finds for
// the first board there (see zalvo_capture_board_images in plugins.h).
struct BoardFacts {
    bool known = false;  // false: could not be looked at
    int boards = 0;
    int revision = -1;
    std::string firmware, fpga, missing, tried;
    std::string firmware_root;  // the search folder the firmware was found under
};
// How to look at the bus when the advice needs it.
void advise_with(std::function<BoardFacts()> look);

// Advice for one of the module's error-callback texts (a general line for texts it does not know).
std::string advice_for(const std::string& module_text);

// No USRP on the bus that "info" looked at.
std::string advice_for_no_board();

// The board stopped delivering data while streaming.
std::string advice_for_stall();

}  // namespace capture
