// Volumes handed to outside programs: where they live, the guard and lock
// that stand before them, and the journal that covers what a program may write.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "machines.h"
#include "test_machine.h"

namespace {

using larkin::test::TestMachine;

TEST(ToolVolumes, AWritingProgramGetsTheVolumeLockedAndJournaled) {
    TestMachine machine(larkin::test::kTwoSticks);
    ASSERT_TRUE(machine.started());
    larkin::sim::ClearJournal();
    LARKIN_TOOL_VOLUME where{};
    HANDLE session = LarkinOpenVolumeForTool("E:", "mkfs.fat", TRUE, &where);
    ASSERT_NE(session, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(std::string(where.path), larkin::sim::Disks()[1].image);
    EXPECT_EQ(where.offset, 32u * 512);
    EXPECT_EQ(where.length, (16u << 20) - 32 * 512);
    EXPECT_EQ(where.hiddenSectors, 32u);
    EXPECT_EQ(where.heads, 64u);
    EXPECT_EQ(where.sectorsPerTrack, 32u);

    // While the program runs nobody else writes the volume.
    LARKIN_TOOL_VOLUME other{};
    EXPECT_EQ(LarkinOpenVolumeForTool("\\\\.\\E:", "mcopy", TRUE, &other), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);

    std::string format = "mkfs.fat -F 16 -n TOOL --offset " + std::to_string(where.offset / 512) +
                         " '" + where.path + "' " + std::to_string(where.length / 1024) +
                         " >/dev/null 2>&1";
    EXPECT_EQ(std::system(format.c_str()), 0);
    auto journal = larkin::sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_FALSE(journal[0].completed);  // the program may still be writing
    EXPECT_EQ(journal[0].disk, "stick1");
    EXPECT_EQ(journal[0].offset, where.offset);
    EXPECT_EQ(journal[0].length, where.length);
    EXPECT_EQ(journal[0].via, "mkfs.fat");
    EXPECT_TRUE(CloseHandle(session));
    EXPECT_TRUE(larkin::sim::Journal()[0].completed);

    HANDLE again = LarkinOpenVolumeForTool("E:\\", "mdir", FALSE, &other);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(ToolVolumes, RefusedVolumesAndNames) {
    TestMachine machine(larkin::test::kTwoSticks);
    larkin::sim::ClearJournal();
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
    EXPECT_TRUE(larkin::sim::Journal().empty());
}

}  // namespace
