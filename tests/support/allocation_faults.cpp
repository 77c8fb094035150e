#include "allocation_faults.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define LARKIN_OWN_ALLOCATOR 0
#else
#define LARKIN_OWN_ALLOCATOR 1
#endif

namespace larkin::test::allocation {
namespace {

// Allocations still to pass before one fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};
std::atomic<bool> failed{false};
// The libraries whose allocations count; none: every allocation counts.
std::array<const char*, 4> countedLibraries{};

bool Counted(void* caller) {
    if (countedLibraries[0] == nullptr) return true;
    Dl_info info{};
    if (dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return false;
    return std::any_of(countedLibraries.begin(), countedLibraries.end(), [&](const char* name) {
        return name != nullptr && std::strstr(info.dli_fname, name) != nullptr;
    });
}

[[maybe_unused]] void* Allocate(std::size_t size, void* caller) {
    long left = allocationsBeforeFailure.load();
    if (left >= 0 && !Counted(caller)) left = -1;
    if (left == 0 && allocationsBeforeFailure.compare_exchange_strong(left, -1)) {
        failed = true;
        throw std::bad_alloc();
    }
    if (left > 0) allocationsBeforeFailure.compare_exchange_strong(left, left - 1);
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}

}  // namespace

bool Enabled() {
    return LARKIN_OWN_ALLOCATOR;
}

void FailAfter(long passing, std::initializer_list<const char*> libraries) {
    allocationsBeforeFailure = -1;
    countedLibraries.fill(nullptr);
    std::copy_n(libraries.begin(), std::min(libraries.size(), countedLibraries.size()),
                countedLibraries.begin());
    failed = false;
    allocationsBeforeFailure = passing;
}

bool Failed() {
    allocationsBeforeFailure = -1;
    return failed.exchange(false);
}

}  // namespace larkin::test::allocation

#if LARKIN_OWN_ALLOCATOR
using larkin::test::allocation::Allocate;

// The standard library's own nothrow and array forms of new and delete
// come here through these; new[] is replaced too, so that an array
// counts for the library that makes it.
void* operator new(std::size_t size) {
    return Allocate(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size) {
    return Allocate(size, __builtin_return_address(0));
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
#endif
