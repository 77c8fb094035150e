// Opening disks, volumes, ports and files by their Windows names, and the
// share modes of plain files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <optional>
#include <tuple>

#include "larkin/platform.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TestMachine;

HANDLE Open(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

TEST(CreateFile, OpensEachKindOfDeviceName) {
    TestMachine machine(MachineText("platform-two-sticks"));
    for (const char* name : {"\\\\.\\PhysicalDrive1", "\\\\.\\physicaldrive2",
                             "\\\\.\\E:", "\\\\.\\e:", "\\\\.\\scsi0:", "\\\\.\\SCSI2:"}) {
        HANDLE handle = Open(name);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(handle)) << name;
    }
}

TEST(CreateFile, MissingDevicesFailWithTheirErrors) {
    TestMachine machine(MachineText("platform-two-sticks"));
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
    TestMachine machine(MachineText("platform-two-sticks"));
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

// On a machine of their own: a folder made after another machine's went may
// take its inode, and with it the place of that machine's own files.
TEST(PlainFiles, DispositionsAndTheirLastErrors) {
    TestMachine machine(MachineText("platform-two-sticks"));
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

    // Another spelling of the name, opened for no access at all beside the
    // unshared handle, is the same file; another file is not.
    std::string spelled = (folder.path() / "." / "saved.bin").string();
    HANDLE same = CreateFileA(spelled.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(same, INVALID_HANDLE_VALUE);
    std::ofstream(folder.path() / "other.bin") << "abc";
    HANDLE other = CreateFileA((folder.path() / "other.bin").string().c_str(), GENERIC_READ, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION a{}, b{}, c{};
    ASSERT_TRUE(GetFileInformationByHandle(file, &a));
    ASSERT_TRUE(GetFileInformationByHandle(same, &b));
    ASSERT_TRUE(GetFileInformationByHandle(other, &c));
    EXPECT_EQ(std::tie(a.dwVolumeSerialNumber, a.nFileIndexHigh, a.nFileIndexLow),
              std::tie(b.dwVolumeSerialNumber, b.nFileIndexHigh, b.nFileIndexLow));
    EXPECT_NE(a.nFileIndexLow, c.nFileIndexLow);
    EXPECT_EQ(a.nFileSizeLow, 3u);
    CloseHandle(other);
    CloseHandle(same);
    CloseHandle(file);
}

// A plain file held open by this process or by a child process.
class HeldOpen {
  public:
    HeldOpen(const std::string& path, DWORD access, DWORD share, bool inChild) {
        auto open = [=] {
            return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        };
        if (inChild)
            child_.emplace([&] { return open() != INVALID_HANDLE_VALUE; });
        else
            handle_ = larkin::test::Handle(open());
    }
    bool opened() const { return child_ ? child_->Succeeded() : handle_.Valid(); }

  private:
    larkin::test::Handle handle_;
    std::optional<larkin::test::ChildHolding> child_;
};

TEST(PlainFiles, ShareModesHoldBetweenHandlesAndProcesses) {
    TestMachine machine(MachineText("platform-two-sticks"));
    larkin::test::TempFolder folder;
    std::string path = (folder.path() / "shared.bin").string();
    std::ofstream(path) << "abc";
    constexpr DWORD kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD kReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        DWORD access, share;  // the open that holds the file
        DWORD laterAccess, laterShare;
        bool opens;
    };
    for (const Case& c : {
             Case{GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
             Case{GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kAll, false},
             Case{GENERIC_READ, kReadWrite, GENERIC_WRITE, FILE_SHARE_WRITE, false},
             Case{GENERIC_READ, kReadWrite, GENERIC_WRITE, kReadWrite, true},
             Case{GENERIC_WRITE, FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_WRITE, true},
             Case{GENERIC_WRITE, FILE_SHARE_WRITE, GENERIC_READ, kAll, false},
             Case{FILE_ALL_ACCESS, 0, GENERIC_READ, kAll, false},
             Case{FILE_ALL_ACCESS, kReadWrite, GENERIC_READ, kReadWrite, false},  // delete
             Case{FILE_ALL_ACCESS, 0, 0, kAll, true},  // no data access: no sharing
             Case{0, 0, FILE_ALL_ACCESS, 0, true},
         }) {
        for (bool inChild : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << std::hex << c.access << " " << c.share << " then " << c.laterAccess
                         << " " << c.laterShare << (inChild ? " in another process" : ""));
            HeldOpen held(path, c.access, c.share, inChild);
            ASSERT_TRUE(held.opened());
            HANDLE later = CreateFileA(path.c_str(), c.laterAccess, c.laterShare, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(later != INVALID_HANDLE_VALUE, c.opens);
            if (later == INVALID_HANDLE_VALUE) {
                EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            } else {
                CloseHandle(later);
            }
        }
    }
    {
        // A refused open truncates nothing; a refused delete deletes nothing.
        HeldOpen held(path, GENERIC_READ, FILE_SHARE_READ, true);
        ASSERT_TRUE(held.opened());
        EXPECT_EQ(
            CreateFileA(path.c_str(), GENERIC_WRITE, kAll, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
        EXPECT_EQ(std::filesystem::file_size(path), 3u);
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    // Once the holder is gone the file opens and deletes again.
    HANDLE again =
        CreateFileA(path.c_str(), FILE_ALL_ACCESS, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    CloseHandle(again);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
