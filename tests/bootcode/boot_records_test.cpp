// The boot records as Tessel carries them, and their patching with a
// drive's values.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_record_access.h"
#include "templates/boot_records.h"

namespace larkin::templates {
namespace {

using test::boot::Little;
using test::boot::SetLittle;

// Each id's resource is its assembled file, and the resource script (a
// Windows build's) names those records and no other; an unknown id leaves
// the buffer alone.
TEST(BootRecords, EachIdLoadsItsAssembledFile) {
    std::ifstream script(std::string(LARKIN_SOURCE_DIR) + "/engine/tessel.rc");
    const std::string rc{std::istreambuf_iterator<char>(script), {}};
    const std::regex any(R"(\n\d+\s+BOOTREC\s)");
    EXPECT_EQ(std::distance(std::sregex_iterator(rc.begin(), rc.end(), any), {}), 3);
    for (std::uint16_t id : {kFreeDosBootSectorId, kMbrTemplateId, kDosBootSectorId}) {
        const std::string name = "bootrec-" + std::to_string(id) + ".bin";
        test::boot::Bytes file = test::boot::ReadFile(LARKIN_BIN_DIR_PATH "/" + name);
        SectorBytes copy{};
        ASSERT_EQ(LoadBootRecord(id, copy), TemplateLoad::ok) << id;
        EXPECT_TRUE(std::equal(file.begin(), file.end(), copy.begin(), copy.end())) << id;
        const std::regex entry("(^|\n)" + std::to_string(id) + "\\s+BOOTREC\\s+\"" + name + "\"");
        EXPECT_TRUE(std::regex_search(rc, entry)) << id;
    }
    SectorBytes untouched{};
    untouched.fill(0xA5);
    EXPECT_EQ(LoadBootRecord(113, untouched), TemplateLoad::no_record);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](auto b) { return b == 0xA5; }));
}

TEST(BootPatch, MbrGetsOnlyTheEntrysPlaceOrIsLeftAlone) {
    for (auto [asked, kept] : {std::pair<std::uint64_t, std::uint32_t>{3'906'251, 3'906'250},
                               {3'906'250, 3'906'250},
                               {std::uint64_t{1} << 40, 3'906'250}})
        EXPECT_EQ(LimitPartitionSectors(asked), kept) << asked;
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(mbr, 0xFFFF'FF00u, 0x100), PatchResult::ok);
    SectorBytes expected = kMbrTemplate;
    SetLittle(expected, kMbrEntry0FirstSector, 4, 0xFFFF'FF00u);
    SetLittle(expected, kMbrEntry0SectorCount, 4, 0x100u);
    EXPECT_EQ(mbr, expected);
    for (auto [first, count] :
         {std::pair<std::uint32_t, std::uint32_t>{0, 100}, {63, 0}, {0xFFFF'FF00u, 0x101}}) {
        mbr = kMbrTemplate;
        EXPECT_EQ(PatchMbrPartition(mbr, first, count), PatchResult::outside_partition) << first;
        EXPECT_EQ(mbr, kMbrTemplate);
    }
    ASSERT_EQ(PatchMbrForImage(mbr, 63), PatchResult::ok);
    EXPECT_EQ(mbr[kMbrEntry0Type], kImagePartitionType);
    EXPECT_EQ(Little(mbr, kMbrEntry0FirstSector, 4), 63u);
    EXPECT_EQ(Little(mbr, kMbrEntry0SectorCount, 4), kImagePartitionSectors);
}

// A formatted sector: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs of
// 245 sectors, 512 root entries, with `at` set to `value`.
SectorBytes FormattedSector(std::size_t at = kHeadCount, int bytes = 2, std::uint32_t value = 255) {
    SectorBytes f{};
    std::fill(f.begin(), f.end(), 0xCC);
    // clang-format off
    for (auto [field, size, v] : {std::tuple{kBytesPerSector, 2, 512u}, {kSectorsPerCluster, 1, 4u},
             {kReservedSectors, 2, 1u}, {kFatCount, 1, 2u}, {kRootEntries, 2, 512u}, {kSectorsPerFat, 2, 245u},
             {kHiddenSectors, 4, 999u}, {kDriveNumber, 1, 0u}, {at, bytes, value}})
        SetLittle(f, field, size, v);
    // clang-format on
    return f;
}

// The loader's fields are computed and the formatted block is copied, nothing
// else of the template changes; garbage is refused and the copy left alone.
TEST(BootPatch, FreeDosSectorTakesTheFormattedBlockOrRefusesGarbage) {
    using R = PatchResult;
    struct Case {
        std::size_t at;
        int bytes;
        std::uint32_t value, hidden;
        std::uint64_t sectors;
        R expected;
        std::uint32_t root_sectors = 0;  // when ok
    };
    // clang-format off
    const Case cases[] = {
        {kBytesPerSector, 2, 0, 63, 62'468, R::bad_bytes_per_sector},
        {kBytesPerSector, 2, 16, 63, 62'468, R::bad_bytes_per_sector},
        {kBytesPerSector, 2, 768, 63, 62'468, R::bad_bytes_per_sector},
        {kSectorsPerCluster, 1, 0, 63, 62'468, R::bad_sectors_per_cluster},
        {kSectorsPerCluster, 1, 3, 63, 62'468, R::bad_sectors_per_cluster},
        {kReservedSectors, 2, 0, 63, 62'468, R::bad_layout},
        {kFatCount, 1, 0, 63, 62'468, R::bad_layout},
        {kSectorsPerFat, 2, 0, 63, 62'468, R::bad_layout},
        {kRootEntries, 2, 15, 63, 62'468, R::bad_layout},  // under one sector
        {kSectorsPerFat, 2, 0xFFFF, 63, 62'468, R::outside_partition},
        {kHeadCount, 2, 255, 32, 523, R::outside_partition},  // no data sector
        {kHeadCount, 2, 255, 32, 0, R::outside_partition},
        {kHeadCount, 2, 255, 0xFFFF'0000u, 0x1'0001, R::outside_partition},
        {kHeadCount, 2, 255, 32, 524, R::ok, 32},
        {kHeadCount, 2, 255, 0xFFFF'0000u, 0x1'0000, R::ok, 32},
        {kHeadCount, 2, 255, 32, 65'535, R::ok, 32},
        {kBytesPerSector, 2, 4096, 32, 62'468, R::ok, 4},
        {kRootEntries, 2, 500, 32, 62'468, R::ok, 31},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.at << "=" << c.value << ", " << c.sectors << " sectors");
        SectorBytes boot = kFreeDosBootSector, formatted = FormattedSector(c.at, c.bytes, c.value);
        EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, c.hidden, c.sectors), c.expected);
        SectorBytes expected = kFreeDosBootSector;
        if (c.expected == R::ok) {
            std::copy(formatted.begin() + kBytesPerSector, formatted.begin() + kLoadSegment,
                      expected.begin() + kBytesPerSector);
            const bool small = c.sectors < 0x1'0000;
            const std::uint32_t root = c.hidden + 1 + 2 * 245;
            const std::uint32_t total = std::uint32_t(c.sectors), hard = kHardDiskDrive;
            // clang-format off
            for (auto [at, bytes, value] : {std::tuple{kTotalSectors16, 2, small ? total : 0u},
                     {kTotalSectors32, 4, small ? 0u : total}, {kHiddenSectors, 4, c.hidden}, {kDriveNumber, 1, hard},
                     {kLoadSegment, 2, std::uint32_t{kKernelLoadSegment}}, {kRootDirSectors, 2, c.root_sectors},
                     {kFirstFatSector, 4, c.hidden + 1}, {kFirstRootSector, 4, root},
                     {kFirstDataSector, 4, root + c.root_sectors}})
                // clang-format on
                SetLittle(expected, at, bytes, value);
        }
        EXPECT_EQ(boot, expected);
    }
}

TEST(BootPatch, DosSectorTakesTheGeometryItCanAddress) {
    SectorBytes boot = kDosBootSector, expected = kDosBootSector;
    ASSERT_EQ(PatchDosBootSector(boot, 0x1'0010, 0x1'0020, 32), PatchResult::ok);
    // clang-format off
    for (auto [at, width, value] : {std::tuple{kHeadCount, 2, 0x10u}, {kHiddenSectors, 4, 0x20u},
             {kSectorsPerTrack, 2, 32u}, {kTotalSectors16, 2, std::uint32_t{kImagePartitionSectors}},
             {kTotalSectors32, 4, 0u}})
        SetLittle(expected, at, width, value);  // heads and hidden sectors: the low 16 bits
    // clang-format on
    EXPECT_EQ(boot, expected);
    for (auto [heads, spt, field] :
         {std::tuple<std::uint32_t, std::uint32_t, std::uint16_t>{0, 63, 63},
          {257, 63, 63},
          {255, 0x1'0000, 63},
          {255, 63, 0},
          {255, 63, 64}}) {
        boot = kDosBootSector;
        EXPECT_EQ(PatchDosBootSector(boot, heads, spt, field), PatchResult::bad_geometry)
            << heads << "/" << spt << "/" << field;
        EXPECT_EQ(boot, kDosBootSector);
    }
    EXPECT_EQ(PatchDosBootSector(boot, 256, 1, 1), PatchResult::ok);
    EXPECT_EQ(DosSectorsPerTrackField(63, true, 100'000'000), 63);
    EXPECT_EQ(DosSectorsPerTrackField(63, false, 256'000'001), 63);
    EXPECT_EQ(DosSectorsPerTrackField(63, false, 256'000'000), 32);
}

}  // namespace
}  // namespace larkin::templates
