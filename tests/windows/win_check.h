// A very small test runner for the Windows test host (GoogleTest is not available for the
// cross-build): named cases, checks that count failures and say where, a summary.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace wincheck {

struct Case {
    const char* name;
    void (*run)();
};

std::vector<Case>& cases();
struct Registrar {
    Registrar(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

// Records one failed check of the current case.
void fail(const char* file, int line, const std::string& what);
// True while the current case has not failed a fatal check.
int failures_in_case();

template <class A, class B>
std::string describe(const char* ea, const char* eb, const A& a, const B& b) {
    std::ostringstream s;
    s << ea << " == " << eb << " (" << a << " vs " << b << ")";
    return s.str();
}

}  // namespace wincheck

#define WIN_TEST(name)                                                                             \
    static void name();                                                                            \
    static ::wincheck::Registrar name##_registrar(#name, name);                                    \
    static void name()

#define CHECK(c)                                                                                   \
    do {                                                                                           \
        if (!(c))                                                                                  \
            ::wincheck::fail(__FILE__, __LINE__, #c);                                              \
    } while (0)

#define CHECK_MSG(c, msg)                                                                          \
    do {                                                                                           \
        if (!(c)) {                                                                                \
            std::ostringstream check_msg_;                                                         \
            check_msg_ << #c << ": " << msg;                                                       \
            ::wincheck::fail(__FILE__, __LINE__, check_msg_.str());                                \
        }                                                                                          \
    } while (0)

#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        const auto& check_a_ = (a);                                                                \
        const auto& check_b_ = (b);                                                                \
        if (!(check_a_ == check_b_))                                                               \
            ::wincheck::fail(__FILE__, __LINE__,                                                   \
                             ::wincheck::describe(#a, #b, check_a_, check_b_));                    \
    } while (0)

// Ends the case at once when c is false.
#define REQUIRE(c)                                                                                 \
    do {                                                                                           \
        if (!(c)) {                                                                                \
            ::wincheck::fail(__FILE__, __LINE__, #c);                                              \
            return;                                                                                \
        }                                                                                          \
    } while (0)
