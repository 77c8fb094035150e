// Patching private copies of the templates with a drive's values.
#include <gtest/gtest.h>

#include <algorithm>

#include "templates/boot_patch.h"
#include "templates/boot_records.h"

namespace larkin::templates {
namespace {

std::uint16_t U16(std::span<const std::uint8_t> s, std::size_t at) {
    return static_cast<std::uint16_t>(s[at] | (s[at + 1] << 8));
}

std::uint32_t U32(std::span<const std::uint8_t> s, std::size_t at) {
    return static_cast<std::uint32_t>(s[at] | (s[at + 1] << 8) | (s[at + 2] << 16) |
                                      (static_cast<std::uint32_t>(s[at + 3]) << 24));
}

void Set16(SectorBytes& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<std::uint8_t>(v);
    s[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Set32(SectorBytes& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Bytes that differ between two sectors, as offsets.
std::vector<std::size_t> Changed(const SectorBytes& a, const SectorBytes& b) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) offsets.push_back(i);
    }
    return offsets;
}

bool AllIn(const std::vector<std::size_t>& offsets, std::size_t from, std::size_t to) {
    return std::all_of(offsets.begin(), offsets.end(),
                       [&](std::size_t at) { return at >= from && at < to; });
}

TEST(PartitionLimit, CutsAboveTwoBillionBytes) {
    // A 4,000,000,000-byte drive with 63 sectors per track.
    EXPECT_EQ(LimitPartitionSectors(7'812'500 - 63), 3'906'250u);
    EXPECT_EQ(LimitPartitionSectors(3'906'251), 3'906'250u);
    EXPECT_EQ(LimitPartitionSectors(3'906'250), 3'906'250u);
    EXPECT_EQ(LimitPartitionSectors(3'906'249), 3'906'249u);
    // A 32,000,000-byte drive with 32 sectors per track.
    EXPECT_EQ(LimitPartitionSectors(62'500 - 32), 62'468u);
    EXPECT_EQ(LimitPartitionSectors(std::uint64_t{1} << 40), 3'906'250u);
}

TEST(MbrPatch, SetsOnlyTheEntryLbaFields) {
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(mbr, 63, 3'906'250), PatchResult::ok);
    EXPECT_EQ(U32(mbr, 454), 63u);
    EXPECT_EQ(U32(mbr, 458), 3'906'250u);
    EXPECT_TRUE(AllIn(Changed(mbr, kMbrTemplate), 454, 462));
    EXPECT_EQ(mbr[450], 0x0E);
    EXPECT_EQ(mbr[446], 0x80);
}

TEST(MbrPatch, SuccessiveDrivesStartFromTheTemplate) {
    SectorBytes first = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(first, 63, 7'000'000), PatchResult::ok);
    SectorBytes second = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(second, 32, 62'468), PatchResult::ok);
    EXPECT_EQ(U32(second, 454), 32u);
    EXPECT_EQ(U32(second, 458), 62'468u);
    EXPECT_EQ(U32(kMbrTemplate, 454), 63u);
    EXPECT_EQ(U32(kMbrTemplate, 458), 252'865u);
}

TEST(MbrPatch, RefusesEntriesOutsideTheSectorRange) {
    SectorBytes mbr = kMbrTemplate;
    EXPECT_EQ(PatchMbrPartition(mbr, 0, 100), PatchResult::outside_partition);
    EXPECT_EQ(PatchMbrPartition(mbr, 63, 0), PatchResult::outside_partition);
    EXPECT_EQ(PatchMbrPartition(mbr, 0xFFFF'FF00u, 0x100), PatchResult::ok);
    mbr = kMbrTemplate;
    EXPECT_EQ(PatchMbrPartition(mbr, 0xFFFF'FF00u, 0x101), PatchResult::outside_partition);
    EXPECT_EQ(mbr, kMbrTemplate);
}

TEST(MbrPatch, ImageWriterVariant) {
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrForImage(mbr, 63), PatchResult::ok);
    EXPECT_EQ(mbr[450], 0x01);
    EXPECT_EQ(U32(mbr, 454), 63u);
    EXPECT_EQ(U32(mbr, 458), 8288u);
    auto changed = Changed(mbr, kMbrTemplate);
    EXPECT_TRUE(std::all_of(changed.begin(), changed.end(),
                            [](std::size_t at) { return at == 450 || (at >= 454 && at < 462); }));
}

// A formatted sector with the template's own example geometry: 512-byte
// sectors, 1 reserved, 2 FATs of 245 sectors, 512 root entries.
SectorBytes FormattedSector() {
    SectorBytes f{};
    f[0] = 0xEB;
    f[1] = 0x3C;
    f[2] = 0x90;
    Set16(f, 11, 512);
    f[13] = 4;
    Set16(f, 14, 1);
    f[16] = 2;
    Set16(f, 17, 512);
    Set16(f, 19, 1234);  // overwritten by the patch
    f[21] = 0xF8;
    Set16(f, 22, 245);
    Set16(f, 24, 63);
    Set16(f, 26, 255);
    Set32(f, 28, 999);   // overwritten
    Set32(f, 32, 4321);  // overwritten
    f[36] = 0x00;        // replaced by 0x80
    f[37] = 0;
    f[38] = 0x29;
    f[39] = 0x11;
    f[40] = 0x22;
    f[41] = 0x33;
    f[42] = 0x44;
    std::copy_n("FREEDOS    FAT16   ", 19, f.begin() + 43);
    // Whatever the formatter put after the parameter block is not copied.
    std::fill(f.begin() + 62, f.begin() + 510, 0xCC);
    f[510] = 0x55;
    f[511] = 0xAA;
    return f;
}

TEST(FreeDosPatch, ExampleGeometryGivesTheTemplateLoaderValues) {
    SectorBytes boot = kFreeDosBootSector;
    SectorBytes formatted = FormattedSector();
    ASSERT_EQ(PatchFreeDosBootSector(boot, formatted, 32, 250'592), PatchResult::ok);
    EXPECT_EQ(U32(boot, 28), 32u);
    EXPECT_EQ(U16(boot, 62), 0x0060);
    EXPECT_EQ(U16(boot, 64), 32);
    EXPECT_EQ(U32(boot, 66), 33u);
    EXPECT_EQ(U32(boot, 70), 523u);
    EXPECT_EQ(U32(boot, 74), 555u);
}

TEST(FreeDosPatch, CopiesTheFormattedBlocksAndKeepsTheLoader) {
    SectorBytes boot = kFreeDosBootSector;
    SectorBytes formatted = FormattedSector();
    ASSERT_EQ(PatchFreeDosBootSector(boot, formatted, 63, 62'468), PatchResult::ok);
    // Copied: everything from 11 to 61 but the fields set afterwards.
    for (std::size_t at = 11; at < 62; ++at) {
        bool set_later = (at >= 19 && at < 21) || (at >= 28 && at < 36) || at == 36;
        if (!set_later) {
            EXPECT_EQ(boot[at], formatted[at]) << at;
        }
    }
    EXPECT_EQ(boot[36], 0x80);
    EXPECT_EQ(U16(boot, 24), 63);
    EXPECT_EQ(U16(boot, 26), 255);
    EXPECT_EQ(U32(boot, 28), 63u);
    // Kept: the jump, the OEM name, the boot code and its texts, the name
    // of the kernel and the signature.
    EXPECT_TRUE(std::equal(boot.begin(), boot.begin() + 11, kFreeDosBootSector.begin()));
    EXPECT_TRUE(std::equal(boot.begin() + 78, boot.end(), kFreeDosBootSector.begin() + 78));
}

TEST(FreeDosPatch, TotalSectorFieldsFollowTheSixteenBitLimit) {
    SectorBytes formatted = FormattedSector();
    struct Case {
        std::uint64_t sectors;
        std::uint16_t total16;
        std::uint32_t total32;
    };
    for (Case c : {Case{60'000, 60'000, 0}, Case{65'535, 65'535, 0}, Case{65'536, 0, 65'536},
                   Case{3'906'250, 0, 3'906'250}, Case{62'468, 62'468, 0}}) {
        SectorBytes boot = kFreeDosBootSector;
        ASSERT_EQ(PatchFreeDosBootSector(boot, formatted, 63, c.sectors), PatchResult::ok);
        EXPECT_EQ(U16(boot, 19), c.total16) << c.sectors;
        EXPECT_EQ(U32(boot, 32), c.total32) << c.sectors;
    }
}

TEST(FreeDosPatch, RootDirectorySectorsFollowTheSectorSize) {
    struct Case {
        std::uint16_t bytes_per_sector;
        std::uint16_t root_entries;
        std::uint16_t root_sectors;
    };
    for (Case c : {Case{512, 512, 32}, Case{1024, 512, 16}, Case{4096, 512, 4}, Case{32, 512, 512},
                   Case{512, 500, 31}}) {
        SectorBytes formatted = FormattedSector();
        Set16(formatted, 11, c.bytes_per_sector);
        Set16(formatted, 17, c.root_entries);
        SectorBytes boot = kFreeDosBootSector;
        ASSERT_EQ(PatchFreeDosBootSector(boot, formatted, 32, 250'592), PatchResult::ok)
            << c.bytes_per_sector;
        EXPECT_EQ(U16(boot, 64), c.root_sectors) << c.bytes_per_sector;
        EXPECT_EQ(U32(boot, 74), 523u + c.root_sectors) << c.bytes_per_sector;
    }
}

TEST(FreeDosPatch, RefusesGarbageWithoutTouchingTheCopy) {
    struct Case {
        const char* what;
        void (*spoil)(SectorBytes&);
        PatchResult expected;
    };
    const Case cases[] = {
        {"0 bytes per sector", [](SectorBytes& f) { Set16(f, 11, 0); },
         PatchResult::bad_bytes_per_sector},
        {"16 bytes per sector", [](SectorBytes& f) { Set16(f, 11, 16); },
         PatchResult::bad_bytes_per_sector},
        {"31 bytes per sector", [](SectorBytes& f) { Set16(f, 11, 31); },
         PatchResult::bad_bytes_per_sector},
        {"513 bytes per sector", [](SectorBytes& f) { Set16(f, 11, 513); },
         PatchResult::bad_bytes_per_sector},
        {"768 bytes per sector", [](SectorBytes& f) { Set16(f, 11, 768); },
         PatchResult::bad_bytes_per_sector},
        {"0 sectors per cluster", [](SectorBytes& f) { f[13] = 0; },
         PatchResult::bad_sectors_per_cluster},
        {"3 sectors per cluster", [](SectorBytes& f) { f[13] = 3; },
         PatchResult::bad_sectors_per_cluster},
        {"no reserved sector", [](SectorBytes& f) { Set16(f, 14, 0); }, PatchResult::bad_layout},
        {"no FAT", [](SectorBytes& f) { f[16] = 0; }, PatchResult::bad_layout},
        {"empty FAT", [](SectorBytes& f) { Set16(f, 22, 0); }, PatchResult::bad_layout},
        {"root directory under one sector", [](SectorBytes& f) { Set16(f, 17, 15); },
         PatchResult::bad_layout},
        {"FATs beyond the partition", [](SectorBytes& f) { Set16(f, 22, 0xFFFF); },
         PatchResult::outside_partition},
        {"reserved area beyond the partition", [](SectorBytes& f) { Set16(f, 14, 62'000); },
         PatchResult::outside_partition},
    };
    for (const Case& c : cases) {
        SectorBytes formatted = FormattedSector();
        c.spoil(formatted);
        SectorBytes boot = kFreeDosBootSector;
        EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 63, 62'468), c.expected) << c.what;
        EXPECT_EQ(boot, kFreeDosBootSector) << c.what;
    }
}

TEST(FreeDosPatch, RefusesPartitionsWithoutDataOrBeyondTheSectorRange) {
    SectorBytes formatted = FormattedSector();
    SectorBytes boot = kFreeDosBootSector;
    // Data starts 523 sectors into the partition: 523 sectors hold none.
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 32, 523), PatchResult::outside_partition);
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 32, 524), PatchResult::ok);
    boot = kFreeDosBootSector;
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 32, 0), PatchResult::outside_partition);
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 0xFFFF'0000u, 0x1'0000), PatchResult::ok);
    boot = kFreeDosBootSector;
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 0xFFFF'0000u, 0x1'0001),
              PatchResult::outside_partition);
    EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, 63, std::uint64_t{1} << 33),
              PatchResult::outside_partition);
    EXPECT_EQ(boot, kFreeDosBootSector);
}

TEST(DosPatch, GeometryFieldsAndTotals) {
    SectorBytes boot = kDosBootSector;
    ASSERT_EQ(PatchDosBootSector(boot, 255, 63, 63), PatchResult::ok);
    EXPECT_EQ(U16(boot, 26), 255);
    EXPECT_EQ(U32(boot, 28), 63u);
    EXPECT_EQ(U16(boot, 24), 63);
    EXPECT_EQ(U16(boot, 19), 8288);
    EXPECT_EQ(U32(boot, 32), 0u);
    auto changed = Changed(boot, kDosBootSector);
    EXPECT_TRUE(AllIn(changed, 19, 36));
}

TEST(DosPatch, HiddenSectorsAreTheLowSixteenBitsOfTheTrack) {
    SectorBytes boot = kDosBootSector;
    ASSERT_EQ(PatchDosBootSector(boot, 0x1'0010, 0x1'0020, 32), PatchResult::ok);
    EXPECT_EQ(U16(boot, 26), 0x10);
    EXPECT_EQ(U32(boot, 28), 0x20u);
}

TEST(DosPatch, TrackFieldWhenTheGeometryIsUnknown) {
    EXPECT_EQ(DosSectorsPerTrackField(63, true, 100'000'000), 63);
    EXPECT_EQ(DosSectorsPerTrackField(63, false, 256'000'001), 63);
    EXPECT_EQ(DosSectorsPerTrackField(63, false, 256'000'000), 32);
    EXPECT_EQ(DosSectorsPerTrackField(63, false, 128'000'000), 32);
}

TEST(DosPatch, RefusesGeometryTheLoaderCannotAddress) {
    struct Case {
        std::uint32_t heads;
        std::uint32_t spt;
        std::uint16_t field;
    };
    for (Case c : {Case{0, 63, 63}, Case{257, 63, 63}, Case{0x1'0000, 63, 63}, Case{255, 0, 63},
                   Case{255, 0x1'0000, 63}, Case{255, 63, 0}, Case{255, 63, 64}}) {
        SectorBytes boot = kDosBootSector;
        EXPECT_EQ(PatchDosBootSector(boot, c.heads, c.spt, c.field), PatchResult::bad_geometry)
            << c.heads << "/" << c.spt << "/" << c.field;
        EXPECT_EQ(boot, kDosBootSector);
    }
    SectorBytes boot = kDosBootSector;
    EXPECT_EQ(PatchDosBootSector(boot, 256, 1, 1), PatchResult::ok);
}

}  // namespace
}  // namespace larkin::templates
