#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
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

// A command-line value inside a message: quoted, with line breaks and other control characters
// written as escapes, so that the message stays one line.
std::string quoted(const std::string& text) {
    std::string q = "'";
    for (unsigned char c : text) {
        if (c == '\n')
            q += "\\n";
        else if (c == '\r')
            q += "\\r";
        else if (c == '\t')
            q += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            q += hex;
        } else
            q += static_cast<char>(c);
    }
    return q + "'";
}

// Command words and format names are taken in either case (Windows users type SIMULATE or WAV).
std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
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

namespace {

// One parse: the options so far, the error that ends it, and what the checks of the options
// together need to know.
struct ParseState {
    ParseState(Options& options, std::string& error_text) : o(options), error(error_text) {}

    Options& o;
    std::string& error;
    bool capture_option_seen = false;
    bool format_given = false, rate_given = false, freq_given = false;
    bool board_wait_given = false;
    std::vector<std::string> parts;  // scratch for split()

    bool fail(const std::string& text) {
        error = text;
        return false;
    }
};

// Each option's handler takes its value (empty for options without one); false with the error.
using Handler = bool (*)(ParseState& p, const std::string& arg);

bool take_duration(ParseState& p, const std::string& arg) {
    double d = 0;
    if (!parse_number(arg, &d) || d <= 0 || d > MAX_DURATION_S)
        return p.fail("--duration takes seconds above 0 and at most 86400, not " + quoted(arg));
    p.o.duration_s = d;
    p.o.duration_given = true;
    return true;
}

bool take_rate(ParseState& p, const std::string& arg) {
    std::string t = arg;
    if (!t.empty() && (t.back() == 'k' || t.back() == 'K'))
        t = t.substr(0, t.size() - 1) + "000";
    double v = 0;
    if (!parse_number(t, &v) || rate_index(static_cast<int>(v)) < 0 || v != std::floor(v))
        return p.fail("--rate is 48000, 96000 or 192000, not " + quoted(arg));
    p.o.rate_hz = static_cast<int>(v);
    p.rate_given = true;
    return true;
}

bool take_freq(ParseState& p, const std::string& arg) {
    int rx = 0;
    int32_t hz = 0;
    if (!split(arg, 2, &p.parts) || !parse_receiver(p.parts[0], &rx) ||
        !parse_frequency(p.parts[1], &hz))
        return p.fail("--freq takes RX:HZ with RX 0 to 3 and HZ from 0 to 32 MHz, not " +
                      quoted(arg));
    p.o.freq_hz[rx] = hz;
    p.freq_given = true;
    return true;
}

bool take_retune(ParseState& p, const std::string& arg) {
    Retune t;
    if (!split(arg, 3, &p.parts) || !parse_number(p.parts[0], &t.at_seconds) || t.at_seconds < 0 ||
        !parse_receiver(p.parts[1], &t.receiver) || !parse_frequency(p.parts[2], &t.hz))
        return p.fail("--retune takes T:RX:HZ (seconds, receiver 0 to 3, Hz from 0 to 32 MHz), "
                      "not " +
                      quoted(arg));
    p.o.retunes.push_back(t);
    return true;
}

bool take_out(ParseState& p, const std::string& arg) {
    if (arg.empty())
        return p.fail("--out needs a folder");
    if (arg == "-")
        return p.fail("--out names a folder; the recording cannot go to standard output");
    // One kind of separator (Windows takes both), and no trailing one: "C:\\rec\\" is the
    // folder rec, whose parent is C:\\ (a root keeps its separator).
    std::string dir = arg;
#ifdef _WIN32
    std::replace(dir.begin(), dir.end(), '/', '\\');
    const char separator = '\\';
    const size_t root = dir.size() >= 2 && dir[1] == ':' ? 3 : 1;
#else
    const char separator = '/';
    const size_t root = 1;
#endif
    while (dir.size() > root && dir.back() == separator)
        dir.pop_back();
    p.o.out_dir = dir;
    return true;
}

bool take_module(ParseState& p, const std::string& arg) {
    if (arg.empty())
        return p.fail("--module needs a path");
    p.o.module_path = arg;
    return true;
}

bool take_scene(ParseState& p, const std::string& arg) {
    if (p.o.command != Command::simulate)
        return p.fail("--scene belongs to the simulate command");
    p.o.scene_path = arg;
    return true;
}

bool take_simulate(ParseState& p, const std::string&) {
    if (p.o.command != Command::info)
        return p.fail("--simulate belongs to the info command (use the simulate command)");
    p.o.info_simulated = true;
    return true;
}

bool take_format(ParseState& p, const std::string& arg) {
    const std::string name = lower(arg);
    if (name == "wav")
        p.o.format = Format::wav;
    else if (name == "sigmf")
        p.o.format = Format::sigmf;
    else
        return p.fail("--format is wav or sigmf, not " + quoted(arg));
    p.format_given = true;
    return true;
}

bool take_receivers(ParseState& p, const std::string& arg) {
    std::array<bool, RECEIVERS> chosen{};
    bool good = !arg.empty();
    size_t start = 0;
    while (good) {
        size_t comma = arg.find(',', start);
        int rx = 0;
        if (!parse_receiver(arg.substr(start, comma - start), &rx) || chosen[rx])
            good = false;
        else
            chosen[rx] = true;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (!good)
        return p.fail("--receivers takes a list of distinct receivers 0 to 3 such as 0,2, not " +
                      quoted(arg));
    p.o.record = chosen;
    return true;
}

bool take_replay(ParseState& p, const std::string& arg) {
    if (p.o.command != Command::simulate)
        return p.fail("--replay belongs to the simulate command");
    p.o.replay_path = arg;
    return true;
}

bool take_range(ParseState& p, const std::string& arg) {
    if (!ZALVO_CAPTURE_PICTURES)
        return p.fail("--range sets the pictures' colours, and this build makes no pictures");
    if (!split(arg, 2, &p.parts) || !parse_number(p.parts[0], &p.o.range_low_db) ||
        !parse_number(p.parts[1], &p.o.range_high_db) || p.o.range_low_db >= p.o.range_high_db)
        return p.fail("--range takes LOW:HIGH in dBFS with LOW below HIGH, not " + quoted(arg));
    p.o.range_set = true;
    return true;
}

bool take_board_wait(ParseState& p, const std::string& arg) {
    double s = 0;
    if (!parse_number(arg, &s) || s <= 0 || s > MAX_DURATION_S)
        return p.fail("--wait-for-board takes seconds above 0 and at most 86400, not " +
                      quoted(arg));
    p.o.board_wait_s = s;
    p.board_wait_given = true;
    return true;
}

struct OptionRow {
    const char* name;
    char letter;  // the short form; 0: none
    bool takes_value;
    bool capture_option;  // a setting of capture and simulate, which info does not take
    Handler handle;
};

const OptionRow OPTIONS[] = {
    {"duration", 'd', true, true, take_duration},
    {"rate", 'r', true, true, take_rate},
    {"freq", 'f', true, true, take_freq},
    {"retune", 0, true, true, take_retune},
    {"out", 'o', true, true, take_out},
    {"module", 'm', true, false, take_module},
    {"quiet", 'q', false, false,
     [](ParseState& p, const std::string&) {
         p.o.quiet = true;
         return true;
     }},
    {"scene", 0, true, false, take_scene},
    {"simulate", 0, false, false, take_simulate},
    {"help", 'h', false, false,
     [](ParseState& p, const std::string&) {
         p.o.command = Command::help;
         return true;
     }},
    {"version", 0, false, false,
     [](ParseState& p, const std::string&) {
         p.o.command = Command::version;
         return true;
     }},
    {"overwrite", 0, false, true,
     [](ParseState& p, const std::string&) {
         p.o.overwrite = true;
         return true;
     }},
    {"stop-on-loss", 0, false, true,
     [](ParseState& p, const std::string&) {
         p.o.stop_on_loss = true;
         return true;
     }},
    {"wait-for-board", 0, true, true, take_board_wait},
    {"format", 0, true, true, take_format},
    {"receivers", 0, true, true, take_receivers},
    {"range", 0, true, true, take_range},
    {"raw", 0, false, true,
     [](ParseState& p, const std::string&) {
         p.o.raw = true;
         return true;
     }},
    {"replay", 0, true, false, take_replay},
};

constexpr int LONG_ONLY = 1000;  // getopt's code of OPTIONS[i] without a letter: LONG_ONLY + i

const OptionRow* option_for_code(int code) {
    for (size_t i = 0; i < sizeof OPTIONS / sizeof OPTIONS[0]; ++i)
        if (OPTIONS[i].letter ? code == OPTIONS[i].letter : code == LONG_ONLY + int(i))
            return &OPTIONS[i];
    return nullptr;
}

// "/?" and "-?", the Windows way of asking for help, first or after the command word.
bool asks_for_help(const std::vector<char*>& args, size_t at) {
    return args.size() > at &&
           (std::strcmp(args[at], "/?") == 0 || std::strcmp(args[at], "-?") == 0);
}

// The first word, when it is not an option, names the command; it is taken out of `args`.
bool take_command(std::vector<char*>* args, Options* o, std::string* error) {
    if (args->size() <= 1 || (*args)[1][0] == '-')
        return true;
    const std::string word = lower((*args)[1]);
    if (word == "capture")
        o->command = Command::capture;
    else if (word == "simulate")
        o->command = Command::simulate;
    else if (word == "info")
        o->command = Command::info;
    else if (word == "help")
        o->command = Command::help;
    else {
        *error = "unknown command " + quoted((*args)[1]);
        return false;
    }
    args->erase(args->begin() + 1);
    return true;
}

// The options after the command, each through its handler; no other arguments are taken.
bool take_options(std::vector<char*> args, ParseState& p) {
    std::vector<struct option> longs;
    std::string letters = "+:";
    for (size_t i = 0; i < sizeof OPTIONS / sizeof OPTIONS[0]; ++i) {
        const OptionRow& s = OPTIONS[i];
        const int code = s.letter ? s.letter : LONG_ONLY + int(i);
        longs.push_back({s.name, s.takes_value ? required_argument : no_argument, nullptr, code});
        if (s.letter)
            letters += std::string(1, s.letter) + (s.takes_value ? ":" : "");
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    args.push_back(nullptr);

    const int count = static_cast<int>(args.size()) - 1;
    optind = 0;  // full re-initialisation (glibc), so that parsing may be repeated
    opterr = 0;
    for (;;) {
        const int c = getopt_long(count, args.data(), letters.c_str(), longs.data(), nullptr);
        if (c == -1)
            break;
        if (c == ':')
            return p.fail(std::string("option ") + args[optind - 1] + " needs a value");
        const OptionRow* s = option_for_code(c);
        if (!s) {
            if (optopt)
                return p.fail(std::string("unknown option -") + static_cast<char>(optopt));
            return p.fail(std::string("unknown option ") + args[optind - 1]);
        }
        if (!s->handle(p, optarg ? optarg : ""))
            return false;
        p.capture_option_seen |= s->capture_option;
    }
    if (optind < count)
        return p.fail("unexpected argument " + quoted(args[optind]));
    return true;
}

// What the options say together: each was valid on its own. Sorts the retunes by time.
bool check_together(ParseState& p) {
    Options& o = p.o;
    if (o.command == Command::info && p.capture_option_seen)
        return p.fail("info takes no capture options");
    if (!ZALVO_CAPTURE_WAV && o.format == Format::wav)
        return p.fail("--format wav: this build writes no WAV files (no WAV library is built for "
                      "this system); use --format sigmf");
    if (o.raw) {
        const bool all = o.record[0] && o.record[1] && o.record[2] && o.record[3];
        if (!o.retunes.empty() || !all || o.range_set || p.format_given || p.rate_given)
            return p.fail(std::string("--raw records the board's stream of all four receivers at "
                                      "500 kHz as SigMF, without --retune, --receivers, ") +
                          (ZALVO_CAPTURE_PICTURES ? "--range, " : "") + "--format or --rate");
    }
    if (o.raw && p.board_wait_given)
        return p.fail("--wait-for-board: --raw reads the board below the module, and a board that "
                      "leaves the bus ends such a run");
    if (!o.replay_path.empty() && (p.freq_given || !o.retunes.empty()))
        return p.fail("--replay streams the recording as its receivers were tuned: --freq and "
                      "--retune cannot change it");
    std::stable_sort(o.retunes.begin(), o.retunes.end(),
                     [](const Retune& a, const Retune& b) { return a.at_seconds < b.at_seconds; });
    for (const Retune& t : o.retunes) {
        if (t.at_seconds >= o.duration_s) {
            char text[160];
            std::snprintf(text, sizeof text,
                          t.at_seconds == o.duration_s
                              ? "a retune at %g s falls at the end of the capture (--duration "
                                "%g): no signal would follow it"
                              : "a retune at %g s falls after the end of the capture (--duration "
                                "%g)",
                          t.at_seconds, o.duration_s);
            return p.fail(text);
        }
    }
    return true;
}

}  // namespace

ParseResult parse_options(int argc, char** argv) {
    ParseResult r;
    std::vector<char*> args(argv, argv + argc);
    if (asks_for_help(args, 1) || asks_for_help(args, 2)) {
        r.options.command = Command::help;
        r.ok = true;
        return r;
    }
    if (!take_command(&args, &r.options, &r.error))
        return r;
    ParseState p(r.options, r.error);
    if (!take_options(args, p) || !check_together(p))
        return r;
    r.ok = true;
    return r;
}

}  // namespace capture
