// The help text of the capture tool.
#include "options.h"

#include <string>

namespace capture {

std::string short_usage(const std::string& program) {
    return "usage: " + program + " [capture|simulate|info] [options]; " + program +
           " --help tells more\n";
}

namespace {

// What this build leaves out, for the help text.
std::string build_note() {
    std::string note;
    if (!ZALVO_CAPTURE_WAV)
        note += "This build writes no WAV files (no WAV library is built for this system):\n"
                "--format sigmf is the default and the only format.\n";
    if (!ZALVO_CAPTURE_PICTURES)
        note += "This build makes no pictures (no library for them is built for this system),\n"
                "and takes no --range.\n";
    return note.empty() ? note : note + "\n";
}

}  // namespace

std::string usage_text(const std::string& program) {
    return "usage: " + program +
           " [capture|simulate|info] [options]\n"
           "\n"
           "Records the receivers of a USRP board through the receiver module, as a host program\n"
           "does, and writes for each receiver a recording" +
           std::string(ZALVO_CAPTURE_PICTURES ? " and a picture" : "") +
           ".\n"
           "\n" +
           build_note() +
           "commands:\n"
           "  capture     record from the board on USB (the default)\n"
           "  simulate    the same on the simulated board (no hardware needed)\n"
           "  info        list the boards on USB: revision, firmware and FPGA digests against\n"
           "              the image files, daughterboards in slots 1 and 3\n"
           "\n"
           "options of capture and simulate:\n"
           "  -d, --duration SECONDS   seconds of signal to record (default 5)\n"
           "  -r, --rate HZ            output rate: 48000, 96000 or 192000 (or 48k, 96k, 192k;\n"
           "                           default 48000)\n"
           "  -f, --freq RX:HZ         tune receiver RX (0-3) to HZ at the start (HZ may end in\n"
           "                           k or M; defaults 3.52, 3.56, 3.60 and 3.64 MHz)\n"
           "      --retune T:RX:HZ     retune receiver RX to HZ once T seconds of signal are in\n"
           "                           (may be given several times)\n"
           "  -o, --out DIR            output folder (default out); its parent must exist\n"
           "      --format FORMAT      wav (default): rxN.wav, 32-bit float, I left, Q right,\n"
           "                           RF64 once a file passes 4 GiB; sigmf: rxN.sigmf-data\n"
           "                           (cf32_le) and rxN.sigmf-meta per receiver, tied together\n"
           "                           by capture.sigmf-collection\n"
           "      --receivers LIST     receivers to write, e.g. 0,2 (default all four)\n"
           "      --overwrite          replace output files left by an earlier run (without\n"
           "                           it, a run whose files exist stops before it starts)\n"
           "      --stop-on-loss       end the run at the first lost samples\n"
           "      --wait-for-board S   seconds a board that left the bus may stay away\n"
           "                           before the run ends (exit status 3; default: the rest\n"
           "                           of the run)\n"
           "      --raw                record the board's own stream below the module instead:\n"
           "                           raw.sigmf-data (ci16_le, four receivers interleaved at\n"
           "                           500 kHz, as the board delivers them) and raw.sigmf-meta\n"
           "      --replay META        simulate: the simulated board streams the raw recording\n"
           "                           META (a .sigmf-meta file of --raw) instead of its scene;\n"
           "                           the run is as long as the recording, tuned as it was\n"
           "                           (no --freq or --retune)\n" +
           std::string(ZALVO_CAPTURE_PICTURES
                           ? "      --range LOW:HIGH     pictures: colour range in dBFS (default: "
                             "from the data),\n"
                             "                           the same for every receiver\n"
                           : "") +
#ifdef _WIN32
           "  -m, --module PATH        the receiver module to load (default: ZalvoIntf.dll\n"
           "                           beside this program; a bare name is looked for in the\n"
           "                           current folder first)\n"
#else
           "  -m, --module PATH        the receiver module to load (default: the one that\n"
           "                           came with this tool, installed or built with it; a\n"
           "                           bare name is looked for in the current folder first)\n"
#endif
           "  -q, --quiet              no progress line, even on a terminal\n"
           "      --scene FILE         simulate: the simulator's scene file (default: its\n"
           "                           built-in scene, or the file named by USBSIM_SCENE);\n"
#ifdef _WIN32
           "                           the format is in simulator\\scene-files.txt\n"
#else
           "                           the format is in scene-files.md among the documents\n"
           "                           (/usr/share/doc/zalvointf; docs/ in the source)\n"
#endif
           "options of info:\n"
           "      --simulate           look at the simulated bus instead of the real one\n"
           "  -h, --help               this text"
#ifdef _WIN32
           " (also /? and -?)"
#endif
           "\n"
           "      --version            the versions of this program and of the module\n"
           "\n"
           "Files: samples are float I/Q at the output rate, full scale 1.0." +
           std::string(ZALVO_CAPTURE_PICTURES ? " Pictures are PNG:\n"
                                                "the spectrum (average and peak) above a "
                                                "waterfall."
                                              : "") +
           " Existing files are never\n"
           "replaced without --overwrite, and a run that fails before the first data leaves\n"
           "the output folder as it was.\n"
           "\n"
           "Scene levels (simulate): a carrier of L dBFS on converter input 0 shows in the\n"
           "output at about L + 17 dBFS: the module sets 20 dB of receive gain and reads\n"
           "input 0 as both I and Q (+3 dB), less the 6 dB of a real carrier split into its\n"
           "two sidebands and the resampler's small loss. The module's receiver mux feeds\n"
           "every receiver from input 0, so carriers on inputs 1-3 never appear.\n"
           "\n"
           "Lost samples: the module's overrun reports, instants the simulated board dropped\n"
           "and blocks this program fell behind on are each reported in the summary\n"
           "(SAMPLES LOST), marked in SigMF recordings, and end with exit status 4. The\n"
           "simulated board loses nothing with its default 2 MiB FIFO; a scene whose board\n"
           "line says pacing=real_time fifo=512 makes it drop samples as a board behind a\n"
           "busy host does. Samples at the board's 16-bit rails or at the output's full scale\n"
           "are reported per receiver (CLIPPING).\n"
           "\n"
           "A board that leaves the bus (unplugged, a hub reset) and comes back: the module\n"
           "brings it up again and the run goes on. Each absence is a BOARD AWAY line of the\n"
           "summary (when, how long, the samples missing in each receiver); a SigMF recording\n"
           "gets an annotation there and a new capture segment with the time the stream\n"
           "resumed; nothing is filled in; exit status 4. While the board is away the 5 s\n"
           "no-data rule waits; --wait-for-board limits the wait.\n"
           "\n"
#ifdef _WIN32
           "Environment: USRP_PATH names the folder with the firmware and FPGA images\n"
           "(rev<N>\\std.ihx, rev<N>\\std_4rx_0tx.rbf), set in the command prompt with\n"
           "set USRP_PATH=C:\\usrp; without it the module looks in \\usrp\\ on the current\n"
           "drive, then in .\\usrp\\, and simulate uses the placeholder images in\n"
           "simulator\\images\\ beside this program.\n"
           "\n"
           "Exit status: 0 done, 1 files could not be written (or exist already), 2 usage\n"
           "error, 3 module or device error, 4 recorded, but samples were lost, 130\n"
           "interrupted (Ctrl-C or Ctrl-Break; a second one ends at once).\n";
#else
           "Environment: USRP_PATH names the folder with the firmware and FPGA images\n"
           "(rev<N>/std.ihx, rev<N>/std_4rx_0tx.rbf); simulate uses the build's placeholder\n"
           "images when it is not set.\n"
           "\n"
           "Exit status: 0 done, 1 files could not be written (or exist already), 2 usage\n"
           "error, 3 module or device error, 4 recorded, but samples were lost, 130\n"
           "interrupted (Ctrl-C; a second Ctrl-C ends at once), 143 terminated.\n";
#endif
}

}  // namespace capture
