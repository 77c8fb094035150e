// Out of memory inside Initialize and EjectDisk: the library answers
// VERRAN_INTERNAL_FAULT and nothing escapes it.
#include <string>

#include "allocation_faults.h"
#include "verran_test_support.h"

namespace verran::test {
namespace {

namespace allocation = larkin::test::allocation;

class VerranMemoryFault : public VerranTest {
  protected:
    void SetUp() override {
        if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override {
        allocation::Failed();
        VerranTest::TearDown();
    }
};

TEST_F(VerranMemoryFault, InInitializeGivesInternalFault) {
    allocation::FailAfter(0);
    EXPECT_EQ(Initialize("USB"), VERRAN_INTERNAL_FAULT);
    EXPECT_TRUE(allocation::Failed());
    EXPECT_EQ(GetAdapterCount(), 0u);

    int faults = 0, failures = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point);
        INT status = Initialize("*");
        bool failed = allocation::Failed();
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
        allocation::FailAfter(point);
        INT status = EjectDisk(path.c_str());
        bool failed = allocation::Failed();
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
