// A test program that links allocation_faults.cpp replaces the global
// operator new with one that can be told to fail one allocation. The
// libraries it loads allocate through it too, so a test can make any of
// their allocations fail. AddressSanitizer keeps the allocator to itself;
// under it nothing is replaced and Enabled() is false.
#ifndef LARKIN_TESTS_ALLOCATION_FAULTS_H
#define LARKIN_TESTS_ALLOCATION_FAULTS_H

#include <initializer_list>

namespace larkin::test::allocation {

bool Enabled();
// The next `passing` allocations succeed and the one after throws
// std::bad_alloc; then all succeed again. With libraries (parts of their
// file names, string literals), only the allocations that their own code
// makes count and fail; the others pass.
void FailAfter(long passing, std::initializer_list<const char*> libraries = {});
// Whether the planned failure happened; cancels a plan still pending.
bool Failed();

// The stride of a sweep over allocation points: it grows, so that a few
// dozen runs cover thousands of allocations.
inline long NextPoint(long point) {
    return point + 1 + point / 8;
}

}  // namespace larkin::test::allocation

#endif
