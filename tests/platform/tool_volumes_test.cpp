// Volumes handed to outside programs: where they live, the guard and lock
// that stand before them, and the journal that covers what a program may write.
#include <gtest/gtest.h>

#include <string>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TestMachine;

TEST(ToolVolumes, RefusedVolumesAndNames) {
    TestMachine machine(MachineText("platform-two-sticks"));
    larkin::controls::ClearJournal();
    LARKIN_TOOL_VOLUME where{};
    EXPECT_EQ(LarkinOpenVolumeForTool("C:", "mkfs.fat", TRUE, &where), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(LarkinOpenVolumeForTool("Q:", "mkfs.fat", TRUE, &where), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LarkinOpenVolumeForTool("\\\\.\\PhysicalDrive1", "mkfs.fat", TRUE, &where),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(LarkinOpenVolumeForTool(nullptr, "mkfs.fat", TRUE, &where), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Reading the system volume is fine; it is never locked or journaled.
    HANDLE reading = LarkinOpenVolumeForTool("C:", "mdir", FALSE, &where);
    EXPECT_NE(reading, INVALID_HANDLE_VALUE);
    CloseHandle(reading);
    // A stick read by a program: its geometry, and no journal either.
    HANDLE stick = LarkinOpenVolumeForTool("E:\\", "mdir", FALSE, &where);
    EXPECT_NE(stick, INVALID_HANDLE_VALUE);
    EXPECT_EQ(where.heads, 64u);
    EXPECT_EQ(where.sectorsPerTrack, 32u);
    CloseHandle(stick);
    EXPECT_TRUE(larkin::controls::Journal().empty());
}

}  // namespace
