// No exception leaves a library: each export, entry point, window procedure
// and callback runs its body through Guarded, which turns anything thrown
// (out of memory above all) into the export's own failure result.
#ifndef LARKIN_GUARDED_H
#define LARKIN_GUARDED_H

#include <utility>

namespace larkin {

// body's result, or failure when body throws.
template <class Result, class Body>
Result Guarded(Result failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return failure;
    }
}

// For the exports without a result: a failure leaves nothing to report.
template <class Body>
void GuardedVoid(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}

}  // namespace larkin

#endif
