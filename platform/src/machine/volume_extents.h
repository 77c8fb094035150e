// Which stretches of a disk the system mounts as volumes, the same on every
// backend: a backend reads the bytes and says what file system a stretch
// holds; the rule of what becomes a volume is here.
#ifndef LARKIN_PLATFORM_VOLUME_EXTENTS_H
#define LARKIN_PLATFORM_VOLUME_EXTENTS_H

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "partition_table.h"

namespace larkin::platform {

// A partition (or the whole media) that gets a volume, in bytes.
struct VolumeExtent {
    uint32_t number = 0;  // its partition number; 0 for the whole media
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const VolumeExtent&) const = default;
};

// The file system a stretch of the disk holds ("vfat", "exfat", "ntfs",
// "ext4", ...), or "" for none found or a stretch that cannot be read.
using FileSystemProbe = std::function<std::string(uint64_t offset, uint64_t length)>;

// File systems the system gives a drive letter to.
bool IsLetteredFileSystem(std::string_view type);

// The whole media when it holds a lettered file system itself (a stick
// formatted without a partition table); else each numbered partition that
// lies inside the disk and is of a type the system mounts or holds a
// lettered file system.
std::vector<VolumeExtent> VolumeExtentsOf(const PartitionTable& table, uint64_t diskSize,
                                          uint32_t sectorSize, const FileSystemProbe& fileSystemAt);

// The file system a boot sector announces, for a backend with no probe of
// its own: "vfat", "exfat", "ntfs", or "".
std::string FileSystemOfBootSector(std::span<const uint8_t, 512> sector);

}  // namespace larkin::platform

#endif
