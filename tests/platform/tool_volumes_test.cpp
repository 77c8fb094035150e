// Volumes handed to outside programs: where they live, the guard and lock
// that stand before them, and the journal that covers what a program may write.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>
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

namespace {

// A volume locked in one process is locked for every other: no second lock,
// no writer, no new handle and no outside program until the holder lets go.
TEST(VolumeLock, ALockHeldInAnotherProcessHoldsForThisOne) {
    TestMachine machine(larkin::test::kTwoSticks);
    ASSERT_TRUE(machine.started());
    HANDLE mine = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(mine, INVALID_HANDLE_VALUE);
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        HANDLE volume = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        DWORD returned = 0;
        char answer =
            volume != INVALID_HANDLE_VALUE && DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0,
                                                              nullptr, 0, &returned, nullptr)
                ? 'L'
                : 'F';
        [[maybe_unused]] auto sent = ::write(locked[1], &answer, 1);
        [[maybe_unused]] auto got = ::read(release[0], &answer, 1);
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(locked[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'L');

    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(mine, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    std::vector<char> sector(512, 'x');
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(mine, sector.data(), 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    LARKIN_TOOL_VOLUME where{};
    EXPECT_EQ(LarkinOpenVolumeForTool("E:", "mkfs.fat", TRUE, &where), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    [[maybe_unused]] auto sent = ::write(release[1], "x", 1);
    int status = 0;
    ::waitpid(holder, &status, 0);
    for (int fd : {locked[0], locked[1], release[0], release[1]}) ::close(fd);
    // The holder is gone, and its lock with it.
    EXPECT_TRUE(
        DeviceIoControl(mine, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(WriteFile(mine, sector.data(), 512, &done, nullptr));
    EXPECT_TRUE(
        DeviceIoControl(mine, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(
        DeviceIoControl(mine, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    CloseHandle(mine);
}

}  // namespace
