#include "bootmaker/create_usb_boot.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "larkin/owned.h"
#include "devices/device_table.h"
#include "devices/enumeration.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "exports/tessel.h"
#include "partition/drive_geometry.h"
#include "partition/partition_entry.h"
#include "shell/command_runner.h"
#include "shell/volume_mapping.h"
#include "templates/boot_patch.h"
#include "templates/boot_record_access.h"
#include "templates/boot_records.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

namespace tpl = larkin::templates;

constexpr std::uint8_t kBootPartitionType = 0x0E;  // FAT16, LBA
constexpr std::size_t kCommandSize = 50;
constexpr std::size_t kVolumePathSize = 20;

constexpr const char* kSeekFailed = "\n ERROR Seeking Dest";
constexpr const char* kWriteFailed = "\n ERROR Writing to Dest";
constexpr const char* kUpdateFailed = "\n Unable to Update Dest Device Properties";
constexpr const char* kNoFileSystem = "\n Unable to read File System";

int Fail(const char* line) {
    WriteMessageLine(line);
    return ATA_ERROR;
}

// Whether destination is one of letters ("E:;G:" lists the letters of a
// drive with several volumes).
bool ListsLetter(std::string_view letters, std::string_view destination) {
    for (;;) {
        std::size_t end = letters.find(';');
        std::string_view letter = letters.substr(0, end);
        if (!letter.empty() && EqualIgnoringCase(letter, destination)) return true;
        if (end == std::string_view::npos) return false;
        letters.remove_prefix(end + 1);
    }
}

// The first listed row one of whose letters is destination.
const DeviceEntry* FindListedRow(std::string_view destination) {
    for (int i = 0; i < CurrentTable.count && i < kTableRows; ++i) {
        const DeviceEntry& row = CurrentTable.rows[static_cast<std::size_t>(i)];
        if (ListsLetter(FieldText(row.mountInfo), destination)) return &row;
    }
    return nullptr;
}

// The command line of a format text, or nothing when it does not fit the
// buffer: a cut line could name another drive or folder.
std::optional<std::array<char, kCommandSize>> CommandLine(const char* format, const char* first,
                                                          const char* second = "") {
    std::array<char, kCommandSize> command{};
    int length = std::snprintf(command.data(), command.size(), format, first, second);
    if (length < 0 || static_cast<std::size_t>(length) >= command.size()) return std::nullopt;
    return command;
}

constexpr const char* kFormatCommand = "cmd /c format %s /Q /V:FreeDOS /FS:FAT%s";
constexpr const char* kCopyCommand = "cmd /c copy %s\\*.* %s";

std::array<char, kVolumePathSize> VolumePath(const char* destination) {
    std::array<char, kVolumePathSize> path{};
    std::snprintf(path.data(), path.size(), "\\\\.\\%s", destination);
    return path;
}

// A fresh scan lists the row's path with the row's model name.
bool IsListedModel(const DeviceEntry& row) {
    if (!BoundServices().bound) return false;
    DeviceTable fresh{};
    int count = ScanWithCorvid(fresh);
    for (int i = 0; i < count && i < kTableRows; ++i) {
        const DeviceEntry& now = fresh.rows[static_cast<std::size_t>(i)];
        if (EqualIgnoringCase(FieldText(now.driveName), FieldText(row.driveName)))
            return EqualIgnoringCase(FieldText(now.friendlyName), FieldText(row.friendlyName));
    }
    return false;
}

// CurrentTable is a picture of the last scan. Before anything is written the
// drive opened from the row must still be the drive the row describes: the
// volume at destination lives on it, and a fresh scan lists its path with
// the same model name. 0 when it is, else 6 after the line that says why.
int CheckListedDrive(HANDLE drive, const DeviceEntry& row, const char* destination) {
    std::array<char, kVolumePathSize> path = VolumePath(destination);
    larkin::Handle volume(CreateFileA(path.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    // Held (locked) by another program, or gone: format could not have it.
    if (!volume) return Fail("\n Unable to Lock volume");
    std::uint64_t identity = GetDriveIdentity(drive);
    if (identity == kNoDriveIdentity || GetDriveIdentity(volume.get()) != identity)
        return Fail(kDriveChangedLine);
    volume.reset();
    return IsListedModel(row) ? ATA_OK : Fail(kDriveChangedLine);
}

bool SendRequest(HANDLE handle, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

// A template's private copy; the line of the failure otherwise.
const char* LoadTemplate(std::uint16_t id, tpl::SectorBytes& copy) {
    switch (tpl::LoadBootRecord(id, copy)) {
        case tpl::TemplateLoad::ok:
            return nullptr;
        case tpl::TemplateLoad::no_library:
            return "\n Unable to open Tessel.DLL";
        default:
            return "\n Unable to read Boot Record";
    }
}

// Reads 512 bytes at offset; 0 or the failure's status after its line.
int ReadSectorAt(HANDLE drive, std::uint64_t offset, tpl::SectorBytes& into) {
    if (!SeekTo(drive, offset)) return Fail(kSeekFailed);
    if (!ReadAll(drive, into)) return Fail(kWriteFailed);
    return ATA_OK;
}

int WriteSectorAt(HANDLE handle, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (!SeekTo(handle, offset)) return Fail(kSeekFailed);
    if (!WriteAll(handle, bytes)) return Fail(kWriteFailed);
    return ATA_OK;
}

// format makes FAT12 on volumes of fewer than 4,085 clusters; the FreeDOS
// loader follows FAT16 chains only. boot is already patched: its loader
// variables are checked and in reach.
bool IsFat12(const tpl::SectorBytes& boot) {
    auto field = [&](std::size_t at, int size) {
        std::uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i) value = value << 8 | boot[at + std::size_t(i)];
        return value;
    };
    std::uint32_t total = field(tpl::kTotalSectors16, 2);
    if (total == 0) total = field(tpl::kTotalSectors32, 4);
    std::uint32_t dataStart = field(tpl::kFirstDataSector, 4) - field(tpl::kHiddenSectors, 4);
    std::uint32_t clusters =
        total > dataStart ? (total - dataStart) / boot[tpl::kSectorsPerCluster] : 0;
    return clusters < 4085;
}

// The boot sector goes through the locked volume. Closing the
// volume handle, on every way out, also releases its lock.
int WriteThroughVolume(const char* destination, const tpl::SectorBytes& boot) {
    std::array<char, kVolumePathSize> path = VolumePath(destination);
    larkin::Handle volume(CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_NO_BUFFERING, nullptr));
    if (!volume || !SendRequest(volume.get(), FSCTL_LOCK_VOLUME))
        return Fail("\n Unable to Lock volume");
    if (int status = WriteSectorAt(volume.get(), 0, boot); status != ATA_OK) return status;
    if (!SendRequest(volume.get(), IOCTL_DISK_UPDATE_PROPERTIES)) {
        WriteMessageLine(kUpdateFailed);
        PrintSystemMessage();
    }
    if (!SendRequest(volume.get(), FSCTL_UNLOCK_VOLUME)) return Fail("\n Unable to UnLock volume");
    return ATA_OK;
}

}  // namespace

int CreateUSBBoot(const char* destination, const char* source, int copyFiles) {
    // Texts too long for the command lines are refused as missing ones.
    std::optional<std::array<char, kCommandSize>> formatCommand;
    if (destination != nullptr) formatCommand = CommandLine(kFormatCommand, destination);
    if (!formatCommand)
        return Fail("\n Please provide valid Destination Drive Letter (e.g. A:, C:, E: etc)");
    std::optional<std::array<char, kCommandSize>> copyCommand;
    if (copyFiles != 0 && source != nullptr)
        copyCommand = CommandLine(kCopyCommand, source, destination);
    if (copyFiles != 0 && !copyCommand)
        return Fail(
            "\n Please provide valid Source Drive Letter (e.g. A:, C:, E: etc) to copy files "
            "from ");
    const DeviceEntry* row = FindListedRow(destination);
    if (row == nullptr) return Fail("\n Drive letter not found");
    larkin::Handle drive(CreateFileA(row->driveName, FILE_ALL_ACCESS,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!drive) return ATA_ERROR;
    if (int status = CheckListedDrive(drive.get(), *row, destination); status != ATA_OK)
        return status;

    std::optional<DriveGeometry> geometry = ReadDriveGeometry(drive.get());
    if (!geometry) return Fail("\n Unable to pull drive Geometry information");
    const std::uint32_t hidden = geometry->hidden;
    const std::uint64_t partitionStart = std::uint64_t{hidden} * kSectorBytes;

    tpl::SectorBytes mbr{};
    if (const char* line = LoadTemplate(tpl::kMbrTemplateId, mbr)) return Fail(line);
    const std::uint32_t sectors = tpl::LimitPartitionSectors(geometry->sectors);
    // The template patch refuses a partition at sector 0, an empty one or
    // one past 32 bits, which a drive of one track or none would give.
    if (tpl::PatchMbrPartition(mbr, hidden, sectors) != tpl::PatchResult::ok)
        return Fail("\n Unable to pull drive Geometry information");

    // The first sector is cleared, and that committed, before the
    // new one is written.
    const tpl::SectorBytes zeros{};
    if (!SeekTo(drive.get(), 0)) return Fail(kSeekFailed);
    if (!WriteAll(drive.get(), zeros)) {
        WriteMessageLine(kUpdateFailed);
        return Fail(kWriteFailed);
    }
    if (!SendRequest(drive.get(), IOCTL_DISK_UPDATE_PROPERTIES)) WriteMessageLine(kUpdateFailed);
    tpl::SectorBytes scratch{};
    if (int status = ReadSectorAt(drive.get(), partitionStart, scratch); status != ATA_OK)
        return status;
    if (int status = WriteSectorAt(drive.get(), 0, mbr); status != ATA_OK) return status;
    if (!SendRequest(drive.get(), IOCTL_DISK_UPDATE_PROPERTIES)) WriteMessageLine(kUpdateFailed);
    if (!ApplyPartitionEntry(drive.get(), hidden, sectors, true, kBootPartitionType))
        WriteMessageLine(kNoFileSystem);

    DWORD formatExit = kNoExitCode;
    if (!RunConsoleCommand(formatCommand->data(), true, INFINITE, &formatExit)) return ATA_ERROR;
    // A failed format leaves no file system for the boot sector and files.
    if (formatExit != 0) return Fail("\n Unable to format the Destination Drive");
    if (!ApplyPartitionEntry(drive.get(), hidden, 0, true, kBootPartitionType))
        WriteMessageLine(kNoFileSystem);
    if (copyFiles != 0) WriteMessageLine("\n Copying Boot Files.....");

    tpl::SectorBytes boot{};
    if (const char* line = LoadTemplate(tpl::kFreeDosBootSectorId, boot)) return Fail(line);
    tpl::SectorBytes formatted{};
    if (int status = ReadSectorAt(drive.get(), partitionStart, formatted); status != ATA_OK)
        return status;
    // A format that failed in its console leaves no usable parameter block;
    // the loader variables are not computed from whatever is there.
    if (tpl::PatchResult patched = tpl::PatchFreeDosBootSector(boot, formatted, hidden, sectors);
        patched != tpl::PatchResult::ok) {
        std::string line = "\n Formatted boot sector refused: ";
        return Fail(line.append(tpl::PatchResultText(patched)).c_str());
    }
    if (IsFat12(boot))
        return Fail(
            "\n Formatted boot sector refused: FAT12, and the boot sector loads from FAT16 "
            "only");
    if (int status = WriteThroughVolume(destination, boot); status != ATA_OK) return status;
    if (int status = ReadSectorAt(drive.get(), partitionStart, scratch); status != ATA_OK)
        return status;

    if (copyFiles != 0) {
        DWORD exitCode = kNoExitCode;
        if (!RunConsoleCommand(copyCommand->data(), true, INFINITE, &exitCode)) return ATA_ERROR;
        // A copy that failed leaves a drive that does not start.
        if (exitCode != 0) return Fail("\n Unable to copy the Boot Files");
    }
    drive.reset();
    if (copyFiles != 0) WriteMessageLine("....Done");
    return ATA_OK;
}

}  // namespace tessel
