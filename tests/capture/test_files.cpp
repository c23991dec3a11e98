#include "test_files.h"

#include <png.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace capture_test {

namespace {

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)),
                                      std::istreambuf_iterator<char>());
}

}  // namespace

Wav read_wav(const std::string& path) {
    Wav w;
    std::vector<unsigned char> b = read_bytes(path);
    w.file_bytes = b.size();
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        w.problem = "not a RIFF/WAVE file";
        return w;
    }
    w.riff_size = le32(&b[4]);
    if (uint64_t(w.riff_size) + 8 != b.size()) {
        w.problem = "RIFF size " + std::to_string(w.riff_size) + " does not match the file size " +
                    std::to_string(b.size());
        return w;
    }
    bool fmt = false, data = false;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        uint32_t size = le32(&b[pos + 4]);
        const unsigned char* body = &b[pos + 8];
        if (pos + 8 + uint64_t(size) > b.size()) {
            w.problem = "chunk " + std::string(reinterpret_cast<const char*>(&b[pos]), 4) +
                        " runs past the end of the file";
            return w;
        }
        if (std::memcmp(&b[pos], "fmt ", 4) == 0 && size >= 16) {
            fmt = true;
            w.format_tag = le16(body);
            w.channels = le16(body + 2);
            w.rate = le32(body + 4);
            w.byte_rate = le32(body + 8);
            w.block_align = le16(body + 12);
            w.bits = le16(body + 14);
            if (w.format_tag == 0xFFFE && size >= 40)
                w.subformat = le16(body + 24);
        } else if (std::memcmp(&b[pos], "fact", 4) == 0 && size >= 4) {
            w.has_fact = true;
            w.fact_frames = le32(body);
        } else if (std::memcmp(&b[pos], "data", 4) == 0) {
            data = true;
            w.data_offset = pos + 8;
            w.data_bytes = size;
            w.samples.resize(size / 4);
            if (!w.samples.empty())
                std::memcpy(w.samples.data(), body, w.samples.size() * 4);
        }
        pos += 8 + size + (size & 1);
    }
    if (!fmt || !data) {
        w.problem = !fmt ? "no fmt chunk" : "no data chunk";
        return w;
    }
    w.ok = true;
    return w;
}

int Png::luma(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000;
}

Png read_png(const std::string& path) {
    Png out;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        out.problem = image.message;
        return out;
    }
    image.format = PNG_FORMAT_RGB;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        out.problem = image.message;
        png_image_free(&image);
        return out;
    }
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.ok = true;
    return out;
}

double tone_db(const std::vector<float>& iq, int rate, double hz, size_t first, size_t count) {
    std::complex<double> sum = 0;
    const double w = -2 * M_PI * hz / rate;
    for (size_t i = 0; i < count; ++i) {
        std::complex<double> z(iq[2 * (first + i)], iq[2 * (first + i) + 1]);
        sum += z * std::polar(1.0, w * double(first + i));
    }
    return 20 * std::log10(std::abs(sum) / double(count) + 1e-20);
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint64_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// ---- the program as a process ----

std::string make_temp_dir() {
    char templ[] = "/tmp/capture_test_XXXXXX";
    const char* d = mkdtemp(templ);
    return d ? d : "/tmp";
}

// Runs the program with `args`; `env` entries with an empty value are removed from the
// environment. `while_running` is called about every 20 ms with the child's pid; the child is
// killed after `timeout_s`.
Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& env, int timeout_s,
                   const std::function<void(pid_t)>& while_running,
                   const std::function<void()>& in_child) {
    const std::string dir = make_temp_dir();
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        for (const char* v : {"USRP_PATH", "USBSIM_SCENE", "USBSIM_TRACE", "USRP_VERBOSE"})
            unsetenv(v);
        for (const auto& kv : env) {
            if (kv.second.empty())
                unsetenv(kv.first.c_str());
            else
                setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        if (in_child)
            in_child();
        std::vector<char*> argv;
        std::string exe = program;
        argv.push_back(&exe[0]);
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    Result r;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timed_out = true;
            break;
        }
        if (while_running)
            while_running(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!r.timed_out && WIFEXITED(status))
        r.exit_code = WEXITSTATUS(status);
    r.out = read_text(out_path);
    r.err = read_text(err_path);
    return r;
}

std::string write_file(const std::string& dir, const std::string& name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Validates every SigMF meta file and the collection of `dir` against the official schemas
// with Debian's python3-jsonschema, and checks that the collection names each meta file with
// its SHA-512. Returns "" when all is well, else what is wrong.
std::string sigmf_problems(const std::string& dir, const std::string& schema_dir) {
    const std::string script =
        "import glob, hashlib, json, os, sys, jsonschema\n"
        "d, schemas = sys.argv[1], sys.argv[2]\n"
        "meta = jsonschema.Draft202012Validator(json.load(open(schemas + "
        "'/sigmf-schema.json')))\n"
        "coll = jsonschema.Draft202012Validator(json.load(open(schemas + "
        "'/collection-schema.json')))\n"
        "metas = sorted(glob.glob(d + '/*.sigmf-meta'))\n"
        "assert metas, 'no meta file'\n"
        "for f in glob.glob(d + '/*.sigmf-data'):\n"
        "    assert os.path.exists(f[:-4] + 'meta'), f + ' has no meta file'\n"
        "assert not glob.glob(d + '/*.part'), 'temporaries left: ' + str(glob.glob(d + "
        "'/*.part'))\n"
        "for m in metas:\n"
        "    meta.validate(json.load(open(m)))\n"
        "if os.path.exists(d + '/raw.sigmf-meta'):\n"
        "    sys.exit(0)\n"
        "c = json.load(open(d + '/capture.sigmf-collection'))\n"
        "coll.validate(c)\n"
        "streams = {s[0]: s[1] for s in c['collection']['core:streams']}\n"
        "names = {os.path.basename(m)[:-len('.sigmf-meta')] for m in metas}\n"
        "assert set(streams) == names, (streams.keys(), names)\n"
        "for n in names:\n"
        "    h = hashlib.sha512(open(d + '/' + n + '.sigmf-meta', 'rb').read()).hexdigest()\n"
        "    assert streams[n] == h, n\n";
    const std::string script_path = dir + "/../check_sigmf.py";
    std::ofstream(script_path) << script;
    const std::string out = dir + "/../check_sigmf.out";
    const std::string cmd =
        "/usr/bin/python3 " + script_path + " " + dir + " " + schema_dir + " >" + out + " 2>&1";
    if (std::system(cmd.c_str()) == 0)
        return "";
    std::string text = read_text(out);
    return text.empty() ? "the check could not run" : text;
}

nlohmann::json read_json(const std::string& path) {
    return nlohmann::json::parse(read_text(path), nullptr, false);
}

std::vector<float> read_floats(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> v(file_size(path) / sizeof(float));
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
    return v;
}

// Every regular file below `dir` with its MD5, to see that a run changed nothing.
std::string folder_state(const std::string& dir) {
    std::string state;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        state += e.path().filename().string() + " " +
                 std::to_string(std::hash<std::string>()(read_text(e.path().string()))) + "\n";
    }
    return state;
}

}  // namespace capture_test
