// Out of memory inside Initialize and EjectDisk: the library answers
// VERRAN_INTERNAL_FAULT and nothing escapes it. This test program's global
// operator new can be told to fail one allocation.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "verran_test_support.h"

// AddressSanitizer keeps the allocator to itself; these tests need it.
#if defined(__SANITIZE_ADDRESS__)
#define VERRAN_OWN_ALLOCATOR 0
#else
#define VERRAN_OWN_ALLOCATOR 1
#endif

namespace {

// Allocations still to pass before one fails; negative: none fails.
std::atomic<long> allocationsBeforeFailure{-1};

[[maybe_unused]] void* Allocate(std::size_t size) {
    long left = allocationsBeforeFailure.load();
    if (left == 0) {
        allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (left > 0) allocationsBeforeFailure = left - 1;
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}

}  // namespace

#if VERRAN_OWN_ALLOCATOR
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
    return operator new(size, nothrow);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
#endif

namespace verran::test {
namespace {

class VerranMemoryFault : public VerranTest {
  protected:
    void SetUp() override {
        if (!VERRAN_OWN_ALLOCATOR) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override {
        allocationsBeforeFailure = -1;
        VerranTest::TearDown();
    }
};

// The stride grows so that a few dozen calls cover thousands of allocations.
long NextPoint(long point) {
    return point + 1 + point / 8;
}

TEST_F(VerranMemoryFault, InInitializeGivesInternalFault) {
    allocationsBeforeFailure = 0;
    EXPECT_EQ(Initialize("USB"), VERRAN_INTERNAL_FAULT);
    EXPECT_EQ(GetAdapterCount(), 0u);

    int faults = 0, failures = 0;
    long point = 0;
    for (;; point = NextPoint(point)) {
        allocationsBeforeFailure = point;
        INT status = Initialize("*");
        bool failed = allocationsBeforeFailure.load() == -1;
        allocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_EQ(status, 0);
            break;
        }
        // Out of memory inside the library is its internal fault; inside a
        // platform call it is that call's failure (ERROR_NOT_ENOUGH_MEMORY),
        // which the volume scan may pass over, leaving every adapter listed.
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    (status == 0 && GetAdapterCount() == 7u))
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        failures += status != 0;
        // Whatever was gathered stays readable.
        for (DWORD a = 0; a < GetAdapterCount(); ++a)
            for (DWORD d = 0; d < GetDriveCount(a); ++d)
                EXPECT_NE(GetDriveDescription(a, d), nullptr);
    }
    EXPECT_GE(faults, 3) << "over " << point << " allocations";
    EXPECT_GE(failures, 5) << "over " << point << " allocations";
    ASSERT_EQ(Initialize("*"), 0);
    EXPECT_EQ(GetAdapterCount(), 7u);
}

TEST_F(VerranMemoryFault, InEjectDiskGivesInternalFault) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto twin = FindDrive("Twin Stick USB Device");
    ASSERT_TRUE(twin);
    std::string path = GetDriveName(twin->first, twin->second);
    Destroy();

    int faults = 0;
    // Every allocation in turn: most of them are the platform's now, and the
    // library's own few must not be stepped over.
    for (long point = 0;; ++point) {
        allocationsBeforeFailure = point;
        INT status = EjectDisk(path.c_str());
        bool failed = allocationsBeforeFailure.load() == -1;
        allocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_EQ(status, 0);
            break;
        }
        // A platform call that runs out of memory fails as such; when it was
        // the lookup of one disk's path, that disk is passed over, and with
        // it the match (87).
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    status == ERROR_INVALID_PARAMETER || status == 0)
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        if (status == 0) {
            ASSERT_TRUE(larkin::sim::Plug("twin", true));
        }
    }
    EXPECT_GT(faults, 0);
}

}  // namespace
}  // namespace verran::test
