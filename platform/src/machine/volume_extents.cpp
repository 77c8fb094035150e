#include "volume_extents.h"

#include <bit>
#include <cstring>

namespace larkin::platform {

bool IsLetteredFileSystem(std::string_view type) {
    return type == "vfat" || type == "msdos" || type == "exfat" || type == "ntfs";
}

std::vector<VolumeExtent> VolumeExtentsOf(const PartitionTable& table, uint64_t diskSize,
                                          uint32_t sectorSize,
                                          const FileSystemProbe& fileSystemAt) {
    if (diskSize == 0 || sectorSize == 0) return {};
    // Checked first: a FAT boot sector also ends in 55 AA, and its boot code
    // would read as table entries.
    if (IsLetteredFileSystem(fileSystemAt(0, diskSize))) return {{0, 0, diskSize}};
    std::vector<VolumeExtent> extents;
    for (const auto& partition : Partitions(table)) {
        VolumeExtent extent{partition.number, partition.firstSector * sectorSize,
                            partition.sectors * sectorSize};
        if (extent.offset >= diskSize || extent.length > diskSize - extent.offset) continue;
        if (IsRecognizedType(partition.type) ||
            IsLetteredFileSystem(fileSystemAt(extent.offset, extent.length)))
            extents.push_back(extent);
    }
    return extents;
}

std::string FileSystemOfBootSector(std::span<const uint8_t, 512> sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA) return {};
    auto says = [&](size_t at, const char* name) {
        return std::memcmp(&sector[at], name, std::strlen(name)) == 0;
    };
    if (says(3, "NTFS    ")) return "ntfs";
    if (says(3, "EXFAT   ")) return "exfat";
    // A FAT boot sector: a jump, then a parameter block whose fields hold
    // values a FAT volume can have.
    unsigned bytesPerSector = sector[11] | sector[12] << 8;
    unsigned sectorsPerCluster = sector[13];
    unsigned reserved = sector[14] | sector[15] << 8;
    unsigned fats = sector[16];
    unsigned media = sector[21];
    bool jump = sector[0] == 0xEB || sector[0] == 0xE9;
    bool fat = jump && bytesPerSector >= 512 && bytesPerSector <= 4096 &&
               std::has_single_bit(bytesPerSector) && std::has_single_bit(sectorsPerCluster) &&
               reserved >= 1 && (fats == 1 || fats == 2) && (media == 0xF0 || media >= 0xF8);
    return fat ? "vfat" : "";
}

}  // namespace larkin::platform
