// What make-bootable will make on a drive, and whether the files it will copy
// there can make it a boot drive: checked before the drive is written, so
// that a drive is never erased for files that cannot go on it.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "source_files.h"
#include "tool_session.h"
#include "volume_tools.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace larkin::volumetools {
namespace {

constexpr uint64_t kPartitionSectorLimit = 3906250;  // 2,000,000,000 bytes
constexpr uint32_t kRootEntries = 512;               // format's root directory
constexpr uint64_t kFat16MaxClusters = 65524;
constexpr char kKernel[] = "KERNEL.SYS";

std::string Grouped(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

bool SameName(std::string_view a, std::string_view b) {
    return FoldedName(a) == FoldedName(b);
}

// The names in the root folder of a drive, hidden ones too when all.
std::vector<std::string> RootNames(const std::string& letter, bool all) {
    std::vector<std::string> names;
    ToolSession session;
    if (!session.Open(letter, "mdir", false).Ok()) return names;
    std::vector<std::string> arguments = {"mdir", "-b"};
    if (all) arguments.push_back("-a");
    arguments.insert(arguments.end(), {"-i", session.MtoolsImage(), "::/"});
    ToolRun listing = RunTool(arguments, MtoolsEnvironment());
    if (listing.exitCode != 0) return names;
    for (const std::string& line : Lines(listing.output))
        if (line.starts_with("::/") && !line.ends_with("/")) names.push_back(line.substr(3));
    return names;
}

bool Holds(const std::vector<std::string>& names, std::string_view name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return SameName(n, name); });
}

// The drive itself: there, with a disk in, and FAT.
Outcome CheckSourceDrive(const std::string& letter) {
    VolumeFacts facts;
    Outcome read = ReadVolumeFacts(letter, &facts);
    if (read.code == kErrorInvalidDrive || read.code == ERROR_FILE_NOT_FOUND)
        return {kErrorInvalidDrive, "there is no drive " + letter};
    if (read.code == ERROR_NOT_READY)
        return {ERROR_NOT_READY, "there is no disk in drive " + letter};
    if (!read.Ok()) return {read.code, letter + ": " + read.message};
    if (facts.fatBits == 0)
        return {kErrorUnrecognizedVolume,
                "the disk in drive " + letter + " holds no FAT file system (it is not formatted)"};
    return {};
}

// A FreeDOS kernel that copy takes; else what the drive holds instead.
Outcome CheckKernel(const std::string& letter, const std::vector<SourceFile>& files) {
    if (std::any_of(files.begin(), files.end(),
                    [](const SourceFile& file) { return SameName(file.name, kKernel); }))
        return {};
    const std::string lead = "the disk in drive " + letter;
    const std::string why =
        "; the boot sector written to the drive starts a FreeDOS kernel, KERNEL.SYS";
    std::vector<std::string> all = RootNames(letter, true);
    if (Holds(all, kKernel))
        return {ERROR_FILE_NOT_FOUND,
                lead + " holds KERNEL.SYS as a hidden file, which copy leaves out" + why};
    for (const char* other : {"IO.SYS", "IBMBIO.COM"})
        if (Holds(all, other))
            return {
                ERROR_FILE_NOT_FOUND,
                lead + " holds " + other + ", the kernel of another DOS, and no KERNEL.SYS" + why};
    return {ERROR_FILE_NOT_FOUND, lead + " holds no KERNEL.SYS" + why};
}

}  // namespace

Outcome PlanBootVolume(uint64_t diskBytes, uint32_t sectorsPerTrack, uint32_t bytesPerSector,
                       BootVolume* volume) {
    *volume = BootVolume{};
    if (bytesPerSector != 512)
        return {ERROR_NOT_SUPPORTED, "the drive has sectors of " + Grouped(bytesPerSector) +
                                         " bytes; a boot drive needs sectors of 512 bytes"};
    uint64_t total = diskBytes / 512;
    uint64_t sectors =
        total > sectorsPerTrack && sectorsPerTrack != 0 ? total - sectorsPerTrack : 0;
    sectors = std::min(sectors, kPartitionSectorLimit);
    if (ChooseFatBits(sectors) != 16)
        return {ERROR_NOT_SUPPORTED,
                "the drive is too small: its volume of " + Grouped(sectors * 512) +
                    " bytes would be FAT12, and the boot sector starts FAT16 only"};
    uint32_t cluster = DosClusterSectors(16, sectors);
    // The FAT is counted for every sector as a cluster: larger than it is, so
    // the room left is counted low.
    uint64_t fatSectors = ((sectors / cluster + 2) * 2 + 511) / 512;
    uint64_t system = 1 + 2 * fatSectors + kRootEntries * 32 / 512;
    uint64_t clusters = std::min((sectors - system) / cluster, kFat16MaxClusters);
    volume->sectors = sectors;
    volume->clusterBytes = cluster * 512;
    volume->dataBytes = clusters * cluster * 512;
    volume->rootEntries = kRootEntries - 1;
    return {};
}

Outcome PlanBootVolumeOf(std::string_view root, BootVolume* volume) {
    *volume = BootVolume{};
    std::string name(root.substr(0, 2));
    std::string device = "\\\\.\\" + name;
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) error = kErrorInvalidDrive;
        return {error, ErrorText(error)};
    }
    alignas(8) std::array<unsigned char, 120> buffer{};
    DWORD returned = 0;
    BOOL asked =
        DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &returned, nullptr);
    DWORD error = asked ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (!asked) return {error, ErrorText(error)};
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    return PlanBootVolume(static_cast<uint64_t>(geometry.DiskSize.QuadPart),
                          geometry.Geometry.SectorsPerTrack, geometry.Geometry.BytesPerSector,
                          volume);
}

Outcome CheckBootFiles(std::string_view source, const BootVolume& volume, bool kernelNeeded) {
    if (source.empty() || volume.clusterBytes == 0)
        return {ERROR_INVALID_PARAMETER, ErrorText(ERROR_INVALID_PARAMETER)};
    bool drive = IsDriveLetter(source);
    std::string letter = drive ? std::string(source.substr(0, 2)) : std::string();
    if (drive)
        if (Outcome checked = CheckSourceDrive(letter); !checked.Ok()) return checked;

    PrivateFolder scratch;
    std::vector<SourceFile> files;
    Outcome listed = ListSourceFiles(source, "*", scratch.Path(), &files);
    if (listed.code == ERROR_PATH_NOT_FOUND)
        return {ERROR_PATH_NOT_FOUND, "the folder " + std::string(source) + " is not there"};
    if (!listed.Ok()) return listed;
    if (kernelNeeded && drive)
        if (Outcome kernel = CheckKernel(letter, files); !kernel.Ok()) return kernel;
    if (files.empty())
        return {ERROR_FILE_NOT_FOUND, std::string(source) + " holds no files to copy"};

    uint64_t needed = 0;
    uint64_t entries = 0;
    for (const SourceFile& file : files) {
        needed += (file.size + volume.clusterBytes - 1) / volume.clusterBytes * volume.clusterBytes;
        entries += DirectoryEntries(file.name);
    }
    if (needed > volume.dataBytes)
        return {kErrorDiskFull, "the files take " + Grouped(needed) + " bytes in clusters of " +
                                    Grouped(volume.clusterBytes) +
                                    "; the drive's boot volume has room for " +
                                    Grouped(volume.dataBytes)};
    if (entries > volume.rootEntries)
        return {kErrorDiskFull, "the " + Grouped(files.size()) + " files take " + Grouped(entries) +
                                    " root directory entries; the drive's boot volume has " +
                                    Grouped(volume.rootEntries)};
    return {};
}

}  // namespace larkin::volumetools
