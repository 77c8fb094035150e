#include "templates/boot_patch.h"

#include <algorithm>
#include <bit>

namespace larkin::templates {
namespace {

std::uint16_t Get16(ConstSector s, std::size_t at) {
    return static_cast<std::uint16_t>(s[at] | (s[at + 1] << 8));
}

void Put16(Sector s, std::size_t at, std::uint16_t value) {
    s[at] = static_cast<std::uint8_t>(value);
    s[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Sector s, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::uint64_t kSectorRange = std::uint64_t{1} << 32;

// The loader variables of the FreeDOS boot sector, computed in 64 bits so
// that garbage cannot wrap around.
struct LoaderLayout {
    std::uint64_t root_dir_sectors;
    std::uint64_t first_fat;
    std::uint64_t first_root;
    std::uint64_t first_data;
};

}  // namespace

const char* PatchResultText(PatchResult result) {
    switch (result) {
        case PatchResult::ok:
            return "ok";
        case PatchResult::bad_bytes_per_sector:
            return "bytes per sector is 0, below 32 or not a power of two";
        case PatchResult::bad_sectors_per_cluster:
            return "sectors per cluster is 0 or not a power of two";
        case PatchResult::bad_layout:
            return "no reserved sector, FAT or root directory";
        case PatchResult::outside_partition:
            return "the file system does not fit in the partition";
        case PatchResult::bad_geometry:
            return "heads or sectors per track outside what CHS can address";
    }
    return "unknown";
}

std::uint32_t LimitPartitionSectors(std::uint64_t sectors) {
    // sectors x 512 > 2,000,000,000 exactly when sectors > 3,906,250.
    return sectors > kPartitionSectorLimit ? kPartitionSectorLimit
                                           : static_cast<std::uint32_t>(sectors);
}

PatchResult PatchMbrPartition(Sector mbr, std::uint32_t first_sector, std::uint32_t sector_count) {
    if (first_sector == 0 || sector_count == 0 ||
        std::uint64_t{first_sector} + sector_count > kSectorRange) {
        return PatchResult::outside_partition;
    }
    Put32(mbr, kMbrEntry0FirstSector, first_sector);
    Put32(mbr, kMbrEntry0SectorCount, sector_count);
    return PatchResult::ok;
}

PatchResult PatchMbrForImage(Sector mbr, std::uint32_t sectors_per_track) {
    PatchResult result = PatchMbrPartition(mbr, sectors_per_track, kImagePartitionSectors);
    if (result == PatchResult::ok) mbr[kMbrEntry0Type] = kImagePartitionType;
    return result;
}

PatchResult PatchFreeDosBootSector(Sector boot, ConstSector formatted, std::uint32_t hidden,
                                   std::uint64_t sectors) {
    const std::uint16_t bytes_per_sector = Get16(formatted, kBytesPerSector);
    const std::uint8_t sectors_per_cluster = formatted[kSectorsPerCluster];
    const std::uint16_t reserved = Get16(formatted, kReservedSectors);
    const std::uint8_t fat_count = formatted[kFatCount];
    const std::uint16_t root_entries = Get16(formatted, kRootEntries);
    const std::uint16_t sectors_per_fat = Get16(formatted, kSectorsPerFat);

    // Everything the boot code divides by, or counts with, must make sense
    // before anything is computed from it.
    if (bytes_per_sector < 32 || !std::has_single_bit(bytes_per_sector)) {
        return PatchResult::bad_bytes_per_sector;
    }
    if (!std::has_single_bit(sectors_per_cluster)) return PatchResult::bad_sectors_per_cluster;
    LoaderLayout layout{};
    layout.root_dir_sectors = root_entries / (bytes_per_sector / 32u);
    if (reserved == 0 || fat_count == 0 || sectors_per_fat == 0 || layout.root_dir_sectors == 0) {
        return PatchResult::bad_layout;
    }
    layout.first_fat = std::uint64_t{reserved} + hidden;
    layout.first_root = layout.first_fat + std::uint64_t{fat_count} * sectors_per_fat;
    layout.first_data = layout.first_root + layout.root_dir_sectors;
    const std::uint64_t partition_end = std::uint64_t{hidden} + sectors;
    if (sectors == 0 || partition_end > kSectorRange || layout.first_data >= partition_end) {
        return PatchResult::outside_partition;
    }

    std::copy(formatted.begin() + kBytesPerSector, formatted.begin() + kDriveNumber,
              boot.begin() + kBytesPerSector);
    Put32(boot, kHiddenSectors, hidden);
    if (sectors < 65536) {
        Put16(boot, kTotalSectors16, static_cast<std::uint16_t>(sectors));
        Put32(boot, kTotalSectors32, 0);
    } else {
        Put16(boot, kTotalSectors16, 0);
        Put32(boot, kTotalSectors32, static_cast<std::uint32_t>(sectors));
    }
    std::copy(formatted.begin() + kDriveNumber, formatted.begin() + kLoadSegment,
              boot.begin() + kDriveNumber);
    boot[kDriveNumber] = kHardDiskDrive;
    Put16(boot, kLoadSegment, kKernelLoadSegment);
    Put32(boot, kFirstFatSector, static_cast<std::uint32_t>(layout.first_fat));
    Put32(boot, kFirstRootSector, static_cast<std::uint32_t>(layout.first_root));
    Put16(boot, kRootDirSectors, static_cast<std::uint16_t>(layout.root_dir_sectors));
    Put32(boot, kFirstDataSector, static_cast<std::uint32_t>(layout.first_data));
    return PatchResult::ok;
}

std::uint16_t DosSectorsPerTrackField(std::uint32_t sectors_per_track, bool geometry_known,
                                      std::uint64_t disk_bytes) {
    if (geometry_known || disk_bytes > kDefaultGeometryThreshold) {
        return static_cast<std::uint16_t>(sectors_per_track);
    }
    return 32;
}

PatchResult PatchDosBootSector(Sector boot, std::uint32_t heads, std::uint32_t sectors_per_track,
                               std::uint16_t track_field) {
    const std::uint16_t head_field = static_cast<std::uint16_t>(heads);
    const std::uint16_t hidden = static_cast<std::uint16_t>(sectors_per_track);
    if (head_field == 0 || head_field > 256 || track_field == 0 || track_field > 63 ||
        hidden == 0) {
        return PatchResult::bad_geometry;
    }
    Put16(boot, kHeadCount, head_field);
    Put32(boot, kHiddenSectors, hidden);
    Put16(boot, kSectorsPerTrack, track_field);
    Put32(boot, kTotalSectors32, 0);
    Put16(boot, kTotalSectors16, static_cast<std::uint16_t>(kImagePartitionSectors));
    return PatchResult::ok;
}

}  // namespace larkin::templates
