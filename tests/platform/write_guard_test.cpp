// The one write point and its guard: no path, whatever handle or interface
// it starts from, changes a disk that holds the running system; plain-file
// names never reach a device, nor the machine's own files; a process
// narrowed to one drive reaches no other. (What every backend keeps is the
// conformance suite's.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

// The machine "platform-system-on-d": the system disk holds D:, where the
// Windows directory is; a data disk holds C:; both are ASPI hosts too.
std::vector<std::string> JournaledDisks() {
    std::vector<std::string> disks;
    for (const auto& entry : larkin::controls::Journal()) disks.push_back(entry.disk);
    return disks;
}

TEST(WriteGuard, NoPathWritesTheDiskOfTheWindowsDirectory) {
    TestMachine machine(MachineText("platform-system-on-d"));
    ASSERT_TRUE(machine.started());
    larkin::controls::ClearJournal();
    std::vector<BYTE> data(512, 0xEE);
    PassThrough record{};

    // Opening for writing is refused outright, whatever the letter.
    LARKIN_EXPECT_FAILS(Open("\\\\.\\PhysicalDrive0").Valid(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Open("\\\\.\\D:", GENERIC_WRITE).Valid());

    // A read-only disk handle cannot send pass-through at all: the request
    // needs read and write access.
    Handle readOnly = Open("\\\\.\\PhysicalDrive0", GENERIC_READ);
    ASSERT_TRUE(readOnly.Valid());
    LARKIN_EXPECT_FAILS(
        SendCommand(readOnly.Get(), Cdb10(0x2A, 0, 1), SCSI_IOCTL_DATA_OUT, data, record),
        ERROR_ACCESS_DENIED);

    // The port handle may ask; the write still never reaches the disk, while
    // reads and every command of another disk go through.
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
    auto cdb = Cdb10(0x2A, 5, 1);
    EXPECT_EQ(LarkinScsiExecute(0, 0, 0, cdb.data(), 10, LARKIN_SCSI_DATA_OUT, data.data(), 512,
                                nullptr, 0, &status),
              DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(LarkinScsiExecute(1, 0, 0, cdb.data(), 10, LARKIN_SCSI_DATA_OUT, data.data(), 512,
                                nullptr, 0, &status),
              DWORD{ERROR_SUCCESS});
    EXPECT_EQ(status, SCSISTAT_GOOD);

    // The disk that holds C: but not the Windows directory is an ordinary disk.
    Handle other = Open("\\\\.\\PhysicalDrive1");
    EXPECT_TRUE(larkin::test::WriteAt(other.Get(), 0, data));
    EXPECT_EQ(JournaledDisks(), (std::vector<std::string>{"data", "data"}));
}

TEST(WriteGuard, AProcessNarrowedToOneDriveReachesNoOther) {
    TestMachine machine(MachineText("platform-system-on-d"));
    ASSERT_TRUE(machine.started());
    EXPECT_FALSE(LarkinSeeOnlyDrive("Q:"));
    ASSERT_TRUE(LarkinSeeOnlyDrive("C:"));
    // The programs it starts see as little.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    char line[] = "sh -c \"test \\\"$LARKIN_ONLY_DISK\\\" = data\"";
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));
    ASSERT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(GetLogicalDrives(), 1u << 2);  // C: alone
    EXPECT_TRUE(Open("\\\\.\\PhysicalDrive1").Valid());
    for (const char* other : {"\\\\.\\PhysicalDrive0", "\\\\.\\D:"})
        EXPECT_FALSE(Open(other, GENERIC_READ).Valid()) << other;
    // Not even a SCSI command through the other disk's ASPI host.
    std::vector<BYTE> data(512);
    std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0};
    BYTE status = 0;
    EXPECT_EQ(LarkinScsiExecute(0, 0, 0, inquiry.data(), 6, LARKIN_SCSI_DATA_IN, data.data(), 36,
                                nullptr, 0, &status),
              DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(LarkinScsiExecute(1, 0, 0, inquiry.data(), 6, LARKIN_SCSI_DATA_IN, data.data(), 36,
                                nullptr, 0, &status),
              DWORD{ERROR_SUCCESS});
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
    larkin::controls::ClearJournal();
    std::vector<std::pair<fs::path, DWORD>> names = {
        {system, OPEN_EXISTING},
        {fs::relative(system), CREATE_ALWAYS},
        {state / "locks" / ".." / "system.img", OPEN_ALWAYS},
        {outside / "link.img", CREATE_ALWAYS},
        {outside / "hard.img", OPEN_EXISTING},
        {machine.file(), OPEN_EXISTING},
        {state / "journal", OPEN_EXISTING},
        {state / "saved.mbr", CREATE_NEW},
        {outside / "state" / "saved.mbr", CREATE_ALWAYS},
    };
    for (const fs::path& device :
         {fs::path("/dev/null"), fs::path("\\dev\\null"), outside / "disk.img",
          fs::path("/dev/../dev/zero"), outside / "pipe"})
        for (DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{OPEN_ALWAYS}, DWORD{CREATE_ALWAYS}})
            names.emplace_back(device, disposition);
    for (const auto& [path, disposition] : names) {
        SetLastError(0);
        Handle handle(CreateFileA(path.c_str(), kReadWrite, 0, nullptr, disposition, 0, nullptr));
        EXPECT_FALSE(handle.Valid()) << path;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << path;
    }
    EXPECT_EQ(fs::file_size(system), systemSize);
    EXPECT_FALSE(fs::exists(state / "saved.mbr"));
    EXPECT_TRUE(larkin::controls::Journal().empty());

    fs::create_symlink(outside / "table.bin", outside / "table-link.bin");
    Handle made(CreateFileA((outside / "table.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_TRUE(made.Valid());
    Handle linked(CreateFileA((outside / "table-link.bin").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    EXPECT_TRUE(linked.Valid());
    Handle beside(CreateFileA((machine.folder() / "saved.mbr").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr));
    EXPECT_TRUE(beside.Valid());
}

}  // namespace
}  // namespace larkin::test
