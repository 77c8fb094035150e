// Opening disks, volumes, ports and files by their Windows names, the share
// modes of plain files, and the write guard on the simulated machine beyond
// what every backend keeps.
#include <sys/stat.h>

#include <fstream>
#include <tuple>

#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

TEST(CreateFile, DeviceNamesOpenInAnyCaseOrFailWithTheirErrors) {
    TestMachine machine(MachineText("platform-two-sticks"));
    const std::pair<const char*, DWORD> names[] = {
        {"\\\\.\\physicaldrive2", ERROR_SUCCESS},
        {"\\\\.\\e:", ERROR_SUCCESS},
        {"\\\\.\\SCSI2:", ERROR_SUCCESS},
        {"\\\\.\\PhysicalDrive7", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\F:", ERROR_FILE_NOT_FOUND},  // a letter without a volume
        {"\\\\.\\scsi9:", ERROR_FILE_NOT_FOUND},
        {"\\\\?\\usbstor#nothing#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", ERROR_FILE_NOT_FOUND}};
    for (const auto& [name, error] : names) {
        SetLastError(ERROR_GEN_FAILURE);  // so a failure that sets no error shows
        EXPECT_EQ(Open(name).Valid() ? DWORD{ERROR_SUCCESS} : GetLastError(), error) << name;
    }

    HANDLE disk = Open("\\\\.\\PhysicalDrive1").Get();  // closed as the Handle goes
    BYTE sector[512];
    DWORD done = 0;
    LARKIN_EXPECT_FAILS(ReadFile(disk, sector, 512, &done, nullptr), ERROR_INVALID_HANDLE);
    LARKIN_EXPECT_FAILS(CloseHandle(disk), ERROR_INVALID_HANDLE);
    LARKIN_EXPECT_FAILS(Control(INVALID_HANDLE_VALUE, IOCTL_DISK_UPDATE_PROPERTIES),
                        ERROR_INVALID_HANDLE);
}

TEST(PlainFiles, DispositionsLastErrorsAndShareModes) {
    TestMachine machine(MachineText("platform-two-sticks"));
    TempFolder folder;
    std::string path = (folder.path() / "saved.bin").string();
    LARKIN_EXPECT_FAILS(Open(path, FILE_ALL_ACCESS, 0).Valid(), ERROR_FILE_NOT_FOUND);
    {
        Handle made = Open(path, FILE_ALL_ACCESS, 0, OPEN_ALWAYS);
        ASSERT_TRUE(made.Valid());
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(made.Get(), "abc", 3, &done, nullptr));
    }
    Handle file = Open(path, FILE_ALL_ACCESS, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    char text[8] = {};
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(file.Get(), text, sizeof text, &done, nullptr));
    EXPECT_STREQ(text, "abc");  // opened, not truncated

    // Another spelling of the name, opened for no access at all beside the
    // unshared handle, is the same file; another file is not.
    Handle same = Open(folder.path() / "." / "saved.bin", 0, 0);
    std::ofstream(folder.path() / "other.bin") << "abc";
    Handle other = Open(folder.path() / "other.bin", GENERIC_READ, 0);
    BY_HANDLE_FILE_INFORMATION a{}, b{}, c{};
    ASSERT_TRUE(GetFileInformationByHandle(file.Get(), &a));
    ASSERT_TRUE(GetFileInformationByHandle(same.Get(), &b));
    ASSERT_TRUE(GetFileInformationByHandle(other.Get(), &c));
    EXPECT_EQ(std::tie(a.dwVolumeSerialNumber, a.nFileIndexHigh, a.nFileIndexLow),
              std::tie(b.dwVolumeSerialNumber, b.nFileIndexHigh, b.nFileIndexLow));
    EXPECT_NE(a.nFileIndexLow, c.nFileIndexLow);
    EXPECT_EQ(a.nFileSizeLow, 3u);

    // Share modes hold between handles and processes.
    path = (folder.path() / "shared.bin").string();
    std::ofstream(path) << "abc";
    constexpr DWORD kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD kBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        DWORD access, share;  // the open that holds the file
        DWORD laterAccess, laterShare;
        bool opens;
    };
    for (const Case& c : {
             Case{GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
             Case{GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kAll, false},
             Case{GENERIC_READ, kBoth, GENERIC_WRITE, FILE_SHARE_WRITE, false},
             Case{GENERIC_READ, kBoth, GENERIC_WRITE, kBoth, true},
             Case{GENERIC_WRITE, FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_WRITE, true},
             Case{GENERIC_WRITE, FILE_SHARE_WRITE, GENERIC_READ, kAll, false},
             Case{FILE_ALL_ACCESS, 0, GENERIC_READ, kAll, false},
             Case{FILE_ALL_ACCESS, kBoth, GENERIC_READ, kBoth, false},  // delete
             Case{FILE_ALL_ACCESS, 0, 0, kAll, true},  // no data access: no sharing
             Case{0, 0, FILE_ALL_ACCESS, 0, true},
         }) {
        for (bool inChild : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << std::hex << c.access << " " << c.share << " then " << c.laterAccess
                         << " " << c.laterShare << (inChild ? " in another process" : ""));
            auto open = [&] {
                return CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
            };
            Handle held(inChild ? INVALID_HANDLE_VALUE : open());
            std::optional<ChildHolding> child;
            if (inChild) child.emplace([&] { return open() != INVALID_HANDLE_VALUE; });
            ASSERT_TRUE(inChild ? child->Succeeded() : held.Valid());
            EXPECT_EQ(Open(path, c.laterAccess, c.laterShare).Valid() ? DWORD{ERROR_SUCCESS}
                                                                      : GetLastError(),
                      c.opens ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_SHARING_VIOLATION});
        }
    }
    {
        // A refused open truncates nothing; a refused delete deletes nothing.
        ChildHolding held([&] {
            return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr) != INVALID_HANDLE_VALUE;
        });
        ASSERT_TRUE(held.Succeeded());
        EXPECT_FALSE(Open(path, GENERIC_WRITE, kAll, CREATE_ALWAYS).Valid());
        EXPECT_EQ(std::filesystem::file_size(path), 3u);
        LARKIN_EXPECT_FAILS(DeleteFileA(path.c_str()), ERROR_SHARING_VIOLATION);
    }
    // Once the holder is gone the file opens and deletes again.
    EXPECT_TRUE(Open(path, FILE_ALL_ACCESS, 0, TRUNCATE_EXISTING).Valid());
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

// The machine "platform-system-on-d": the system disk holds D:, where the
// Windows directory is; a data disk holds C:; both are ASPI hosts too. A
// process narrowed to one drive reaches no other.
TEST(WriteGuard, NoPathWritesTheWindowsDiskAndANarrowedProcessReachesOneDrive) {
    TestMachine machine(MachineText("platform-system-on-d"));
    ASSERT_TRUE(machine.started());
    controls::ClearJournal();
    std::vector<BYTE> data(512, 0xEE);
    PassThrough record{};

    LARKIN_EXPECT_FAILS(Open("\\\\.\\PhysicalDrive0").Valid(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Open("\\\\.\\D:", GENERIC_WRITE).Valid());
    // Nor is it held: a hold is taken only to write.
    char why[200] = "";
    LARKIN_EXPECT_FAILS(LarkinHoldDrive("D:", "a test", why, sizeof why), ERROR_ACCESS_DENIED);

    // Through the port, a read goes and no write does.
    Handle port = Open("\\\\.\\scsi0:");
    ASSERT_TRUE(port.Valid());
    for (auto cdb : {Cdb10(0x2A, 0, 1), std::vector<BYTE>{0x04, 0, 0, 0, 0, 0},  // FORMAT UNIT
                     Cdb10(0x41, 0, 1),                                          // WRITE SAME(10)
                     std::vector<BYTE>{0xC5, 0, 0, 0, 0, 0}}) {                  // vendor specific
        SetLastError(0);
        LARKIN_EXPECT_FAILS(SendCommand(port.Get(), cdb, SCSI_IOCTL_DATA_OUT, data, record),
                            ERROR_ACCESS_DENIED);
    }
    std::vector<BYTE> read(512);
    EXPECT_TRUE(SendCommand(port.Get(), Cdb10(0x28, 0, 1), SCSI_IOCTL_DATA_IN, read, record))
        << GetLastError();
    EXPECT_EQ(read[510], 0x55);

    // ASPI: host 0 drives the system disk's port, host 1 the data disk's.
    BYTE status = 0;
    auto write = Cdb10(0x2A, 5, 1);
    EXPECT_EQ(Aspi(0, write, LARKIN_SCSI_DATA_OUT, data, &status), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(Aspi(1, write, LARKIN_SCSI_DATA_OUT, data, &status), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(status, SCSISTAT_GOOD);

    // The disk that holds C: but not the Windows directory is an ordinary disk.
    Handle other = Open("\\\\.\\PhysicalDrive1");
    EXPECT_TRUE(WriteAt(other.Get(), 0, data));
    std::vector<std::string> journaled;
    for (const auto& entry : controls::Journal()) journaled.push_back(entry.disk);
    EXPECT_EQ(journaled, (std::vector<std::string>{"data", "data"}));

    EXPECT_FALSE(LarkinSeeOnlyDrive("Q:"));
    ASSERT_TRUE(LarkinSeeOnlyDrive("C:"));
    // The programs it starts see as little.
    PROCESS_INFORMATION child =
        Start("sh -c \"test \\\"$LARKIN_ONLY_DISK\\\" = data\"", "Narrowed");
    Handle process(child.hProcess), thread(child.hThread);
    ASSERT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(child), 0u);
    EXPECT_EQ(GetLogicalDrives(), 1u << 2);  // C: alone
    EXPECT_TRUE(Open("\\\\.\\PhysicalDrive1").Valid());
    for (const char* other : {"\\\\.\\PhysicalDrive0", "\\\\.\\D:"})
        EXPECT_FALSE(Open(other, GENERIC_READ).Valid()) << other;
    // Not even a SCSI command through the other disk's ASPI host.
    std::vector<BYTE> inquiry = {0x12, 0, 0, 0, 36, 0};
    data.resize(36);
    EXPECT_EQ(Aspi(0, inquiry, LARKIN_SCSI_DATA_IN, data, &status),
              DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(Aspi(1, inquiry, LARKIN_SCSI_DATA_IN, data, &status), DWORD{ERROR_SUCCESS});
}

// Plain-file names never reach a device, nor the machine file, its images
// and its state folder's files: as plain files they would be written past
// the guard and the journal. Regular files elsewhere stay plain files,
// links to them included.
TEST(WriteGuard, PlainFileNamesNeverReachADeviceNorTheMachinesOwnFiles) {
    TestMachine machine(MachineText("platform-two-sticks"));
    namespace fs = std::filesystem;
    const fs::path state = machine.folder() / "machine.state";
    const fs::path system = state / "system.img";
    TempFolder folder;
    const fs::path& outside = folder.path();
    fs::create_symlink("/dev/zero", outside / "disk.img");
    ASSERT_EQ(::mkfifo((outside / "pipe").c_str(), 0600), 0);
    fs::create_symlink(system, outside / "link.img");
    fs::create_hard_link(state / "stick1.img", outside / "hard.img");
    fs::create_directory_symlink(state, outside / "state");
    const auto systemSize = fs::file_size(system);
    controls::ClearJournal();
    std::vector<std::pair<fs::path, DWORD>> names = {
        {fs::relative(system), CREATE_ALWAYS}, {state / "locks" / ".." / "system.img", OPEN_ALWAYS},
        {outside / "link.img", CREATE_ALWAYS}, {outside / "hard.img", OPEN_EXISTING},
        {machine.file(), OPEN_EXISTING},       {state / "journal", OPEN_EXISTING},
        {state / "saved.mbr", CREATE_NEW},     {outside / "state" / "saved.mbr", CREATE_ALWAYS},
    };
    for (const fs::path& device :
         {fs::path("/dev/null"), fs::path("\\dev\\null"), outside / "disk.img",
          fs::path("/dev/../dev/zero"), outside / "pipe"})
        for (DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{OPEN_ALWAYS}, DWORD{CREATE_ALWAYS}})
            names.emplace_back(device, disposition);
    for (const auto& [path, disposition] : names) {
        SetLastError(0);
        EXPECT_FALSE(Open(path, kReadWrite, 0, disposition).Valid()) << path;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << path;
    }
    EXPECT_EQ(fs::file_size(system), systemSize);
    EXPECT_FALSE(fs::exists(state / "saved.mbr"));
    EXPECT_TRUE(controls::Journal().empty());

    fs::create_symlink(outside / "table.bin", outside / "table-link.bin");
    Handle made = Open(outside / "table.bin", GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    EXPECT_TRUE(made.Valid());
    EXPECT_TRUE(Open(outside / "table-link.bin", GENERIC_READ).Valid());
    EXPECT_TRUE(Open(machine.folder() / "saved.mbr", GENERIC_WRITE, 0, CREATE_NEW).Valid());
}

}  // namespace
}  // namespace larkin::test
