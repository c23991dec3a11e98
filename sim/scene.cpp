// Scenes: the built-in default and the scene file format (see README).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "model.h"

namespace usbsim {

Scene default_scene() {
    // CW signals over the band a receiver tuned to 3.6 MHz sees, on converter input 0, over a
    // noise floor; two more on input 1.
    Scene s;
    auto add = [&](double f, double level, int input, const char* morse, double wpm) {
        Carrier c;
        c.freq_hz = f;
        c.level_dbfs = level;
        c.input = input;
        c.morse = morse;
        c.wpm = wpm;
        s.carriers.push_back(c);
    };
    add(3512000, -50, 0, "CQ CQ DE SIM1 K", 22);
    add(3547500, -62, 0, "", 20);
    add(3573000, -45, 0, "TEST DE SIM2", 16);
    add(3600700, -40, 0, "", 20);
    add(3631250, -70, 0, "QRL? DE SIM3", 25);
    add(3668000, -55, 0, "VVV DE SIM4", 18);
    add(3702000, -48, 0, "", 20);
    add(7012345, -45, 1, "CQ DE SIM5", 20);
    add(7030000, -60, 1, "", 20);
    s.noise_dbfs = -105;
    s.seed = 1;
    return s;
}

BoardConfig default_board() {
    BoardConfig c;
    c.bcd_device = 0x0004;
    c.pacing = Pacing::real_time;
    c.fifo_bytes = 2 << 20;
    c.eeprom[0] = eeprom_image(0x0000);
    c.eeprom[1] = eeprom_image(0x0001);
    c.eeprom[2] = eeprom_image(0x0000);
    c.eeprom[3] = eeprom_image(0x0001);
    c.scene = default_scene();
    return c;
}

namespace detail {

WorldSpec default_world() {
    WorldSpec w;
    WorldSpec::Device d;
    d.config = default_board();
    w.scene = d.config.scene;
    w.buses.push_back({d});
    return w;
}

namespace {

struct Parser {
    std::string path;
    int line = 0;

    [[noreturn]] void error(const std::string& what) const {
        throw std::runtime_error(path + ":" + std::to_string(line) + ": " + what);
    }

    double number(const std::string& text) const {
        if (text.empty())
            error("a number is missing");
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        std::string rest(end);
        if (rest == "k" || rest == "K")
            v *= 1e3;
        else if (rest == "M")
            v *= 1e6;
        else if (!rest.empty() || end == text.c_str())
            error("not a number: " + text);
        return v;
    }

    long integer(const std::string& text) const {
        char* end = nullptr;
        long v = std::strtol(text.c_str(), &end, 0);
        if (text.empty() || *end)
            error("not an integer: " + text);
        return v;
    }

    std::array<uint8_t, 16> digest(const std::string& text) const {
        if (text.size() != 32)
            error("a digest is 32 hexadecimal digits: " + text);
        std::array<uint8_t, 16> d{};
        for (size_t i = 0; i < 16; ++i)
            d[i] = uint8_t(integer("0x" + text.substr(2 * i, 2)));
        return d;
    }

    // Splits a line into words; a double-quoted part (inside key="...") keeps its spaces.
    std::vector<std::string> words(const std::string& s) const {
        std::vector<std::string> out;
        std::string cur;
        bool quoted = false, any = false;
        for (char c : s) {
            if (c == '"') {
                quoted = !quoted;
                any = true;
            } else if (!quoted && c == '#') {
                break;
            } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
                if (any)
                    out.push_back(cur);
                cur.clear();
                any = false;
            } else {
                cur += c;
                any = true;
            }
        }
        if (quoted)
            error("unterminated quote");
        if (any)
            out.push_back(cur);
        return out;
    }
};

std::pair<std::string, std::string> key_value(const std::string& word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos)
        return {word, ""};
    return {word.substr(0, eq), word.substr(eq + 1)};
}

// An unplug line, and the board it names: board=N (counting board lines from 0), else the last
// board line above it (board 0 when there is none).
struct LineUnplug {
    Unplug plan;
    size_t board = 0;
};

LineUnplug parse_unplug(const Parser& p, const std::vector<std::string>& w, size_t boards_above) {
    LineUnplug u;
    u.board = boards_above > 0 ? boards_above - 1 : 0;
    bool at = false, every = false, length = false;
    auto seconds = [&](const std::string& k, const std::string& v) {
        const double s = p.number(v);
        if (!(s >= 0))
            p.error("unplug " + k + "= is a number of seconds, not below 0");
        return s;
    };
    for (size_t i = 1; i < w.size(); ++i) {
        auto [k, v] = key_value(w[i]);
        if (k == "at") {
            u.plan.at_s = seconds(k, v);
            at = true;
        } else if (k == "every") {
            u.plan.every_s = seconds(k, v);
            every = true;
            if (u.plan.every_s <= 0)
                p.error("unplug every= is a number of seconds above 0");
        } else if (k == "for") {
            const size_t dots = v.find("..");
            u.plan.for_s = seconds(k, v.substr(0, dots));
            u.plan.for_max_s = dots == std::string::npos ? 0 : seconds(k, v.substr(dots + 2));
            if (dots != std::string::npos && u.plan.for_max_s < u.plan.for_s)
                p.error("unplug for=A..B needs A no more than B");
            length = true;
        } else if (k == "back") {
            if (v != "cold" && v != "warm")
                p.error("unplug back= is cold or warm");
            u.plan.back_warm = v == "warm";
        } else if (k == "seed") {
            u.plan.seed = uint32_t(p.integer(v));
        } else if (k == "board") {
            const long n = p.integer(v);
            if (n < 0)
                p.error("unplug board= counts board lines from 0");
            u.board = size_t(n);
        } else {
            p.error("unknown unplug setting: " + w[i]);
        }
    }
    if (!length)
        p.error("unplug needs for= (seconds off the bus, or a range A..B)");
    if (!at && !every)
        p.error("unplug needs at= (seconds after the board first streams) or every=");
    if (every && !at)
        u.plan.at_s = u.plan.every_s;
    return u;
}

// The first line of a scene file without a UTF-8 byte order mark; a UTF-16 file is refused with
// its encoding named.
std::string without_byte_order_mark(const std::string& path, const std::string& first_line) {
    // Notepad marks UTF-8 with EF BB BF; its "Unicode" is UTF-16 (FF FE, or FE FF big-endian).
    if (first_line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return first_line.substr(3);
    if (first_line.compare(0, 2, "\xFF\xFE") == 0 || first_line.compare(0, 2, "\xFE\xFF") == 0)
        throw std::runtime_error(path + ": the file is UTF-16 text (Notepad's \"Unicode\"), which "
                                        "cannot be read; save it as UTF-8 or ANSI");
    return first_line;
}

}  // namespace

WorldSpec parse_world_file(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error(path + ": a folder, not a scene file");
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + ": cannot open the scene file");
    Parser p{path};
    WorldSpec spec;
    std::vector<std::pair<size_t, size_t>> boards;    // each board line: its bus and place
    std::vector<std::pair<LineUnplug, int>> unplugs;  // with the line number
    std::string text;
    int items = 0;
    while (std::getline(in, text)) {
        if (++p.line == 1)
            text = without_byte_order_mark(path, text);
        std::vector<std::string> w = p.words(text);
        if (w.empty())
            continue;
        ++items;
        const std::string& kw = w[0];
        if (kw == "noise") {
            if (w.size() != 2)
                p.error("noise takes one value: a level in dBFS, or off");
            if (w[1] == "off")
                spec.scene.noise_dbfs.reset();
            else
                spec.scene.noise_dbfs = p.number(w[1]);
        } else if (kw == "seed") {
            if (w.size() != 2)
                p.error("seed takes one value");
            spec.scene.seed = uint32_t(p.integer(w[1]));
        } else if (kw == "carrier") {
            if (w.size() < 3)
                p.error("carrier needs a frequency and a level");
            Carrier c;
            c.freq_hz = p.number(w[1]);
            c.level_dbfs = p.number(w[2]);
            for (size_t i = 3; i < w.size(); ++i) {
                auto [k, v] = key_value(w[i]);
                if (k == "input") {
                    c.input = int(p.integer(v));
                    if (c.input < 0 || c.input > 3)
                        p.error("input must be 0 to 3");
                } else if (k == "morse") {
                    c.morse = v;
                } else if (k == "board") {
                    c.board = int(p.integer(v));
                    if (c.board < 0)
                        p.error("board is the board's place among the board lines, from 0");
                } else if (k == "wpm") {
                    c.wpm = p.number(v);
                    if (c.wpm <= 0)
                        p.error("wpm must be positive");
                } else {
                    p.error("unknown carrier setting: " + k);
                }
            }
            spec.scene.carriers.push_back(c);
        } else if (kw == "bus") {
            if (w.size() != 1)
                p.error("bus takes nothing");
            spec.buses.emplace_back();
        } else if (kw == "board" || kw == "other") {
            if (spec.buses.empty())
                spec.buses.emplace_back();
            WorldSpec::Device d;
            if (kw == "other") {
                if (w.size() < 3 || w.size() > 4)
                    p.error("other takes a vendor, a product and maybe a bcdDevice");
                d.board = false;
                d.vendor = uint16_t(p.integer(w[1]));
                d.product = uint16_t(p.integer(w[2]));
                if (w.size() == 4)
                    d.bcd = uint16_t(p.integer(w[3]));
                spec.buses.back().push_back(d);
                continue;
            }
            BoardConfig& c = d.config;
            bool paced = false;
            for (size_t i = 1; i < w.size(); ++i) {
                auto [k, v] = key_value(w[i]);
                if (k == "warm" && v.empty())
                    c.warm = true;
                else if (k == "cold" && v.empty())
                    c.warm = false;
                else if (k == "bcd")
                    c.bcd_device = uint16_t(p.integer(v));
                else if (k == "rev")
                    c.bcd_device = uint16_t((c.bcd_device & 0xFF00) | (p.integer(v) & 0xFF));
                else if (k == "caps")
                    c.capabilities = uint32_t(p.integer(v));
                else if (k == "firmware_hash")
                    c.firmware_hash = p.digest(v);
                else if (k == "fpga_hash")
                    c.fpga_hash = p.digest(v);
                else if (k == "serial") {
                    if (v.empty() || v.size() > 120)
                        p.error("serial is 1 to 120 characters");
                    for (char ch : v)
                        if (ch < 0x21 || ch > 0x7E)
                            p.error("serial is printable ASCII without spaces: " + v);
                    c.serial = v;
                } else if (k == "fifo")
                    c.fifo_bytes = size_t(p.integer(v));
                else if (k == "rejoin_rescans")
                    c.rejoin_after_rescans = int(p.integer(v));
                else if (k == "rejoin_ms" && v == "never")
                    c.rejoin_after_ms = BoardConfig::REJOIN_NEVER;
                else if (k == "rejoin_ms") {
                    c.rejoin_after_ms = int(p.integer(v));
                    if (c.rejoin_after_ms < 0)
                        p.error("rejoin_ms is a number of milliseconds or never");
                } else if (k == "leave_ms") {
                    c.leave_after_ms = int(p.integer(v));
                    if (c.leave_after_ms < 0)
                        p.error("leave_ms is a number of milliseconds");
                } else if (k == "pacing") {
                    paced = true;
                    if (v == "real_time")
                        c.pacing = usbsim::Pacing::real_time;
                    else if (v == "free_running")
                        c.pacing = usbsim::Pacing::free_running;
                    else
                        p.error("pacing is real_time or free_running");
                } else if (k.size() == 7 && k.compare(0, 6, "eeprom") == 0 && k[6] >= '0' &&
                           k[6] <= '3') {
                    const size_t slot = size_t(k[6] - '0');
                    if (v == "none")
                        c.eeprom[slot].reset();
                    else
                        c.eeprom[slot] = eeprom_image(uint16_t(p.integer(v)));
                } else {
                    p.error("unknown board setting: " + w[i]);
                }
            }
            if (!paced)
                p.error("a board line names its pacing: pacing=real_time or pacing=free_running");
            boards.push_back({spec.buses.size() - 1, spec.buses.back().size()});
            spec.buses.back().push_back(d);
        } else if (kw == "unplug") {
            unplugs.push_back({parse_unplug(p, w, boards.size()), p.line});
        } else {
            p.error("unknown line: " + kw);
        }
    }
    if (in.bad())
        throw std::runtime_error(path + ": cannot read the scene file");
    for (const Carrier& c : spec.scene.carriers)
        if (c.board >= int(boards.size()))
            throw std::runtime_error(path + ": a carrier for board=" + std::to_string(c.board) +
                                     ", but the file has " + std::to_string(boards.size()) +
                                     " board line(s)");
    if (items == 0)
        throw std::runtime_error(path + ": an empty scene file (no noise, seed, carrier, bus, "
                                        "board or other line)");
    // Unplug lines of a file without boards unplug the default board.
    if (!unplugs.empty() && boards.empty() && spec.buses.empty()) {
        spec.buses = default_world().buses;
        boards.push_back({0, 0});
    }
    for (const auto& [u, line] : unplugs) {
        if (u.board >= boards.size()) {
            p.line = line;
            p.error("unplug names board " + std::to_string(u.board) + ", but the file has " +
                    std::to_string(boards.size()) + " board line" +
                    (boards.size() == 1 ? "" : "s"));
        }
        const auto [bus, place] = boards[u.board];
        spec.buses[bus][place].config.unplugs.push_back(u.plan);
    }
    return spec;
}

void build_world_locked(Impl& w, const WorldSpec& spec) {
    w.clear();
    w.touched = true;
    int ordinal = 0;
    for (const auto& bus : spec.buses) {
        const int b = add_bus_locked(w);
        for (const auto& d : bus) {
            if (d.board) {
                BoardConfig c = d.config;
                c.scene = spec.scene;
                c.scene.carriers.clear();
                for (const Carrier& carrier : spec.scene.carriers)
                    if (carrier.board < 0 || carrier.board == ordinal)
                        c.scene.carriers.push_back(carrier);
                ++ordinal;
                add_board_locked(w, b, c);
            } else {
                add_other_locked(w, b, d.vendor, d.product, d.bcd);
            }
        }
    }
}

void Impl::populate_default() {
    WorldSpec spec = default_world();
    if (const char* path = std::getenv("USBSIM_SCENE")) {
        try {
            spec = parse_world_file(path);
        } catch (const std::exception& e) {
            // A scene that was asked for and cannot be had is not replaced by another one.
            std::fprintf(stderr, "usbsim: USBSIM_SCENE: %s; the simulated bus stays empty\n",
                         e.what());
            spec = WorldSpec{};
        }
    }
    build_world_locked(*this, spec);
}

}  // namespace detail

Scene load_scene_file(const std::string& path) {
    return detail::parse_world_file(path).scene;
}

void World::load_file(const std::string& path) {
    detail::WorldSpec spec = detail::parse_world_file(path);  // throws before anything changes
    detail::Impl& w = detail::impl();
    {
        std::lock_guard<std::mutex> lk(w.m);
        detail::build_world_locked(w, spec);
    }
    detail::surface_reset();
}

}  // namespace usbsim
