#include "partition/drive_geometry.h"

#include <algorithm>
#include <cstring>

#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

void PutLittleEndian32(std::span<std::uint8_t> at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[static_cast<std::size_t>(i)] = std::uint8_t(value >> (8 * i));
}

}  // namespace

DriveGeometry DeriveGeometry(std::uint32_t sectorsPerTrack, std::uint64_t diskSize) {
    std::uint64_t total = diskSize / kSectorBytes;
    return {sectorsPerTrack, total > sectorsPerTrack ? total - sectorsPerTrack : 0, diskSize};
}

std::optional<DriveGeometry> ReadDriveGeometry(HANDLE drive) {
    alignas(8) std::array<std::uint8_t, kGeometryBufferSize> buffer{};
    DWORD returned = 0;
    if (!DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
                         kGeometryBufferSize, &returned, nullptr))
        return std::nullopt;
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    return DeriveGeometry(geometry.Geometry.SectorsPerTrack,
                          static_cast<std::uint64_t>(geometry.DiskSize.QuadPart));
}

SectorData Fat32PartitionTable(const DriveGeometry& geometry) {
    SectorData table{};
    std::span<std::uint8_t> entry(table.data() + 446, 16);
    entry[0] = 0x00;  // not active
    entry[1] = 1;     // starting head
    entry[2] = 1;     // starting sector
    entry[3] = 0;     // starting cylinder
    entry[4] = 0x0C;  // FAT32, LBA
    PutLittleEndian32(entry.subspan(8), geometry.hidden);
    std::uint64_t length =
        geometry.sectors > geometry.hidden ? geometry.sectors - geometry.hidden : 0;
    // An entry holds 32 bits; a longer drive gets what fits.
    PutLittleEndian32(entry.subspan(12),
                      static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFFu)));
    table[510] = 0x55;
    table[511] = 0xAA;
    return table;
}

bool SeekTo(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}

bool WriteAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool ReadAll(HANDLE file, std::span<std::uint8_t> bytes) {
    DWORD read = 0;
    return ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size();
}

}  // namespace tessel
