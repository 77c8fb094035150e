#include "partition_table.h"

#include <algorithm>

namespace larkin::platform {

namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

PartitionRecord DecodeEntry(const uint8_t* entry, uint64_t base) {
    PartitionRecord record;
    record.status = entry[0];
    record.type = entry[4];
    record.firstSector = base + Le32(entry + 8);
    record.sectors = Le32(entry + 12);
    return record;
}

void EncodeChs(uint8_t* out, uint64_t lba, const DiskGeometry& geometry) {
    uint32_t heads = geometry.heads ? geometry.heads : 255;
    uint32_t spt = geometry.sectorsPerTrack ? geometry.sectorsPerTrack : 63;
    uint64_t cylinder = lba / (heads * spt);
    uint32_t head = (lba / spt) % heads;
    uint32_t sector = lba % spt + 1;
    if (cylinder > 1023) {  // beyond CHS reach: the conventional maximum
        cylinder = 1023;
        head = std::min<uint32_t>(heads - 1, 254);
        sector = std::min<uint32_t>(spt, 63);
    }
    out[0] = static_cast<uint8_t>(head);
    out[1] = static_cast<uint8_t>((sector & 0x3F) | ((cylinder >> 2) & 0xC0));
    out[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

}  // namespace

bool IsExtendedType(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool IsRecognizedType(uint8_t type) {
    switch (type) {
        case 0x01:
        case 0x04:
        case 0x06:
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x0E:
            return true;
        default:
            return false;
    }
}

PartitionTable ReadPartitionTable(const SectorReader& read, uint64_t diskSectors) {
    PartitionTable table;
    std::array<uint8_t, 512> sector{};
    if (!read(0, sector)) return table;
    table.hasSignature = sector[510] == 0x55 && sector[511] == 0xAA;
    if (!table.hasSignature) return table;
    table.diskSignature = Le32(&sector[440]);
    for (int i = 0; i < 4; ++i) table.primary[i] = DecodeEntry(&sector[446 + 16 * i], 0);

    // Follow the first extended partition's chain; a bound on its length
    // keeps a looping chain from hanging the reader.
    auto container = std::find_if(table.primary.begin(), table.primary.end(),
                                  [](const auto& p) { return IsExtendedType(p.type); });
    if (container == table.primary.end()) return table;
    uint64_t extendedStart = container->firstSector;
    uint64_t next = extendedStart;
    // A chain that comes back to a record already read ends there, and a
    // bound on its length keeps a long one from running on.
    std::vector<uint64_t> visited;
    for (int hops = 0; hops < 128 && next != 0 && next < diskSectors; ++hops) {
        if (std::find(visited.begin(), visited.end(), next) != visited.end()) break;
        visited.push_back(next);
        if (!read(next, sector) || sector[510] != 0x55 || sector[511] != 0xAA) break;
        ExtendedRecord record;
        record.sector = next;
        record.logical = DecodeEntry(&sector[446], next);
        record.link = DecodeEntry(&sector[462], extendedStart);
        table.extended.push_back(record);
        if (!IsExtendedType(record.link.type) || record.link.firstSector == extendedStart) break;
        next = record.link.firstSector;
    }
    return table;
}

bool IsNumbered(const PartitionRecord& record) {
    return record.type != 0 && !IsExtendedType(record.type) && record.sectors != 0;
}

std::vector<PartitionExtent> Partitions(const PartitionTable& table) {
    std::vector<PartitionExtent> found;
    uint32_t number = 0;
    auto add = [&](const PartitionRecord& record) {
        if (IsNumbered(record))
            found.push_back({++number, record.type, record.firstSector, record.sectors});
    };
    for (const auto& record : table.primary) add(record);
    for (const auto& record : table.extended) add(record.logical);
    return found;
}

void EncodeEntry(std::span<uint8_t, 16> entry, const PartitionRecord& record,
                 const DiskGeometry& geometry) {
    std::fill(entry.begin(), entry.end(), 0);
    if (record.type == 0) return;
    entry[0] = record.status;
    EncodeChs(&entry[1], record.firstSector, geometry);
    entry[4] = record.type;
    EncodeChs(&entry[5], record.firstSector + std::max<uint64_t>(record.sectors, 1) - 1, geometry);
    PutLe32(&entry[8], static_cast<uint32_t>(record.firstSector));
    PutLe32(&entry[12], static_cast<uint32_t>(record.sectors));
}

}  // namespace larkin::platform
