// Diagnostics: the formatting, the same on every system; os_posix.cpp and os_win32.cpp write
// the text (diag_write).
#include "os.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace os {

void diag_printf(const char* format, ...) {
    const int saved_errno = errno;
    char text[2048];
    va_list args;
    va_start(args, format);
    // clang-analyzer 14 does not see the va_start above when it reads this unit's GCC
    // compilation flags, and reports the list as uninitialised.
    int n = std::vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.*)
    va_end(args);
    if (n >= static_cast<int>(sizeof text)) {
        std::string longer(static_cast<size_t>(n) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(&longer[0], longer.size(), format, args);
        va_end(args);
        diag_write(longer.c_str());
    } else if (n >= 0) {
        diag_write(text);
    }
    errno = saved_errno;
}

void diag_perror(const char* what) {
    const int error = errno;
    if (what && what[0] != '\0')
        diag_printf("%s: %s\n", what, std::strerror(error));
    else
        diag_printf("%s\n", std::strerror(error));
}

}  // namespace os
