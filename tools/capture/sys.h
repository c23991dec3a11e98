// What the capture tool needs from the operating system, one file per system behind it
// (sys_posix.cpp, sys_win32.cpp): loading libraries, files, the interrupt key, the clock of
// the process's own work, SHA-512.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace capture {
namespace sys {

// Loads a library by path; `global` makes its symbols serve everything loaded after it (where
// the system has such a thing). Null with a readable error.
void* load_library(const std::string& path, bool global, std::string* error);
void* find_symbol(void* library, const char* name);
void unload_library(void* library);

// The folder of this program, ending in a separator; empty when not known.
std::string program_folder();
// `path` itself when absolute, else taken from the program's folder.
std::string beside_program(const std::string& path);
// True when `name` has no folder part.
bool is_bare_name(const std::string& name);

// The USB library this process has loaded, when it is the simulated board's (it exports the
// simulator's setup): its path. Empty when none is loaded or it is another. On Windows a
// libusb0.dll in the current folder or on PATH is taken for the driver's.
std::string simulated_usb_library();

// A path as the system writes it ('\\' on Windows); a UNC path keeps its leading "\\\\".
std::string native_path(const std::string& path);

// Sets an environment variable unless it is set already, for this process and the libraries
// it loads.
void set_env_default(const char* name, const std::string& value);

// Opens `path` for writing binary data: refused when it exists unless `replace`. Returns the
// descriptor or -1 with `error`.
int open_output(const std::string& path, bool replace, std::string* error);
// Cuts the file to `bytes` and moves the write position there. False with errno set.
bool truncate_file(int fd, int64_t bytes);
// Creates a folder: 0, or the errno value (EEXIST when it is there already).
int make_folder(const std::string& path);
// Why the system would refuse a folder of that name (Windows: characters such as * or a quote
// in a name); empty when it would not.
std::string folder_name_problem(const std::string& path);
// Replaces `path` by `temp` in one step. 0, or the errno value.
int replace_file(const std::string& temp, const std::string& path);
// True when files may be created in the folder; false with errno set.
bool folder_writable(const std::string& path);

void utc_time(std::time_t seconds, std::tm* out);
double cpu_seconds();  // user and system time of this process
// Standard output is a terminal that takes the progress line's escapes ("\r", "\033[K").
bool stdout_is_terminal();

// Ctrl-C (and termination) call `handler` with SIGINT or SIGTERM, on whatever thread the
// system uses for it.
void on_interrupt(void (*handler)(int signo));

// SHA-512 of `data` as 128 lower-case hex digits.
std::string sha512_hex(const std::string& data);

}  // namespace sys
}  // namespace capture
