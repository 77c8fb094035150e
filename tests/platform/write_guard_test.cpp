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
#include <span>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TempFolder;
using larkin::test::TestMachine;

// The machine "platform-system-on-d": the system disk holds D:, where the
// Windows directory is; a data disk holds C:; both are ASPI hosts too.
HANDLE Open(const std::string& name, DWORD access) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

struct Handle {
    HANDLE value;
    explicit Handle(HANDLE h) : value(h) {}
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE) CloseHandle(value);
    }
};

// One SCSI command through IOCTL_SCSI_PASS_THROUGH_DIRECT; false with the
// last error when the request itself fails.
bool PassThrough(HANDLE handle, std::vector<uint8_t> cdb, std::span<std::byte> data, bool out,
                 uint8_t target = 0) {
    struct {
        SCSI_PASS_THROUGH_DIRECT request;
        std::array<uint8_t, 32> sense;
    } block{};
    block.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.request.TargetId = target;
    block.request.CdbLength = static_cast<UCHAR>(cdb.size());
    std::memcpy(block.request.Cdb, cdb.data(), cdb.size());
    block.request.DataIn = out ? SCSI_IOCTL_DATA_OUT : SCSI_IOCTL_DATA_IN;
    block.request.DataTransferLength = static_cast<ULONG>(data.size());
    block.request.DataBuffer = data.data();
    block.request.TimeOutValue = 10;
    block.request.SenseInfoLength = sizeof block.sense;
    block.request.SenseInfoOffset = offsetof(decltype(block), sense);
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                           sizeof block, &returned, nullptr);
}

std::vector<uint8_t> Write10(uint32_t lba) {
    return {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
            1,    0};
}
std::vector<uint8_t> Read10(uint32_t lba) {
    return {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
            1,    0};
}

std::array<std::byte, 512> Sector(std::byte fill) {
    std::array<std::byte, 512> sector;
    sector.fill(fill);
    return sector;
}

std::vector<std::string> JournaledDisks() {
    std::vector<std::string> disks;
    for (const auto& entry : larkin::controls::Journal()) disks.push_back(entry.disk);
    return disks;
}

TEST(WriteGuard, NoPathWritesTheDiskOfTheWindowsDirectory) {
    TestMachine machine(MachineText("platform-system-on-d"));
    ASSERT_TRUE(machine.started());
    larkin::controls::ClearJournal();
    auto data = Sector(std::byte{0xEE});

    // Opening for writing is refused outright, whatever the letter.
    EXPECT_EQ(Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("\\\\.\\D:", GENERIC_WRITE), INVALID_HANDLE_VALUE);

    // A read-only disk handle cannot send pass-through at all: the request
    // needs read and write access.
    Handle readOnly(Open("\\\\.\\PhysicalDrive0", GENERIC_READ));
    ASSERT_NE(readOnly.value, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(PassThrough(readOnly.value, Write10(0), data, true));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // The port handle may ask; the write still never reaches the disk, while
    // reads and every command of another disk go through.
    Handle port(Open("\\\\.\\scsi0:", GENERIC_READ | GENERIC_WRITE));
    ASSERT_NE(port.value, INVALID_HANDLE_VALUE);
    for (auto cdb : {Write10(0), std::vector<uint8_t>{0x04, 0, 0, 0, 0, 0},  // FORMAT UNIT
                     std::vector<uint8_t>{0x41, 0, 0, 0, 0, 0, 0, 0, 1, 0},  // WRITE SAME(10)
                     std::vector<uint8_t>{0xC5, 0, 0, 0, 0, 0}}) {           // vendor specific
        SetLastError(0);
        EXPECT_FALSE(PassThrough(port.value, cdb, data, true)) << int(cdb[0]);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << int(cdb[0]);
    }
    auto read = Sector(std::byte{0});
    EXPECT_TRUE(PassThrough(port.value, Read10(0), read, false)) << GetLastError();
    EXPECT_EQ(read[510], std::byte{0x55});

    // ASPI: host 0 drives the system disk's port, host 1 the data disk's.
    BYTE status = 0;
    auto cdb = Write10(5);
    EXPECT_EQ(LarkinScsiExecute(0, 0, 0, cdb.data(), 10, LARKIN_SCSI_DATA_OUT, data.data(), 512,
                                nullptr, 0, &status),
              DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(LarkinScsiExecute(1, 0, 0, cdb.data(), 10, LARKIN_SCSI_DATA_OUT, data.data(), 512,
                                nullptr, 0, &status),
              DWORD{ERROR_SUCCESS});
    EXPECT_EQ(status, SCSISTAT_GOOD);

    // The disk that holds C: but not the Windows directory is an ordinary disk.
    Handle other(Open("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE));
    ASSERT_NE(other.value, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(other.value, data.data(), 512, &done, nullptr));
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
    Handle own(Open("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE));
    EXPECT_NE(own.value, INVALID_HANDLE_VALUE);
    for (const char* other : {"\\\\.\\PhysicalDrive0", "\\\\.\\D:"}) {
        Handle handle(Open(other, GENERIC_READ));
        EXPECT_EQ(handle.value, INVALID_HANDLE_VALUE) << other;
    }
    // Not even a SCSI command through the other disk's ASPI host.
    auto data = Sector(std::byte{0});
    std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0};
    BYTE status = 0;
    EXPECT_EQ(LarkinScsiExecute(0, 0, 0, inquiry.data(), 6, LARKIN_SCSI_DATA_IN, data.data(), 36,
                                nullptr, 0, &status),
              DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(LarkinScsiExecute(1, 0, 0, inquiry.data(), 6, LARKIN_SCSI_DATA_IN, data.data(), 36,
                                nullptr, 0, &status),
              DWORD{ERROR_SUCCESS});
}

TEST(WriteGuard, PlainFileNamesNeverReachADevice) {
    TestMachine machine(MachineText("platform-two-sticks"));
    TempFolder folder;
    auto link = folder.path() / "disk.img";
    std::filesystem::create_symlink("/dev/zero", link);
    auto pipe = folder.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::string backslashed = "\\dev\\null";
    for (const std::string& name : {std::string("/dev/null"), backslashed, link.string(),
                                    std::string("/dev/../dev/zero"), pipe.string()}) {
        for (DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{OPEN_ALWAYS}, DWORD{CREATE_ALWAYS}}) {
            SetLastError(0);
            HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        disposition, 0, nullptr);
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << name;
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << name;
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
    }
    // Regular files stay plain files, links to them included.
    auto file = folder.path() / "table.bin";
    auto fileLink = folder.path() / "table-link.bin";
    std::filesystem::create_symlink(file, fileLink);
    Handle made(
        CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_NE(made.value, INVALID_HANDLE_VALUE);
    Handle linked(CreateFileA(fileLink.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_NE(linked.value, INVALID_HANDLE_VALUE);
}

// The machine file, its images and its state folder's files are reached
// only as its disks: as plain files they would be written past the guard
// and the journal.
TEST(WriteGuard, PlainFileNamesNeverReachTheMachinesOwnFiles) {
    TestMachine machine(MachineText("platform-two-sticks"));
    namespace fs = std::filesystem;
    const fs::path state = machine.folder() / "machine.state";
    const fs::path system = state / "system.img";
    TempFolder outside;
    fs::create_symlink(system, outside.path() / "link.img");
    fs::create_hard_link(state / "stick1.img", outside.path() / "hard.img");
    fs::create_directory_symlink(state, outside.path() / "state");
    const auto systemSize = fs::file_size(system);
    larkin::controls::ClearJournal();
    struct Name {
        fs::path path;
        DWORD disposition;
    };
    for (const Name& name : {
             Name{system, OPEN_EXISTING},
             Name{fs::relative(system), CREATE_ALWAYS},
             Name{state / "locks" / ".." / "system.img", OPEN_ALWAYS},
             Name{outside.path() / "link.img", CREATE_ALWAYS},
             Name{outside.path() / "hard.img", OPEN_EXISTING},
             Name{machine.file(), OPEN_EXISTING},
             Name{state / "journal", OPEN_EXISTING},
             Name{state / "saved.mbr", CREATE_NEW},
             Name{outside.path() / "state" / "saved.mbr", CREATE_ALWAYS},
         }) {
        SetLastError(0);
        HANDLE handle = CreateFileA(name.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    name.disposition, 0, nullptr);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << name.path;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << name.path;
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    EXPECT_EQ(fs::file_size(system), systemSize);
    EXPECT_FALSE(fs::exists(state / "saved.mbr"));
    EXPECT_TRUE(larkin::controls::Journal().empty());
    // Beside the state folder, files are plain files.
    Handle beside(CreateFileA((machine.folder() / "saved.mbr").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr));
    EXPECT_NE(beside.value, INVALID_HANDLE_VALUE);
}

}  // namespace
