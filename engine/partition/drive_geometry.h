// What the partition operations and the make-bootable flow take from a
// drive's geometry, and the raw sector I/O they share.
#ifndef TESSEL_PARTITION_DRIVE_GEOMETRY_H
#define TESSEL_PARTITION_DRIVE_GEOMETRY_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "win32/base.h"

namespace tessel {

inline constexpr std::uint64_t kSectorBytes = 512;
// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX is answered into this many bytes.
inline constexpr DWORD kGeometryBufferSize = 120;

struct DriveGeometry {
    // Sectors per track: the partition's first sector and hidden count.
    std::uint32_t hidden = 0;
    // Disk size / 512 - hidden: the partition length.
    std::uint64_t sectors = 0;
    std::uint64_t diskSize = 0;
};

// hidden and sectors of a drive of diskSize bytes with sectorsPerTrack;
// sectors is 0 when the drive is not longer than one track.
DriveGeometry DeriveGeometry(std::uint32_t sectorsPerTrack, std::uint64_t diskSize);
// Asks the drive; nothing when the request fails.
std::optional<DriveGeometry> ReadDriveGeometry(HANDLE drive);

using SectorData = std::array<std::uint8_t, kSectorBytes>;

// The first sector the partition operations write: entry 0 of type 0x0C
// (not active) at hidden, one track shorter than sectors (the length is
// provisional; the drive layout gets sectors right after).
SectorData Fat32PartitionTable(const DriveGeometry& geometry);

// Seek to an absolute byte offset; false when the system refuses.
bool SeekTo(HANDLE file, std::uint64_t offset);
// All of bytes written or read; false otherwise.
bool WriteAll(HANDLE file, std::span<const std::uint8_t> bytes);
bool ReadAll(HANDLE file, std::span<std::uint8_t> bytes);

}  // namespace tessel

#endif
