// The boot records as Tessel carries them and their patching with a drive's
// values; disks booted in QEMU: the MBR with probe sectors in its partitions,
// and the boot sectors, patched as the engine does it, loading the test kernel.
#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_record_access.h"
#include "templates/boot_records.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;
using ::testing::HasSubstr;

// Each id's resource is its assembled file, and the resource script (a
// Windows build's) names those records and no other; an unknown id leaves
// the buffer alone.
TEST(BootRecords, EachIdLoadsItsAssembledFile) {
    const std::string rc = FileText(LARKIN_SOURCE_DIR "/engine/tessel.rc");
    const std::regex any(R"(\n\d+\s+BOOTREC\s)");
    EXPECT_EQ(std::distance(std::sregex_iterator(rc.begin(), rc.end(), any), {}), 3);
    for (std::uint16_t id : {kFreeDosBootSectorId, kMbrTemplateId, kDosBootSectorId}) {
        const std::string name = "bootrec-" + std::to_string(id) + ".bin";
        SectorBytes copy{};
        ASSERT_EQ(LoadBootRecord(id, copy), TemplateLoad::ok) << id;
        EXPECT_EQ(Bytes(copy.begin(), copy.end()), ReadFile(LARKIN_BIN_DIR_PATH "/" + name)) << id;
        const std::regex entry("(^|\n)" + std::to_string(id) + "\\s+BOOTREC\\s+\"" + name + "\"");
        EXPECT_TRUE(std::regex_search(rc, entry)) << id;
    }
    SectorBytes untouched = kMbrTemplate;
    EXPECT_EQ(LoadBootRecord(113, untouched), TemplateLoad::no_record);
    EXPECT_EQ(untouched, kMbrTemplate);
}

TEST(BootPatch, MbrGetsOnlyTheEntrysPlaceOrIsLeftAlone) {
    for (std::uint64_t asked :
         {std::uint64_t{3'906'250}, std::uint64_t{3'906'251}, std::uint64_t{1} << 40})
        EXPECT_EQ(LimitPartitionSectors(asked), 3'906'250u) << asked;
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
}

// The loader's fields are computed and the formatted block is copied, nothing
// else of the template changes; garbage is refused and the copy left alone.
// The formatted sector: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs
// of 245 sectors, 512 root entries, with the case's field set to its value.
TEST(BootPatch, FreeDosSectorTakesTheFormattedBlockOrRefusesGarbage) {
    using R = PatchResult;
    // The field, its width and value, hidden and total sectors, the result
    // and (when ok) the root directory's sectors.
    // clang-format off
    const std::tuple<std::size_t, int, std::uint32_t, std::uint32_t, std::uint64_t, R, std::uint32_t> cases[] = {
        {kBytesPerSector, 2, 0, 63, 62'468, R::bad_bytes_per_sector, 0},
        {kBytesPerSector, 2, 16, 63, 62'468, R::bad_bytes_per_sector, 0},
        {kBytesPerSector, 2, 768, 63, 62'468, R::bad_bytes_per_sector, 0},
        {kSectorsPerCluster, 1, 0, 63, 62'468, R::bad_sectors_per_cluster, 0},
        {kSectorsPerCluster, 1, 3, 63, 62'468, R::bad_sectors_per_cluster, 0},
        {kReservedSectors, 2, 0, 63, 62'468, R::bad_layout, 0},
        {kFatCount, 1, 0, 63, 62'468, R::bad_layout, 0},
        {kSectorsPerFat, 2, 0, 63, 62'468, R::bad_layout, 0},
        {kRootEntries, 2, 15, 63, 62'468, R::bad_layout, 0},  // under one sector
        {kSectorsPerFat, 2, 0xFFFF, 63, 62'468, R::outside_partition, 0},
        {kHeadCount, 2, 255, 32, 523, R::outside_partition, 0},  // no data sector
        {kHeadCount, 2, 255, 32, 0, R::outside_partition, 0},
        {kHeadCount, 2, 255, 0xFFFF'0000u, 0x1'0001, R::outside_partition, 0},
        {kHeadCount, 2, 255, 32, 524, R::ok, 32},
        {kHeadCount, 2, 255, 0xFFFF'0000u, 0x1'0000, R::ok, 32},
        {kHeadCount, 2, 255, 32, 65'535, R::ok, 32},
        {kBytesPerSector, 2, 4096, 32, 62'468, R::ok, 4},
        {kRootEntries, 2, 500, 32, 62'468, R::ok, 31},
    };
    // clang-format on
    for (auto [at, bytes, value, hidden, sectors, result, root_sectors] : cases) {
        SCOPED_TRACE(testing::Message() << at << "=" << value << ", " << sectors << " sectors");
        SectorBytes boot = kFreeDosBootSector, formatted;
        formatted.fill(0xCC);
        // clang-format off
        for (auto [field, size, v] : {std::tuple{kBytesPerSector, 2, 512u}, {kSectorsPerCluster, 1, 4u},
                 {kReservedSectors, 2, 1u}, {kFatCount, 1, 2u}, {kRootEntries, 2, 512u}, {kSectorsPerFat, 2, 245u},
                 {kHiddenSectors, 4, 999u}, {kDriveNumber, 1, 0u}, {at, bytes, value}})
            SetLittle(formatted, field, size, v);
        // clang-format on
        EXPECT_EQ(PatchFreeDosBootSector(boot, formatted, hidden, sectors), result);
        SectorBytes expected = kFreeDosBootSector;
        if (result == R::ok) {
            std::copy(formatted.begin() + kBytesPerSector, formatted.begin() + kLoadSegment,
                      expected.begin() + kBytesPerSector);
            const std::uint32_t total = std::uint32_t(sectors), root = hidden + 1 + 2 * 245;
            // clang-format off
            for (auto [field, size, v] : {std::tuple{kTotalSectors16, 2, total < 0x1'0000 ? total : 0u},
                     {kTotalSectors32, 4, total < 0x1'0000 ? 0u : total}, {kHiddenSectors, 4, hidden},
                     {kDriveNumber, 1, 0x80u}, {kLoadSegment, 2, 0x60u}, {kRootDirSectors, 2, root_sectors},
                     {kFirstFatSector, 4, hidden + 1}, {kFirstRootSector, 4, root},
                     {kFirstDataSector, 4, root + root_sectors}})
                // clang-format on
                SetLittle(expected, field, size, v);
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
    using Geometry = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t>;
    for (auto [heads, spt, field] :
         {Geometry{0, 63, 63}, {257, 63, 63}, {255, 0x1'0000, 63}, {255, 63, 0}, {255, 63, 64}}) {
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

constexpr std::uint32_t kFirst = 63;
constexpr std::uint32_t kBackup = kFirst + 6;
constexpr char kLoadError[] = "Error loading operating system";

class Boot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386"))
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    }

    // The disk on `bus`: the MBR with four entries of `type`, each with a
    // length so that none is empty, the active one at `first` and the others
    // at kFirst (`indicators` holds entry 0's in its top byte), and the
    // probes (as in the cases below); reads of `unreadable` fail (blkdebug).
    std::vector<std::string> Disk(std::uint32_t indicators, std::uint8_t type, std::uint32_t first,
                                  std::string_view probes, std::uint64_t unreadable = 0,
                                  const std::string& bus = "ide") {
        mbr_ = kMbrTemplate;
        for (std::size_t i = 0, at = 446; i < 4; ++i, at += 16) {
            mbr_[at] = static_cast<std::uint8_t>(indicators >> (24 - 8 * i));
            mbr_[at + 4] = type;
            SetLittle(mbr_, at + 8, 4, mbr_[at] == 0x80 ? first : kFirst);
            mbr_[at + 12] = 0x10;
        }
        MakeEmptyDisk(disk_, std::max<std::uint64_t>(2880, first + 64));
        WriteAt(disk_, 0, mbr_);
        for (char p : probes) {
            const std::uint64_t at = p == 'P' ? first : p == 'B' ? kBackup : kFirst;
            WriteAt(disk_, at * 512, ReadFile(ProbeFile(p == 'P' ? "PRIMARY" : "BACKUP")));
        }
        std::string wrapper;
        if (unreadable != 0) {
            std::filesystem::path rules = folder_.path() / "fail.conf";
            std::ofstream(rules)
                << "[inject-error]\nevent = \"read_aio\"\nerrno = \"5\"\nsector = \"" << unreadable
                << "\"\n";
            wrapper = "blkdebug:" + rules.string() + ":";
        }
        return {"-drive", "file=" + wrapper + disk_.string() + ",format=raw,if=" + bus};
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    SectorBytes mbr_;
};
using MbrBoot = Boot;
using LoaderBoot = Boot;

// A floppy with the SECOND probe is next in the boot order: a loader that
// gives up must halt, and one without an active entry hands over to it.
// FAT32 types get one more try at the backup boot sector, six sectors on.
TEST_F(MbrBoot, StartsTheActiveEntryOrSaysWhyNotAndHalts) {
    struct Case {
        std::uint32_t indicators;
        std::uint8_t type;
        std::uint32_t first;  // 20,000,000: beyond the reach of CHS
        const char* probes;   // P: PRIMARY at `first`, B: BACKUP at kBackup, b: BACKUP at kFirst
        std::uint64_t unreadable;
        const char* expected;  // a message, or the probe that ran
    };
    // clang-format off
    const Case cases[] = {
        {0x00008000, 0x0E, 100, "bP", 0, "PRIMARY"},
        {0x80000000, 0x0E, 20'000'000, "bP", 0, "PRIMARY"},
        {0, 0x0E, kFirst, "P", 0, "SECOND"},
        {0x7F800000, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80000100, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80800000, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x00800081, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80000000, 0x0E, kFirst, "P", kFirst, kLoadError},
        {0x80000000, 0x0E, kFirst, "B", 0, kLoadError},
        {0x80000000, 0x01, kFirst, "B", 0, kLoadError},
        {0x80000000, 0x0C, kFirst, "", 0, "Missing operating system"},
        {0x80000000, 0x0C, kFirst, "B", 0, "BACKUP"},
        {0x80000000, 0x0B, kFirst, "PB", kFirst, "BACKUP"},
        {0x80000000, 0x0B, kFirst, "B", kBackup, kLoadError},
    };
    // clang-format on
    std::filesystem::path floppy = folder_.path() / "floppy.img";
    WriteAt(floppy, 0, ReadFile(ProbeFile("SECOND")));
    std::filesystem::path trace = folder_.path() / "trace.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.indicators << " type " << int(c.type)
                                        << " probes " << c.probes);
        std::vector<std::string> args = Disk(c.indicators, c.type, c.first, c.probes, c.unreadable);
        args.insert(args.end(), {"-drive", "file=" + floppy.string() + ",format=raw,if=floppy",
                                 "-boot", "order=ca", "-trace", "ide_sector_read", "-trace",
                                 "ide_ctrl_write", "-D", trace.string()});
        const std::string expected = c.expected;
        const bool started = expected.ends_with("ARY") || expected.ends_with("UP");
        Qemu qemu(args);
        ASSERT_TRUE(qemu.WaitFor(started || expected == "SECOND" ? "KERNEL DONE" : expected))
            << qemu.console();
        const std::string& console = qemu.console();
        if (expected == "SECOND") {
            EXPECT_EQ(qemu.Line("KERNEL PROBE=").value_or("").substr(0, 6), "SECOND") << console;
            EXPECT_EQ(qemu.Count("partition table"), 0);
        } else if (started) {
            // Started with DL = 80h and DS:SI at the active entry.
            std::size_t at = 446;
            while (mbr_[at] != 0x80) at += 16;
            EXPECT_EQ(qemu.Line("KERNEL PROBE="),
                      expected + " ENTRY=" + Hex(std::span(mbr_).subspan(at, 16)));
            const std::string si = Hex(std::array{std::uint8_t(at)});  // 0:0600 + at
            EXPECT_THAT(console, HasSubstr("80 SI=07" + si + " DS=0000"));
        } else {
            qemu.WaitFor({}, 0, std::chrono::milliseconds(300));
            EXPECT_EQ(qemu.Count("KERNEL"), 0);
            EXPECT_EQ(qemu.Count("Booting from"), 1) << "the loader must halt";
        }
        if (c.unreadable != c.first) continue;
        // Five reads of the partition's sector, each followed by a disk reset
        // (SRST through the device control register).
        const std::string text = FileText(trace);
        const std::regex event("(ide_sector_read sector=" + std::to_string(c.first) +
                               " )|@ 0x3f6.*val 0x0e");
        std::string events;
        for (std::sregex_iterator it(text.begin(), text.end(), event), end; it != end; ++it)
            if ((*it)[1].matched || !events.empty()) events += (*it)[1].matched ? 'R' : 'S';
        EXPECT_EQ(events, "RSRSRSRSRS");
    }
}

// The MBR reads by LBA only: from a floppy, where neither BIOS has the
// extensions, it cannot load.
TEST_F(MbrBoot, WithoutExtensionsTheDriveCannotStart) {
    for (Firmware firmware : kAllFirmware) {
        SCOPED_TRACE(FirmwareName(firmware));
        if (!MissingForFirmware(firmware).empty()) continue;
        Qemu qemu(Disk(0x80000000, 0x0E, kFirst, "P", 0, "floppy"), firmware);
        ASSERT_TRUE(qemu.WaitFor(kLoadError)) << qemu.console();
        EXPECT_EQ(qemu.Count("KERNEL"), 0) << qemu.console();
    }
}

// A disk of `sectors` (hidden 0: a floppy) formatted by mkfs.fat behind the
// MBR, with the FreeDOS sector patched from the formatted one or the DOS
// sector with its parameter block; no format: the image writer's layout.
// FreeDOS by LBA beyond cylinder reach and by CHS on a floppy (SeaBIOS has no
// extensions there); DOS by CHS, IBMBIO.COM started with CH = media byte,
// DL = drive, AX:BX = the first data sector. The kernel, in two runs of
// clusters, is entered at segment:0000, loaded whole, the boot sector left as
// it was. Without it: the message, a wait for a key, a restart.
TEST_F(LoaderBoot, StartsTheSystemFileAsItExpectsOrSaysItIsMissingAndRestarts) {
    struct Loader {
        const char* what;
        bool dos;
        std::uint64_t sectors;
        std::uint32_t hidden, heads, spt;  // heads 0: QEMU picks the geometry
        std::vector<std::string> format;
        const char* missing = nullptr;  // no kernel: the loader's message
    };
    // clang-format off
    const Loader cases[] = {
        {"FreeDOS beyond CHS", false, 20'065'536, 20'000'000, 0, 0, {"-F", "16", "-s", "4"}},
        {"FreeDOS floppy", false, 5760, 0, 2, 36, {"-F", "16", "-s", "1", "-M", "0xF0", "-g", "2/36"}},
        {"DOS FAT12", true, 65 * 4 * 32, 32, 4, 32, {"-F", "12", "-s", "4", "-r", "512", "-f", "2", "-g", "4/32"}},
        {"DOS FAT16", true, 33 * 16 * 63, 63, 16, 63, {"-F", "16", "-s", "4", "-g", "16/63"}},
        {"FreeDOS without kernel", false, 65'535, 63, 0, 0, {"-F", "16", "-s", "4"}, "FreeDOSBOOT error!"},
        {"DOS image without IBMBIO.COM", true, 65 * 4 * 32, 32, 4, 32, {}, "Cannot load DOS! Any key to retry"},
    };
    // clang-format on
    for (const Loader& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t sectors =
            c.hidden ? LimitPartitionSectors(c.sectors - c.hidden - c.dos) : c.sectors;
        MakeEmptyDisk(disk_, c.sectors);
        SectorBytes mbr = kMbrTemplate, boot = c.dos ? kDosBootSector : kFreeDosBootSector;
        if (c.hidden) {
            ASSERT_EQ(c.format.empty() ? PatchMbrForImage(mbr, c.hidden)
                                       : PatchMbrPartition(mbr, c.hidden, sectors),
                      PatchResult::ok);
            WriteAt(disk_, 0, mbr);
        }
        ASSERT_TRUE(c.format.empty() || Format(disk_, c.hidden, sectors, c.format));
        const SectorBuffer formatted = ReadSector(disk_, c.hidden);
        PatchResult patched = PatchResult::ok;
        if (c.format.empty())
            patched = PatchDosBootSector(boot, c.heads, c.hidden, c.spt);
        else if (c.dos)
            std::copy(formatted.begin() + 11, formatted.begin() + 62, boot.begin() + 11);
        else
            patched = PatchFreeDosBootSector(boot, formatted, c.hidden, sectors);
        ASSERT_EQ(patched, PatchResult::ok) << PatchResultText(patched);
        if (!c.hidden) boot[kDriveNumber] = 0xFF;  // use the BIOS's drive
        WriteAt(disk_, std::uint64_t{c.hidden} * 512, boot);
        ASSERT_TRUE(c.missing ||
                    CopyIn(disk_, c.hidden, TestKernelFile(), c.dos ? "IBMBIO.COM" : "KERNEL.SYS",
                           boot[kSectorsPerCluster] * Little(boot, kBytesPerSector, 2)));
        Qemu qemu(c.hidden && c.heads
                      ? HardDiskWithGeometry(disk_, c.sectors / (c.heads * c.spt), c.heads, c.spt)
                      : std::vector<std::string>{
                            "-drive", "file=" + disk_.string() +
                                          ",format=raw,if=" + (c.hidden ? "ide" : "floppy")});
        if (c.missing) {
            ASSERT_TRUE(qemu.WaitFor(c.missing)) << qemu.console();
            qemu.WaitFor({}, 0, std::chrono::milliseconds(1500));
            EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 1) << qemu.console();
            qemu.SendKey(' ');
            ASSERT_TRUE(qemu.WaitFor(c.missing, 2)) << qemu.console();
            EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 2) << qemu.console();
            continue;
        }
        ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
        const std::string& console = qemu.console();
        EXPECT_THAT(console, HasSubstr("KERNEL IMAGE WHOLE"));
        EXPECT_THAT(console, HasSubstr("KERNEL BOOT0=" + Hex(std::span(boot).first(31)) +
                                       "\nKERNEL BOOT1=" + Hex(std::span(boot).subspan(31, 31))));
        const std::uint32_t data = c.hidden + Little(boot, 14, 2) + boot[16] * Little(boot, 22, 2) +
                                   Little(boot, 17, 2) / 16;
        const std::string drive = c.hidden ? "80" : "00";  // in DL, and in BL for FreeDOS
        char dos[40];
        std::snprintf(dos, sizeof dos, "AX=%04X BX=%04X CX=F8", data >> 16, data & 0xFFFF);
        const std::string entry =
            c.dos ? "KERNEL ENTRY CS=0070 IP=0000 " + std::string(dos)
                  : "FreeDOS.* GO! KERNEL ENTRY CS=0060 IP=0000 AX=.... BX=.." + drive + " CX=..";
        EXPECT_TRUE(std::regex_search(console, std::regex(entry + ".. DX=.." + drive))) << console;
    }
}

}  // namespace
}  // namespace larkin::test::boot
