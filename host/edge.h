// The barrier between C++ and a caller that knows no exceptions (the host, the thread layer).
#pragma once

#include <utility>

// Inside a catch block: true when the exception being handled is an allocation failure; *what
// receives its text (valid while the handler runs).
bool caught_allocation_failure(const char** what) noexcept;

// Runs body and stops any exception here. on_throw(allocation_failure, what) then runs inside the
// handler; an exception of its own is dropped. The result is then R's zero value.
template <typename Body, typename OnThrow>
auto at_edge(Body&& body, OnThrow&& on_throw) noexcept -> decltype(body()) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        const char* what = nullptr;
        bool allocation = caught_allocation_failure(&what);
        try {
            std::forward<OnThrow>(on_throw)(allocation, what);
        } catch (...) {
        }
    }
    return decltype(body())();
}

template <typename Body> auto at_edge(Body&& body) noexcept -> decltype(body()) {
    return at_edge(std::forward<Body>(body), [](bool, const char*) {});
}
