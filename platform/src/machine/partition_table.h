// The MBR partition table: reading the primary table and the chain of
// extended boot records, and writing primary entries back. Both backends and
// the drive-layout requests share it.
#ifndef LARKIN_PLATFORM_PARTITION_TABLE_H
#define LARKIN_PLATFORM_PARTITION_TABLE_H

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "backend.h"

namespace larkin::platform {

struct PartitionRecord {
    uint8_t status = 0;  // 0x80: active
    uint8_t type = 0;
    uint64_t firstSector = 0;  // absolute, from the start of the disk
    uint64_t sectors = 0;
};

// One extended boot record: its logical partition and the link to the next.
struct ExtendedRecord {
    uint64_t sector = 0;
    PartitionRecord logical;
    PartitionRecord link;
};

struct PartitionTable {
    bool hasSignature = false;  // 55 AA at the end of sector 0
    uint32_t diskSignature = 0;
    std::array<PartitionRecord, 4> primary{};
    std::vector<ExtendedRecord> extended;
};

// A partition that can hold a volume, numbered as the system numbers them.
struct PartitionExtent {
    uint32_t number = 0;  // 1-based
    uint8_t type = 0;
    uint64_t firstSector = 0;
    uint64_t sectors = 0;
    bool operator==(const PartitionExtent&) const = default;
};

using SectorReader = std::function<bool(uint64_t sector, std::span<uint8_t, 512> data)>;

bool IsExtendedType(uint8_t type);
// Types a FAT or NTFS file system can live on: the system mounts these.
bool IsRecognizedType(uint8_t type);

// One numbering for the drive layout and the volumes: primary entries, then
// the logical partitions in chain order, counting each entry that holds a
// partition (a type, not a container, some sectors) from 1.
bool IsNumbered(const PartitionRecord& record);

PartitionTable ReadPartitionTable(const SectorReader& read, uint64_t diskSectors);
std::vector<PartitionExtent> Partitions(const PartitionTable& table);

// Writes one 16-byte primary entry, with CHS fields derived from geometry.
void EncodeEntry(std::span<uint8_t, 16> entry, const PartitionRecord& record,
                 const DiskGeometry& geometry);

}  // namespace larkin::platform

#endif
