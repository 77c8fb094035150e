// Nothing thrown inside the platform leaves it: an exported call that runs
// out of memory fails as Windows does, with ERROR_NOT_ENOUGH_MEMORY.
#ifndef LARKIN_PLATFORM_GUARD_H
#define LARKIN_PLATFORM_GUARD_H

#include <new>

#include "win32/base.h"

namespace larkin::platform {

template <class Result, class Body>
Result Guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
    }
    return failure;
}

template <class Body>
void GuardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
    }
}

}  // namespace larkin::platform

#endif
