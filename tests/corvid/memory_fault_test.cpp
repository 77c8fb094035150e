// Out of memory inside Corvid and the modules it loads: a load whose set-up
// fails fails as a whole, the exports give their results for "nothing
// found", and nothing escapes a library. The failing allocator stands aside
// under AddressSanitizer.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "allocation_faults.h"
#include "core_test_support.h"
#include "corvid/corvid.h"
#include "corvid_api.h"

namespace larkin::test {
namespace {

// Two disks for Pellom's physical-drive probe (Verran is kept away).
constexpr const char* kMachine = R"(
[machine]
time_scale = 0
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "d0"
size = "4MiB"
[[adapter.disk]]
id = "d1"
size = "4MiB"
)";

const std::array<BYTE, 16> kTestUnitReady{};

class CorvidMemoryFault : public ::testing::Test {
  protected:
    CorvidMemoryFault() : machine(kMachine) { faults.WithoutVerran(); }
    void SetUp() override {
        if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override { allocation::Failed(); }

    TestMachine machine;
    WorkingFolder folder;
    MessageBoxes boxes;
    Faults faults;
};

// Only the libraries' own allocations fail here: out of memory inside the
// loader's search for a library ends the process.
TEST_F(CorvidMemoryFault, SetUpThatFailsFailsTheLoad) {
    int setUpFailures = 0;
    long point = 0;
    for (;; ++point) {
        allocation::FailAfter(point, {"libCorvid", "libPellom"});
        corvid::Library library(LoadLibraryA("Corvid"));
        DWORD error = GetLastError();
        bool failed = allocation::Failed();
        if (!library) {
            EXPECT_TRUE(failed);
            EXPECT_EQ(error, ERROR_DLL_INIT_FAILED) << "allocation " << point;
            ++setUpFailures;
            continue;
        }
        // Loaded: whatever failed (Pellom's load, the window) Corvid works on
        // without; Pellom then numbers its two disks or is absent.
        auto loadCores = corvid::Export<CORVID_LOAD_CORES>(library, "LoadCores");
        auto deviceCount = corvid::Export<CORVID_DEVICE_COUNT>(library, "DeviceCount");
        ASSERT_TRUE(loadCores && deviceCount);
        int adapters = loadCores();
        int count = deviceCount(0, "USB");
        EXPECT_TRUE((adapters == 2 && count == 2) || (adapters == 0 && count == 0))
            << "allocation " << point << " gave " << adapters << " and " << count;
        if (!failed) {
            EXPECT_EQ(count, 2);
            break;
        }
    }
    EXPECT_GT(setUpFailures, 0) << "over " << point << " allocations";
}

TEST_F(CorvidMemoryFault, LoadAndNumberGiveNothingFoundAndRecover) {
    CorvidApi corvid;
    ASSERT_TRUE(corvid.library);
    corvid.setCoreOptions(CORVID_TRACE);  // its trace lines allocate too
    int nothingFound = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point);
        int adapters = corvid.loadCores();
        int count = corvid.deviceCount(0, "USB");
        bool failed = allocation::Failed();
        if (!failed) {
            EXPECT_EQ(adapters, 2);
            EXPECT_EQ(count, 2);
            break;
        }
        // Fewer drives, never more; a drive the platform could not describe
        // for want of memory is left out.
        EXPECT_TRUE(adapters == 2 || adapters == 0) << "allocation " << point;
        EXPECT_TRUE(count >= 0 && count <= 2) << "allocation " << point;
        nothingFound += count == 0;
        // What was numbered works; an empty entry gives its fixed result.
        EXPECT_EQ(corvid.command(1, kTestUnitReady.data(), 0), count == 2 ? 0 : -1);
    }
    EXPECT_GT(nothingFound, 0) << "over " << point << " allocations";
    EXPECT_EQ(corvid.info(1, "Adapter"), "PhysicalDrive 1");
}

}  // namespace
}  // namespace larkin::test
