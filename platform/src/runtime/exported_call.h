// The platform's own exported calls keep every exception inside, as every
// library's do (larkin/guarded.h), and report it as Windows would: out of
// memory as ERROR_NOT_ENOUGH_MEMORY, anything else as ERROR_GEN_FAILURE.
#ifndef LARKIN_PLATFORM_EXPORTED_CALL_H
#define LARKIN_PLATFORM_EXPORTED_CALL_H

#include <cstddef>
#include <new>
#include <utility>

#include "larkin/guarded.h"
#include "win32/base.h"

namespace larkin::platform {

// Turns what body throws into the last error, then rethrows it for the
// outer barrier to give the export's failure result.
template <class Body>
decltype(auto) WithLastError(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        throw;
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
        throw;
    }
}

// Set the last error and give the failure result of a call: FALSE (0 for a
// count), INVALID_HANDLE_VALUE, or null.
inline BOOL Failed(DWORD error) {
    SetLastError(error);
    return FALSE;
}
inline HANDLE FailedHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}
inline std::nullptr_t FailedNull(DWORD error) {
    SetLastError(error);
    return nullptr;
}

template <class Result, class Body>
Result Guarded(Result failure, Body&& body) noexcept {
    return larkin::Guarded(failure, [&]() -> Result { return WithLastError(body); });
}

template <class Body>
void GuardedVoid(Body&& body) noexcept {
    larkin::GuardedVoid([&] { WithLastError(body); });
}

}  // namespace larkin::platform

#endif
