#include "edge.h"

#include <exception>
#include <new>

bool caught_allocation_failure(const char** what) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        *what = e.what();
        return true;
    } catch (const std::exception& e) {
        *what = e.what();
    } catch (...) {
        *what = "an exception of unknown type";
    }
    return false;
}
