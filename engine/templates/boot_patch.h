// Patching private copies of the boot-record templates with the values of a
// target drive. Every function works on a caller-owned 512-byte copy; the
// ones that can refuse check everything first and leave the copy untouched
// when they do.
#ifndef LARKIN_ENGINE_TEMPLATES_BOOT_PATCH_H
#define LARKIN_ENGINE_TEMPLATES_BOOT_PATCH_H

#include <cstdint>
#include <span>

namespace larkin::templates {

using Sector = std::span<std::uint8_t, 512>;
using ConstSector = std::span<const std::uint8_t, 512>;

// Offsets in the master boot record.
inline constexpr std::size_t kMbrEntry0Type = 450;
inline constexpr std::size_t kMbrEntry0FirstSector = 454;
inline constexpr std::size_t kMbrEntry0SectorCount = 458;

// Offsets in a FAT boot sector (DOS 4.0 extended parameter block).
inline constexpr std::size_t kBytesPerSector = 11;
inline constexpr std::size_t kSectorsPerCluster = 13;
inline constexpr std::size_t kReservedSectors = 14;
inline constexpr std::size_t kFatCount = 16;
inline constexpr std::size_t kRootEntries = 17;
inline constexpr std::size_t kTotalSectors16 = 19;
inline constexpr std::size_t kSectorsPerFat = 22;
inline constexpr std::size_t kSectorsPerTrack = 24;
inline constexpr std::size_t kHeadCount = 26;
inline constexpr std::size_t kHiddenSectors = 28;
inline constexpr std::size_t kTotalSectors32 = 32;
inline constexpr std::size_t kDriveNumber = 36;

// Loader variables of the FreeDOS boot sector, in sectors from the start of
// the drive.
inline constexpr std::size_t kLoadSegment = 62;
inline constexpr std::size_t kRootDirSectors = 64;
inline constexpr std::size_t kFirstFatSector = 66;
inline constexpr std::size_t kFirstRootSector = 70;
inline constexpr std::size_t kFirstDataSector = 74;

// A partition of more than 2,000,000,000 bytes is cut to exactly that size.
inline constexpr std::uint32_t kPartitionSectorLimit = 3'906'250;

// The boot partition of the raw image writer: FAT12, 8,288 sectors, one
// track into the drive.
inline constexpr std::uint8_t kImagePartitionType = 0x01;
inline constexpr std::uint32_t kImagePartitionSectors = 8288;

// The drive number the FreeDOS boot sector is given: the first hard disk.
inline constexpr std::uint8_t kHardDiskDrive = 0x80;
inline constexpr std::uint16_t kKernelLoadSegment = 0x0060;

// Drives above this size get their reported sectors per track in the DOS
// boot sector when the true geometry is unknown; smaller ones get 32.
inline constexpr std::uint64_t kDefaultGeometryThreshold = 256'000'000;

enum class PatchResult : int {
    ok = 0,
    bad_bytes_per_sector = 1,     // 0, below 32 or not a power of two
    bad_sectors_per_cluster = 2,  // 0 or not a power of two
    bad_layout = 3,               // no reserved sector, FAT or root directory
    outside_partition = 4,        // loader variables or partition end beyond reach
    bad_geometry = 5,             // heads or sectors per track the CHS loader cannot use
};

// Short English text for a result, for messages and test output.
const char* PatchResultText(PatchResult result);

// The partition size of the make-bootable flow: `sectors`, or the limit
// when sectors x 512 exceeds 2,000,000,000 bytes.
std::uint32_t LimitPartitionSectors(std::uint64_t sectors);

// Entry 0 of the master boot record: first sector and number of sectors.
// Everything else (boot code, signature, CHS fields, type) keeps its bytes.
// Refuses a partition at sector 0, an empty one, or one that ends beyond
// the 32-bit sector range.
PatchResult PatchMbrPartition(Sector mbr, std::uint32_t first_sector, std::uint32_t sector_count);

// The raw image writer's variant: type 0x01, first sector = sectors per
// track, 8,288 sectors.
PatchResult PatchMbrForImage(Sector mbr, std::uint32_t sectors_per_track);

// The FreeDOS boot sector for a freshly formatted FAT partition: copies the
// parameter block (11..35) and the extended fields (36..61) of `formatted`,
// sets the hidden sectors, the total-sector fields and drive 0x80, and
// computes the loader variables. `hidden` is the partition's first sector,
// `sectors` its length. Refuses a formatted sector whose values would make
// the loader divide by zero or read outside the partition.
PatchResult PatchFreeDosBootSector(Sector boot, ConstSector formatted, std::uint32_t hidden,
                                   std::uint64_t sectors);

// The value for the DOS boot sector's sectors-per-track field: the drive's
// own when its geometry is known (true geometry, or a count the user gave),
// else the reported one on drives above 256,000,000 bytes and 32 below.
std::uint16_t DosSectorsPerTrackField(std::uint32_t sectors_per_track, bool geometry_known,
                                      std::uint64_t disk_bytes);

// The DOS boot sector for the image writer's partition: heads and hidden
// sectors (the partition starts one track in) from the drive, the given
// sectors-per-track field, total sectors 8,288 in the 16-bit field and 0 in
// the 32-bit one. Refuses values the CHS loader cannot address with: no
// heads or sectors, more than 256 heads or 63 sectors per track.
PatchResult PatchDosBootSector(Sector boot, std::uint32_t heads, std::uint32_t sectors_per_track,
                               std::uint16_t track_field);

}  // namespace larkin::templates

#endif
