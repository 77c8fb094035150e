// Opening disks, volumes, ports and files by their Windows names, and
// sector I/O with its journal.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <string>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "machines.h"
#include "test_machine.h"

namespace {

using larkin::test::TestMachine;

HANDLE Open(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::string StickPath() {
    for (const auto& disk : larkin::sim::Disks())
        if (disk.id == "stick1") return "\\\\.\\PhysicalDrive" + std::to_string(disk.number);
    return {};
}

TEST(CreateFile, OpensEachKindOfDeviceName) {
    TestMachine machine(larkin::test::kTwoSticks);
    for (const char* name : {"\\\\.\\PhysicalDrive1", "\\\\.\\physicaldrive2",
                             "\\\\.\\E:", "\\\\.\\e:", "\\\\.\\scsi0:", "\\\\.\\SCSI2:"}) {
        HANDLE handle = Open(name);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(handle)) << name;
    }
}

TEST(CreateFile, MissingDevicesFailWithTheirErrors) {
    TestMachine machine(larkin::test::kTwoSticks);
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"\\\\.\\PhysicalDrive7", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\F:", ERROR_FILE_NOT_FOUND},  // a letter without a volume
        {"\\\\.\\scsi9:", ERROR_FILE_NOT_FOUND},
        {"\\\\?\\usbstor#nothing#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", ERROR_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(Open(c.name), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

TEST(CreateFile, ClosedAndWrongHandlesAreInvalid) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE disk = Open("\\\\.\\PhysicalDrive1");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(disk));
    BYTE sector[512];
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(disk, sector, 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(disk));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0,
                                 nullptr, 0, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SectorIo, WritesLandOnTheImageAndInTheJournal) {
    TestMachine machine(larkin::test::kTwoSticks);
    larkin::sim::ClearJournal();
    HANDLE disk = Open(StickPath());
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::array<BYTE, 1024> pattern{};
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<BYTE>(i * 7);
    LARGE_INTEGER at{};
    at.QuadPart = 4096;
    ASSERT_TRUE(SetFilePointerEx(disk, at, nullptr, FILE_BEGIN));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(disk, pattern.data(), 1024, &done, nullptr));
    EXPECT_EQ(done, 1024u);

    std::array<BYTE, 1024> back{};
    ASSERT_TRUE(SetFilePointerEx(disk, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(disk, back.data(), 1024, &done, nullptr));
    EXPECT_EQ(back, pattern);
    CloseHandle(disk);

    // The bytes are in the image file itself, where another process sees them.
    std::ifstream image(machine.folder() / "machine.state" / "stick1.img", std::ios::binary);
    image.seekg(4096);
    std::array<char, 1024> raw{};
    image.read(raw.data(), raw.size());
    EXPECT_EQ(std::memcmp(raw.data(), pattern.data(), raw.size()), 0);

    auto journal = larkin::sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].disk, "stick1");
    EXPECT_EQ(journal[0].offset, 4096u);
    EXPECT_EQ(journal[0].length, 1024u);
    EXPECT_EQ(journal[0].via, "WriteFile");
}

TEST(SectorIo, RawDiskIoMustBeWholeSectors) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE disk = Open(StickPath());
    BYTE buffer[1024] = {};
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(disk, buffer, 100, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    LARGE_INTEGER odd{};
    odd.QuadPart = 10;
    SetFilePointerEx(disk, odd, nullptr, FILE_BEGIN);
    EXPECT_FALSE(WriteFile(disk, buffer, 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(larkin::sim::Journal().empty());
    CloseHandle(disk);
}

TEST(SectorIo, ReadOnlyHandlesDoNotWrite) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE disk = Open(StickPath(), GENERIC_READ);
    BYTE sector[512] = {};
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(disk, sector, 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(disk);
}

TEST(SectorIo, TheSystemDiskIsNeverOpenedForWriting) {
    TestMachine machine(larkin::test::kTwoSticks);
    EXPECT_EQ(Open("\\\\.\\PhysicalDrive0"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("\\\\.\\C:", FILE_ALL_ACCESS), INVALID_HANDLE_VALUE);
    HANDLE reader = Open("\\\\.\\PhysicalDrive0", GENERIC_READ);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
}

TEST(SectorIo, AVolumeHandleSeesOnlyItsPartition) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE disk = Open(StickPath());
    HANDLE volume = Open("\\\\.\\E:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    BYTE mark[512];
    std::memset(mark, 0xA5, sizeof mark);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(volume, mark, 512, &done, nullptr));
    // The partition starts at sector 32 of the stick.
    LARGE_INTEGER at{};
    at.QuadPart = 32 * 512;
    SetFilePointerEx(disk, at, nullptr, FILE_BEGIN);
    BYTE back[512] = {};
    ASSERT_TRUE(ReadFile(disk, back, 512, &done, nullptr));
    EXPECT_EQ(std::memcmp(back, mark, 512), 0);
    LARGE_INTEGER end{};
    ASSERT_TRUE(SetFilePointerEx(volume, LARGE_INTEGER{}, &end, FILE_END));
    EXPECT_EQ(end.QuadPart, (16 * 1024 * 1024 / 512 - 32) * 512);
    EXPECT_FALSE(WriteFile(volume, mark, 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);
    CloseHandle(volume);
    CloseHandle(disk);
}

TEST(PlainFiles, DispositionsAndTheirLastErrors) {
    larkin::test::TempFolder folder;
    std::string path = (folder.path() / "saved.bin").string();
    HANDLE file = CreateFileA(path.c_str(), FILE_ALL_ACCESS, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    file = CreateFileA(path.c_str(), FILE_ALL_ACCESS, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file, "abc", 3, &done, nullptr));
    CloseHandle(file);

    file = CreateFileA(path.c_str(), FILE_ALL_ACCESS, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 3);  // opened, not truncated
    char text[8] = {};
    ASSERT_TRUE(ReadFile(file, text, sizeof text, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_STREQ(text, "abc");
    CloseHandle(file);
}

}  // namespace
