// The three boot records as built: every fixed field, the texts the boot
// code prints, and the way the engine library carries them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <win32/modules.h>

#include "boot_harness.h"
#include "templates/boot_record_access.h"
#include "templates/boot_records.h"

namespace larkin::templates {
namespace {

using test::boot::Bytes;

std::uint16_t U16(std::span<const std::uint8_t> s, std::size_t at) {
    return static_cast<std::uint16_t>(s[at] | (s[at + 1] << 8));
}

std::uint32_t U32(std::span<const std::uint8_t> s, std::size_t at) {
    return static_cast<std::uint32_t>(s[at] | (s[at + 1] << 8) | (s[at + 2] << 16) |
                                      (static_cast<std::uint32_t>(s[at + 3]) << 24));
}

std::string Text(std::span<const std::uint8_t> s, std::size_t at, std::size_t length) {
    return std::string(s.begin() + static_cast<std::ptrdiff_t>(at),
                       s.begin() + static_cast<std::ptrdiff_t>(at + length));
}

// Where `text` followed by a 0 byte sits in s[from, to); npos when absent.
std::size_t FindText(std::span<const std::uint8_t> s, std::string_view text, std::size_t from,
                     std::size_t to) {
    std::string zero_terminated(text);
    zero_terminated += '\0';
    auto begin = s.begin() + static_cast<std::ptrdiff_t>(from);
    auto end = s.begin() + static_cast<std::ptrdiff_t>(to);
    auto found =
        std::search(begin, end, zero_terminated.begin(), zero_terminated.end(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    return found == end ? std::string::npos : static_cast<std::size_t>(found - s.begin());
}

TEST(BootRecords, EverySectorIs512BytesWithTheBootSignature) {
    for (std::uint16_t id : {kMbrTemplateId, kFreeDosBootSectorId, kDosBootSectorId}) {
        std::span<const std::uint8_t> record = BuiltInBootRecord(id);
        ASSERT_EQ(record.size(), 512u) << id;
        EXPECT_EQ(record[510], 0x55) << id;
        EXPECT_EQ(record[511], 0xAA) << id;
    }
    EXPECT_TRUE(BuiltInBootRecord(108).empty());
    EXPECT_TRUE(BuiltInBootRecord(113).empty());
}

TEST(BootRecords, EmbeddedBytesAreTheAssembledFiles) {
    for (std::uint16_t id : {kMbrTemplateId, kFreeDosBootSectorId, kDosBootSectorId}) {
        Bytes file =
            test::boot::ReadFile(test::boot::BinDir() / ("bootrec-" + std::to_string(id) + ".bin"));
        std::span<const std::uint8_t> record = BuiltInBootRecord(id);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), record.begin(), record.end())) << id;
    }
}

TEST(BootRecords, MbrTemplateFields) {
    const SectorBytes& mbr = kMbrTemplate;
    EXPECT_EQ(mbr[440], 0x9D);
    EXPECT_EQ(mbr[441], 0x9A);
    EXPECT_EQ(mbr[442], 0x65);
    EXPECT_EQ(mbr[443], 0x0B);
    EXPECT_EQ(U16(mbr, 444), 0);
    // Entry 0: active, CHS 0/1/1 .. 14/254/63, FAT16 (LBA), 63 + 252,865.
    EXPECT_EQ(mbr[446], 0x80);
    EXPECT_EQ(mbr[447], 1);     // head
    EXPECT_EQ(mbr[448], 1);     // sector, cylinder bits 8-9 clear
    EXPECT_EQ(mbr[449], 0);     // cylinder
    EXPECT_EQ(mbr[450], 0x0E);  // type
    EXPECT_EQ(mbr[451], 254);
    EXPECT_EQ(mbr[452], 63);
    EXPECT_EQ(mbr[453], 14);
    EXPECT_EQ(U32(mbr, 454), 63u);
    EXPECT_EQ(U32(mbr, 458), 252'865u);
    EXPECT_TRUE(std::all_of(mbr.begin() + 462, mbr.begin() + 510, [](auto b) { return b == 0; }));
    for (std::string_view message : {"Invalid partition table", "Error loading operating system",
                                     "Missing operating system"}) {
        EXPECT_NE(FindText(mbr, message, 0, 440), std::string::npos) << message;
    }
}

// The parameter block shared by both partition boot sectors.
struct ParameterBlock {
    std::uint16_t bytes_per_sector;
    std::uint8_t sectors_per_cluster;
    std::uint16_t reserved;
    std::uint8_t fats;
    std::uint16_t root_entries;
    std::uint16_t total16;
    std::uint8_t media;
    std::uint16_t sectors_per_fat;
    std::uint16_t sectors_per_track;
    std::uint16_t heads;
    std::uint32_t hidden;
    std::uint32_t total32;
    std::uint8_t drive;
    std::uint8_t serial[4];
    const char* label;
    const char* type;
};

void ExpectParameterBlock(std::span<const std::uint8_t> s, const ParameterBlock& p) {
    EXPECT_EQ(U16(s, 11), p.bytes_per_sector);
    EXPECT_EQ(s[13], p.sectors_per_cluster);
    EXPECT_EQ(U16(s, 14), p.reserved);
    EXPECT_EQ(s[16], p.fats);
    EXPECT_EQ(U16(s, 17), p.root_entries);
    EXPECT_EQ(U16(s, 19), p.total16);
    EXPECT_EQ(s[21], p.media);
    EXPECT_EQ(U16(s, 22), p.sectors_per_fat);
    EXPECT_EQ(U16(s, 24), p.sectors_per_track);
    EXPECT_EQ(U16(s, 26), p.heads);
    EXPECT_EQ(U32(s, 28), p.hidden);
    EXPECT_EQ(U32(s, 32), p.total32);
    EXPECT_EQ(s[36], p.drive);
    EXPECT_EQ(s[37], 0);
    EXPECT_EQ(s[38], 0x29);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s[39 + i], p.serial[i]) << i;
    EXPECT_EQ(Text(s, 43, 11), p.label);
    EXPECT_EQ(Text(s, 54, 8), p.type);
}

TEST(BootRecords, FreeDosBootSectorFields) {
    const SectorBytes& boot = kFreeDosBootSector;
    EXPECT_EQ(boot[0], 0xEB);
    EXPECT_EQ(boot[1], 0x4C);
    EXPECT_EQ(boot[2], 0x90);
    EXPECT_EQ(Text(boot, 3, 8), "FreeDOS ");
    ExpectParameterBlock(boot, {512,
                                4,
                                1,
                                2,
                                512,
                                0,
                                0xF8,
                                245,
                                32,
                                8,
                                32,
                                250'592,
                                0xFF,
                                {0x28, 0xB1, 0x11, 0xDE},
                                "NO NAME    ",
                                "FAT16   "});
    EXPECT_EQ(U16(boot, 62), 0x0060);
    EXPECT_EQ(U16(boot, 64), 32);
    EXPECT_EQ(U32(boot, 66), 33u);
    EXPECT_EQ(U32(boot, 70), 523u);
    EXPECT_EQ(U32(boot, 74), 555u);
    EXPECT_EQ(Text(boot, 496, 11), "KERNEL  SYS");
    for (std::string_view message : {"FreeDOS", " GO! ", "BOOT error!"}) {
        EXPECT_NE(FindText(boot, message, 78, 496), std::string::npos) << message;
    }
}

TEST(BootRecords, DosBootSectorFields) {
    const SectorBytes& boot = kDosBootSector;
    EXPECT_EQ(boot[0], 0xEB);
    EXPECT_EQ(boot[1], 0x56);
    EXPECT_EQ(boot[2], 0x90);
    EXPECT_EQ(Text(boot, 3, 8), "+TSb{IHC");
    ExpectParameterBlock(boot, {512,
                                4,
                                1,
                                2,
                                512,
                                8288,
                                0xF8,
                                7,
                                32,
                                4,
                                32,
                                8288,
                                0x80,
                                {0x28, 0x36, 0xF8, 0x12},
                                "VELTRANEUSB",
                                "FAT12   "});
    std::string_view name = "IBMBIO  COM";
    EXPECT_NE(std::search(boot.begin() + 62, boot.begin() + 510, name.begin(), name.end()),
              boot.begin() + 510);
    EXPECT_NE(FindText(boot, "Cannot load DOS! Any key to retry", 62, 510), std::string::npos);
}

// The records reach their users the way every operation takes them: from
// the BOOTREC resources of the Tessel library, loaded by name.
TEST(BootRecords, TesselCarriesThemAsBootrecResources) {
    HMODULE tessel = LoadLibraryA("Tessel.DLL");
    ASSERT_NE(tessel, nullptr);
    for (std::uint16_t id : {kMbrTemplateId, kFreeDosBootSectorId, kDosBootSectorId}) {
        HRSRC found = FindResourceA(tessel, MAKEINTRESOURCEA(id), "BOOTREC");
        ASSERT_NE(found, nullptr) << id;
        EXPECT_EQ(SizeofResource(tessel, found), 512u) << id;
        HGLOBAL loaded = LoadResource(tessel, found);
        ASSERT_NE(loaded, nullptr) << id;
        const auto* bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
        ASSERT_NE(bytes, nullptr) << id;
        std::span<const std::uint8_t> record = BuiltInBootRecord(id);
        EXPECT_TRUE(std::equal(record.begin(), record.end(), bytes)) << id;
    }
    EXPECT_EQ(FindResourceA(tessel, MAKEINTRESOURCEA(113), "BOOTREC"), nullptr);
    FreeLibrary(tessel);
}

// tessel.rc, which a Windows build takes the records from, names each record
// Tessel carries here, by its id and its assembled file, and no other.
TEST(BootRecords, ResourceScriptNamesTheSameRecords) {
    std::ifstream script(std::string(LARKIN_SOURCE_DIR) + "/engine/tessel.rc");
    ASSERT_TRUE(script);
    HMODULE tessel = LoadLibraryA("Tessel.DLL");
    ASSERT_NE(tessel, nullptr);
    const std::regex entry(R"(^(\d+)\s+BOOTREC\s+"bootrec-(\d+)\.bin"\s*$)");
    std::vector<int> ids;
    for (std::string line; std::getline(script, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, entry)) continue;
        int id = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), id);
        EXPECT_NE(FindResourceA(tessel, MAKEINTRESOURCEA(id), "BOOTREC"), nullptr) << id;
        ids.push_back(id);
    }
    FreeLibrary(tessel);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{kFreeDosBootSectorId, kMbrTemplateId, kDosBootSectorId}));
}

TEST(BootRecords, LoadBootRecordCopiesAndLeavesTheTemplateAlone) {
    SectorBytes copy{};
    ASSERT_EQ(LoadBootRecord(kMbrTemplateId, copy), TemplateLoad::ok);
    EXPECT_EQ(copy, kMbrTemplate);
    copy[454] = 0x12;
    SectorBytes again{};
    ASSERT_EQ(LoadBootRecord(kMbrTemplateId, again), TemplateLoad::ok);
    EXPECT_EQ(again, kMbrTemplate);

    SectorBytes untouched{};
    untouched.fill(0xA5);
    EXPECT_EQ(LoadBootRecord(113, untouched), TemplateLoad::no_record);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](auto b) { return b == 0xA5; }));
}

}  // namespace
}  // namespace larkin::templates
