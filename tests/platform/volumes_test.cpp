// Volume names, their mount paths (letters and folders), drive types, the
// floppy, and the volumes handed to outside programs. (A slot without media,
// and the lock and journal of a tool's volume, are the conformance suite's.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "larkin/platform.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;

std::string VolumeOf(const char* letterPath) {
    char name[MAX_PATH];
    HANDLE search = FindFirstVolumeA(name, sizeof name);
    std::string found;
    do {
        char paths[256];
        DWORD returned = 0;
        if (GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &returned) &&
            std::strcmp(paths, letterPath) == 0)
            found = name;
    } while (found.empty() && FindNextVolumeA(search, name, sizeof name));
    FindVolumeClose(search);
    return found;
}

TEST(Volumes, LettersFoldersAndDriveTypes) {
    larkin::test::TestMachine machine(MachineText("platform-folders-and-empty-slot"));
    DWORD drives = GetLogicalDrives();
    for (char letter : {'A', 'G', 'H', 'K'}) EXPECT_TRUE(drives & (1u << (letter - 'A'))) << letter;
    EXPECT_FALSE(drives & (1u << ('C' - 'A')));

    std::string stick = VolumeOf("G:\\");
    ASSERT_FALSE(stick.empty());
    char paths[64];
    DWORD returned = 0;
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameA(stick.c_str(), paths, sizeof paths, &returned));
    EXPECT_EQ(std::string(paths, returned), std::string("G:\\\0C:\\Mount\\Stick\\\0\0", 21));
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameA(stick.c_str(), paths, 5, &returned));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(returned, 21u);
    std::string noSlash = stick.substr(0, stick.size() - 1);
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameA(noSlash.c_str(), paths, sizeof paths, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    EXPECT_EQ(GetDriveTypeA("A:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeA("\\\\.\\G:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeA(stick.c_str()), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveTypeA("Q:\\"), DRIVE_NO_ROOT_DIR);

    // The folder mount path is a directory, not a device.
    EXPECT_EQ(
        CreateFileA("\\\\.\\C:\\Mount\\Stick", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// The floppy reads, and is no disk of the device tree.
TEST(Volumes, TheFloppyReadsButHasNoDeviceNumber) {
    larkin::test::TestMachine machine(MachineText("platform-folders-and-empty-slot"));
    BYTE buffer[512];
    DWORD returned = 0;
    HANDLE floppy = CreateFileA("\\\\.\\A:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(floppy, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(floppy, buffer, 512, &returned, nullptr));
    STORAGE_DEVICE_NUMBER number{};
    EXPECT_FALSE(DeviceIoControl(floppy, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                 sizeof number, &returned, nullptr));
    CloseHandle(floppy);
}

// Only a volume is handed to a program; reading the system volume is fine,
// and neither read is locked or journaled.
TEST(ToolVolumes, RefusedVolumesAndNames) {
    larkin::test::TestMachine machine(MachineText("platform-two-sticks"));
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
