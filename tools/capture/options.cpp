#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace capture {

namespace {

constexpr double MAX_DURATION_S = 24 * 3600.0;
constexpr double MAX_FREQUENCY_HZ = 32e6;  // the converter's Nyquist frequency

bool parse_number(const std::string& text, double* value) {
    // Plain decimal only (strtod would also take hexadecimal, "inf" and leading blanks).
    if (text.empty() || text.find_first_not_of("0123456789.+-eE") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool parse_receiver(const std::string& text, int* receiver) {
    if (text.size() != 1 || text[0] < '0' || text[0] >= '0' + RECEIVERS)
        return false;
    *receiver = text[0] - '0';
    return true;
}

// Splits at ':' into exactly `count` parts.
bool split(const std::string& text, size_t count, std::vector<std::string>* parts) {
    parts->clear();
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts->push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return parts->size() == count;
}

}  // namespace

int rate_index(int rate_hz) {
    switch (rate_hz) {
        case 48000: return 0;
        case 96000: return 1;
        case 192000: return 2;
        default: return -1;
    }
}

bool parse_frequency(const std::string& text, int32_t* hz) {
    if (text.empty())
        return false;
    std::string digits = text;
    double scale = 1;
    char last = digits.back();
    if (last == 'k' || last == 'K') {
        scale = 1e3;
        digits.pop_back();
    } else if (last == 'M') {
        scale = 1e6;
        digits.pop_back();
    }
    double v = 0;
    if (!parse_number(digits, &v))
        return false;
    v *= scale;
    double whole = std::round(v);
    if (std::fabs(v - whole) > 1e-6 || whole < 0 || whole > MAX_FREQUENCY_HZ)
        return false;
    *hz = static_cast<int32_t>(whole);
    return true;
}

std::string short_usage(const std::string& program) {
    return "usage: " + program + " [capture|simulate|info] [options]; " + program +
           " --help tells more\n";
}

std::string usage_text(const std::string& program) {
    return "usage: " + program +
           " [capture|simulate|info] [options]\n"
           "\n"
           "Records the four receivers of a USRP board through the receiver module, as a host\n"
           "program does, and writes for each receiver a WAV file and a picture.\n"
           "\n"
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
           "  -o, --out DIR            output folder (default out); it receives rx0.wav to\n"
           "                           rx3.wav and rx0.png to rx3.png\n"
           "  -m, --module PATH        the receiver module to load (default: the one built\n"
           "                           with this tool)\n"
           "  -q, --quiet              no progress line, even on a terminal\n"
           "      --scene FILE         simulate: the simulator's scene file (default: its\n"
           "                           built-in scene, or the file named by USBSIM_SCENE)\n"
           "options of info:\n"
           "      --simulate           look at the simulated bus instead of the real one\n"
           "  -h, --help               this text\n"
           "\n"
           "Files: WAV files hold 32-bit float I (left) and Q (right) at the output rate, full\n"
           "scale 1.0. Pictures are PNG: the spectrum (average and peak) above a waterfall.\n"
           "\n"
           "Environment: USRP_PATH names the folder with the firmware and FPGA images\n"
           "(rev<N>/std.ihx, rev<N>/std_4rx_0tx.rbf); simulate uses the build's placeholder\n"
           "images when it is not set.\n"
           "\n"
           "Exit status: 0 done, 1 files could not be written, 2 usage error, 3 module or\n"
           "device error, 130 interrupted (Ctrl-C), 143 terminated.\n";
}

ParseResult parse_options(int argc, char** argv) {
    ParseResult r;
    Options& o = r.options;
    std::vector<char*> args(argv, argv + argc);
    if (args.size() > 1 && args[1][0] != '-') {
        std::string word = args[1];
        if (word == "capture")
            o.command = Command::capture;
        else if (word == "simulate")
            o.command = Command::simulate;
        else if (word == "info")
            o.command = Command::info;
        else if (word == "help")
            o.command = Command::help;
        else {
            r.error = "unknown command '" + word + "'";
            return r;
        }
        args.erase(args.begin() + 1);
    }
    args.push_back(nullptr);

    enum { OPT_RETUNE = 1000, OPT_SCENE, OPT_SIMULATE };
    static const struct option longs[] = {
        {"duration", required_argument, nullptr, 'd'},
        {"rate", required_argument, nullptr, 'r'},
        {"freq", required_argument, nullptr, 'f'},
        {"retune", required_argument, nullptr, OPT_RETUNE},
        {"out", required_argument, nullptr, 'o'},
        {"module", required_argument, nullptr, 'm'},
        {"quiet", no_argument, nullptr, 'q'},
        {"scene", required_argument, nullptr, OPT_SCENE},
        {"simulate", no_argument, nullptr, OPT_SIMULATE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    int count = static_cast<int>(args.size()) - 1;
    optind = 0;  // full re-initialisation (glibc), so that parsing may be repeated
    opterr = 0;
    bool capture_option_seen = false;
    std::vector<std::string> parts;
    for (;;) {
        int c = getopt_long(count, args.data(), "+:d:r:f:o:m:qh", longs, nullptr);
        if (c == -1)
            break;
        std::string arg = optarg ? optarg : "";
        switch (c) {
            case 'd': {
                double d = 0;
                if (!parse_number(arg, &d) || d <= 0 || d > MAX_DURATION_S) {
                    r.error =
                        "--duration takes seconds above 0 and at most 86400, not '" + arg + "'";
                    return r;
                }
                o.duration_s = d;
                capture_option_seen = true;
                break;
            }
            case 'r': {
                std::string t = arg;
                if (t == "48k" || t == "96k" || t == "192k")
                    t = t.substr(0, t.size() - 1) + "000";
                double v = 0;
                if (!parse_number(t, &v) || rate_index(static_cast<int>(v)) < 0 ||
                    v != std::floor(v)) {
                    r.error = "--rate is 48000, 96000 or 192000, not '" + arg + "'";
                    return r;
                }
                o.rate_hz = static_cast<int>(v);
                capture_option_seen = true;
                break;
            }
            case 'f': {
                int rx = 0;
                int32_t hz = 0;
                if (!split(arg, 2, &parts) || !parse_receiver(parts[0], &rx) ||
                    !parse_frequency(parts[1], &hz)) {
                    r.error = "--freq takes RX:HZ with RX 0 to 3 and HZ from 0 to 32 MHz, not '" +
                              arg + "'";
                    return r;
                }
                o.freq_hz[rx] = hz;
                capture_option_seen = true;
                break;
            }
            case OPT_RETUNE: {
                Retune t;
                if (!split(arg, 3, &parts) || !parse_number(parts[0], &t.at_seconds) ||
                    t.at_seconds < 0 || !parse_receiver(parts[1], &t.receiver) ||
                    !parse_frequency(parts[2], &t.hz)) {
                    r.error = "--retune takes T:RX:HZ (seconds, receiver 0 to 3, Hz from 0 to 32 "
                              "MHz), not '" +
                              arg + "'";
                    return r;
                }
                o.retunes.push_back(t);
                capture_option_seen = true;
                break;
            }
            case 'o':
                if (arg.empty()) {
                    r.error = "--out needs a folder";
                    return r;
                }
                o.out_dir = arg;
                capture_option_seen = true;
                break;
            case 'm':
                if (arg.empty()) {
                    r.error = "--module needs a path";
                    return r;
                }
                o.module_path = arg;
                break;
            case 'q': o.quiet = true; break;
            case OPT_SCENE:
                if (o.command != Command::simulate) {
                    r.error = "--scene belongs to the simulate command";
                    return r;
                }
                o.scene_path = arg;
                break;
            case OPT_SIMULATE:
                if (o.command != Command::info) {
                    r.error = "--simulate belongs to the info command (use the simulate command)";
                    return r;
                }
                o.info_simulated = true;
                break;
            case 'h': o.command = Command::help; break;
            case ':':
                r.error = std::string("option ") + args[optind - 1] + " needs a value";
                return r;
            default:
                if (optopt)
                    r.error = std::string("unknown option -") + static_cast<char>(optopt);
                else
                    r.error = std::string("unknown option ") + args[optind - 1];
                return r;
        }
    }
    if (optind < count) {
        r.error = std::string("unexpected argument '") + args[optind] + "'";
        return r;
    }
    if (o.command == Command::info && capture_option_seen) {
        r.error = "info takes no capture options";
        return r;
    }
    std::stable_sort(o.retunes.begin(), o.retunes.end(),
                     [](const Retune& a, const Retune& b) { return a.at_seconds < b.at_seconds; });
    for (const Retune& t : o.retunes) {
        if (t.at_seconds >= o.duration_s) {
            char text[96];
            std::snprintf(text, sizeof text, "a retune at %g s falls after the end of the capture",
                          t.at_seconds);
            r.error = text;
            return r;
        }
    }
    r.ok = true;
    return r;
}

}  // namespace capture
