// Out of memory inside Pellom and the ASPI manager: every export gives its
// failure result, nothing escapes a library, no caller waits for ever, and
// the module works again once memory is back. The failing allocator stands
// aside under AddressSanitizer.
#include <filesystem>
#include <string>
#include <vector>

#include "allocation_faults.h"
#include "corvid/core_module.h"
#include "pellom_session.h"

namespace larkin::test {
namespace {

constexpr int kSpti = 2;
constexpr int kAspi = 1;

// Pellom with Verran.
class PellomMemoryFault : public ::testing::Test {
  protected:
    explicit PellomMemoryFault(const char* machine = "pellom-bare-stick-and-fixed-disk")
        : session(MachineText(machine)) {}
    void SetUp() override {
        if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override { allocation::Failed(); }
    PellomApi& Ready() {
        PellomApi& pellom = session.Load();
        EXPECT_EQ(pellom.loadCoreModule(), kSpti);
        EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 1);
        return pellom;
    }
    PellomSession session;
};

class PellomAspiMemoryFault : public PellomMemoryFault {
  protected:
    PellomAspiMemoryFault() : PellomMemoryFault("pellom-one-aspi-stick") {
        session.faults.WithoutVerran();
        session.faults.WithoutSpti();
    }
};

// Loading and counting, with each allocation in turn made to fail: no
// transport (0) or no targets (0), or the whole answer. With libraries, only
// theirs fail.
void SweepLoadAndCount(PellomApi& pellom, int transport, int stickCount,
                       std::initializer_list<const char*> libraries = {}) {
    int noTransport = 0, noTargets = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point, libraries);
        int loaded = pellom.loadCoreModule();
        int count = pellom.getDeviceCount(0, "USB");
        if (!allocation::Failed()) {
            EXPECT_EQ(loaded, transport);
            EXPECT_EQ(count, stickCount);
            break;
        }
        EXPECT_TRUE(loaded == transport || loaded == 0) << "allocation " << point;
        EXPECT_TRUE(count == stickCount || count == 0) << "allocation " << point;
        noTransport += loaded == 0;
        noTargets += loaded == transport && count == 0;
        // A slot that was counted works; one that was not gives -2.
        BYTE capacity[16] = {0x25};
        EXPECT_EQ(pellom.executeScsi(0, capacity, -8), count > 0 ? 0 : PELLOM_NO_BUFFERS)
            << "allocation " << point;
    }
    EXPECT_GT(noTransport, 0) << "over " << point << " allocations";
    EXPECT_GT(noTargets, 0) << "over " << point << " allocations";
}

TEST_F(PellomMemoryFault, LoadAndCountOnPassThroughGiveNothingFound) {
    SweepLoadAndCount(session.Load(), kSpti, 1);
}

// The ASPI manager's requests that cannot be queued fail at once with
// SS_INSUFFICIENT_RESOURCES; Pellom's busy waits on them end. Only the two
// libraries' own allocations fail: out of memory inside the loader's search
// for wnaspi32 ends the process.
TEST_F(PellomAspiMemoryFault, LoadAndCountGiveNothingFoundAndNeverHang) {
    SweepLoadAndCount(session.Load(), kAspi, 1, {"libPellom", "libwnaspi32"});
}

// Trace lines that cannot be made are lost; the command itself runs.
TEST_F(PellomMemoryFault, CommandsRunWhenTheirTraceLinesCannotBeMade) {
    PellomApi& pellom = Ready();
    Cdb read = Read10(0, 1);
    std::filesystem::remove("Corvid.log");
    int runs = 0, done = 0;
    for (long point = 0;; ++point) {
        allocation::FailAfter(point);
        int result = pellom.executeScsi(0, read.data(), -512);
        ++runs;
        if (!allocation::Failed()) {
            EXPECT_EQ(result, PELLOM_GOOD);
            break;
        }
        // Out of memory in the platform's pass-through fails the request.
        EXPECT_TRUE(result == PELLOM_GOOD || result == PELLOM_REQUEST_FAILED)
            << "allocation " << point << " gave " << result;
        done += result == PELLOM_GOOD;
    }
    EXPECT_GT(done, 0);
    // Each run writes three lines when nothing fails; some were lost.
    EXPECT_LT(CountPrefix(TraceLines(), "Pellom:"), static_cast<size_t>(3 * runs));
}

TEST_F(PellomMemoryFault, PatternThatCannotBeMadeLeavesTheBuffer) {
    PellomApi& pellom = Ready();
    pellom.write(0, CORE_BUFFER_W_WRITE, 0, {1, 2, 3, 4});
    allocation::FailAfter(0);
    pellom.setDataPattern(0, "w", nullptr, PELLOM_PATTERN_RANDOM_BLOCK, 4096);
    ASSERT_TRUE(allocation::Failed());
    EXPECT_EQ(pellom.read(0, CORE_BUFFER_W_READ, 0, 4), (std::vector<BYTE>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace larkin::test
