// The partition-table reader on any disk contents. The input's 512-byte
// sectors repeat over a disk of 2^40 sectors, so that every link of an
// extended-partition chain lands on sectors the fuzzer controls.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "machine/partition_table.h"

namespace {

using namespace larkin::platform;

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "partition table read against the rule: %s\n", rule);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint64_t inputSectors = (size + 511) / 512;
    const uint64_t diskSectors = uint64_t{1} << 40;
    size_t reads = 0;
    SectorReader read = [&](uint64_t sector, std::span<uint8_t, 512> out) {
        ++reads;
        if (sector >= diskSectors) return false;
        uint64_t offset = (sector % inputSectors) * 512;
        std::fill(out.begin(), out.end(), 0);
        std::memcpy(out.data(), data + offset, std::min<uint64_t>(512, size - offset));
        return true;
    };
    PartitionTable table = ReadPartitionTable(read, diskSectors);
    Require(reads <= 129, "a bounded number of reads");
    Require(table.extended.size() <= 128, "a bounded chain");
    for (const auto& record : table.extended) Require(record.sector < diskSectors, "EBR on disk");

    auto all = Partitions(table);
    for (size_t i = 0; i < all.size(); ++i) {
        Require(all[i].number == i + 1, "numbered from 1 in order");
        Require(all[i].sectors > 0 && all[i].type != 0 && !IsExtendedType(all[i].type),
                "only partitions that can hold data");
    }
    auto mountable = MountablePartitions(table);
    Require(mountable.size() <= all.size(), "mountable ones are some of them");
    for (const auto& p : mountable)
        Require(IsRecognizedType(p.type) && std::find(all.begin(), all.end(), p) != all.end(),
                "mountable ones keep their numbers");

    // A primary entry written back reads the same.
    DiskGeometry geometry{0, 255, 63, 512};
    for (const auto& record : table.primary) {
        std::array<uint8_t, 512> sector{};
        EncodeEntry(std::span<uint8_t, 16>(&sector[446], 16), record, geometry);
        sector[510] = 0x55;
        sector[511] = 0xAA;
        PartitionTable again = ReadPartitionTable(
            [&](uint64_t n, std::span<uint8_t, 512> out) {
                if (n != 0) return false;
                std::copy(sector.begin(), sector.end(), out.begin());
                return true;
            },
            diskSectors);
        if (record.type == 0) {
            Require(again.primary[0].type == 0, "an empty entry stays empty");
        } else {
            Require(again.primary[0].type == record.type &&
                        again.primary[0].status == record.status &&
                        again.primary[0].firstSector == record.firstSector &&
                        again.primary[0].sectors == record.sectors,
                    "an entry round-trips");
        }
    }
    return 0;
}
