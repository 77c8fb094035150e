#include "partition/partition_operations.h"

#include <array>
#include <cstdio>

#include "larkin/owned.h"
#include "devices/enumeration.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "partition/drive_geometry.h"
#include "partition/partition_entry.h"
#include "shell/command_runner.h"
#include "shell/volume_mapping.h"
#include "win32/devices.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

constexpr std::size_t kClearedBytes = 4096;
constexpr DWORD kSettlePause = 1000;
constexpr std::uint8_t kFat32Type = 0x0C;
constexpr std::array<DWORD, 10> kLetterPauses = {1000, 2000, 3000, 4000, 5000,
                                                 6000, 7000, 8000, 9000, 10000};
// The command lines are built in a buffer of this many characters.
constexpr std::size_t kCommandSize = 50;

larkin::Handle OpenDrive(const DeviceEntry& row) {
    return larkin::Handle(CreateFileA(row.driveName, FILE_ALL_ACCESS,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_WRITE_THROUGH, nullptr));
}

void UpdateProperties(HANDLE drive) {
    DWORD returned = 0;
    DeviceIoControl(drive, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                    nullptr);
}

bool WriteZeros(HANDLE drive) {
    std::array<std::uint8_t, kClearedBytes> zeros{};
    return SeekTo(drive, 0) && WriteAll(drive, zeros);
}

// Asks the configuration manager to look at the whole device tree again;
// the results change nothing here.
void ReenumerateDevices() {
    DEVINST root = 0;
    CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
    CM_Reenumerate_DevNode(root, 0);
}

// Polls for the freshly partitioned drive's letter with growing pauses;
// " " when none came.
std::array<char, 3> WaitForDriveLetter(HANDLE drive) {
    std::array<char, 3> letter = {' ', '\0', '\0'};
    for (DWORD pause : kLetterPauses) {
        Sleep(pause);
        FindVolumeLetter(drive, letter.data());
        if (letter[0] != ' ') break;
    }
    return letter;
}

std::array<char, kCommandSize> MkdosfsCommand(const char* letter) {
    std::array<char, kCommandSize> command{};
    std::snprintf(command.data(), command.size(), "cmd /c mkdosfs -F 32 -n Tolmar %s", letter);
    return command;
}

// The partition table and entry 0 of the drive layout; 0, or 4 (or 6 for a
// seek that fails) as the operations return them.
int WritePartitionTable(HANDLE drive, const DriveGeometry& geometry) {
    SectorData table = Fat32PartitionTable(geometry);
    if (!SeekTo(drive, 0)) return ATA_ERROR;
    if (!WriteAll(drive, table)) return ATA_PARTITION_FAILED;
    UpdateProperties(drive);
    if (!ApplyPartitionEntry(drive, geometry.hidden, geometry.sectors, true, kFat32Type))
        return ATA_PARTITION_FAILED;
    return ATA_OK;
}

}  // namespace

std::optional<int> FindNewDevice(const DeviceTable& table, int count) {
    for (int i = 0; i < count && i < kTableRows; ++i)
        if (IsNewDevice(table.rows[static_cast<std::size_t>(i)])) return i;
    return std::nullopt;
}

bool IsSupportedModel(const DeviceEntry& row) {
    auto is = [](char c, char upper) { return c == upper || c == upper - 'A' + 'a'; };
    return is(row.friendlyName[0], 'Q') && is(row.friendlyName[1], 'M');
}

int ZeroPartitionInfo() {
    int count = ScanWithVerran(ProbeTable);
    if (count < BaselineTable.count) return ATA_DEVICE_REMOVED;
    std::optional<int> target = FindNewDevice(ProbeTable, count);
    if (!target) return ATA_NO_NEW_DEVICE;
    const DeviceEntry& row = ProbeTable.rows[static_cast<std::size_t>(*target)];
    if (!IsSupportedModel(row)) return ATA_WRONG_DRIVE;
    larkin::Handle drive = OpenDrive(row);
    if (!drive) return ATA_ERROR;
    if (!WriteZeros(drive.get())) return ATA_ERROR;
    DWORD returned = 0;
    if (!DeviceIoControl(drive.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                         &returned, nullptr))
        return ATA_ERROR;
    drive.reset();
    Sleep(kSettlePause);
    return ATA_OK;
}

int CreatePartition() {
    ClearRows(ProbeTable);
    int count = ProbeTable.count = ScanWithVerran(ProbeTable);
    if (count < BaselineTable.count) {
        BaselineTable = ProbeTable;
        return ATA_DEVICE_REMOVED;
    }
    std::optional<int> target = FindNewDevice(ProbeTable, count);
    BaselineTable = ProbeTable;
    if (!target) return ATA_NO_NEW_DEVICE;
    const DeviceEntry& row = ProbeTable.rows[static_cast<std::size_t>(*target)];
    if (!IsSupportedModel(row)) return ATA_WRONG_DRIVE;

    ReportProgress("\n Opening Device.....");
    larkin::Handle drive = OpenDrive(row);
    if (!drive) {
        ReportProgress("....Error");
        return ATA_ERROR;
    }
    ReportProgress("....Done");
    ReportProgress("\n Getting Physical Drive Geometry.....");
    std::optional<DriveGeometry> geometry = ReadDriveGeometry(drive.get());
    if (!geometry) {
        ReportProgress("....Error");
        return ATA_ERROR;
    }
    ReportProgress("....Done");
    ReportProgress("\n Partitioning Device.....");
    if (int status = WritePartitionTable(drive.get(), *geometry); status != ATA_OK) return status;
    ReportProgress(".....Done");
    ReportProgress("\n Getting Device Volume Info.....");
    ReenumerateDevices();
    std::array<char, 3> letter = WaitForDriveLetter(drive.get());
    if (letter[0] == ' ') return ATA_NO_VOLUME;
    ReportProgress(".....Done");
    if (CurrentProgressCallback() != nullptr) {
        std::array<char, 64> text{};
        std::snprintf(text.data(), text.size(), "\n Formatting Device Volume %s.....",
                      letter.data());
        ReportProgress(text.data());
    }
    std::array<char, kCommandSize> command = MkdosfsCommand(letter.data());
    DWORD exitCode = kNoExitCode;
    if (!RunMinimizedCommand(command.data(), INFINITE, &exitCode)) return ATA_ERROR;
    // A mkdosfs that failed leaves the partition without a file system.
    if (exitCode != 0) return ATA_ERROR;
    ReportProgress(".....Done\n");
    return ATA_OK;
}

ATA_STATUS CreatePartitionCVD() {
    ClearRows(ProbeTable);
    const Services& services = BoundServices();
    int count = ProbeTable.count = services.bound ? ScanWithCorvid(ProbeTable) : 0;
    int baseline = BaselineTable.count;
    if (count == baseline) return ATA_NO_NEW_DEVICE;
    std::optional<int> target;
    if (count > baseline && count > 0) target = FindNewDevice(ProbeTable, count);
    BaselineTable = ProbeTable;
    if (count < baseline) return ATA_DEVICE_REMOVED;
    if (!target) return ATA_NO_NEW_DEVICE;
    const DeviceEntry& row = ProbeTable.rows[static_cast<std::size_t>(*target)];
    if (!IsSupportedModel(row)) return ATA_WRONG_DRIVE;

    larkin::Handle drive = OpenDrive(row);
    if (!drive) return ATA_ERROR;
    std::optional<DriveGeometry> geometry = ReadDriveGeometry(drive.get());
    if (!geometry) return ATA_ERROR;
    if (!WriteZeros(drive.get())) return ATA_ERROR;
    UpdateProperties(drive.get());
    Sleep(kSettlePause);
    if (int status = WritePartitionTable(drive.get(), *geometry); status != ATA_OK)
        return static_cast<ATA_STATUS>(status);
    ReenumerateDevices();
    std::array<char, 3> letter = WaitForDriveLetter(drive.get());
    if (letter[0] == ' ') {
        StandardInput().WaitForKey();
        return ATA_NO_VOLUME;
    }
    std::array<char, kCommandSize> command = MkdosfsCommand(letter.data());
    DWORD exitCode = kNoExitCode;
    if (!RunConsoleCommand(command.data(), false, INFINITE, &exitCode)) return ATA_ERROR;
    if (exitCode != 0) return ATA_ERROR;
    return ATA_OK;
}

}  // namespace tessel
