// The master boot record, booted in QEMU with probe sectors of our own in
// the partitions: which entry it starts, how, and what it says when it
// cannot.
#include <gtest/gtest.h>

#include <fstream>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"
#include "test_machine.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

constexpr std::uint32_t kFirst = 63;
constexpr std::uint32_t kBackupOffset = 6;

class MbrBoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386")) {
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
        }
        mbr_ = kMbrTemplate;
        ASSERT_EQ(PatchMbrPartition(mbr_, kFirst, 1985), PatchResult::ok);
    }

    void SetEntry(int index, std::uint8_t indicator, std::uint8_t type, std::uint32_t first) {
        std::size_t at = 446 + 16 * static_cast<std::size_t>(index);
        mbr_[at] = indicator;
        mbr_[at + 4] = type;
        for (int i = 0; i < 4; ++i) mbr_[at + 8 + i] = static_cast<std::uint8_t>(first >> (8 * i));
        mbr_[at + 12] = 0x10;  // a length, so that the entry is not empty
    }

    std::string EntryHex(int index) const {
        return Hex(std::span<const std::uint8_t>(mbr_).subspan(446 + 16 * index, 16));
    }

    // Writes the disk: the MBR, and probe sectors where asked.
    void Write(std::uint64_t sectors = 2048) {
        MakeEmptyDisk(disk_, sectors);
        WriteAt(disk_, 0, mbr_);
        for (const auto& [sector, name] : probes_)
            WriteAt(disk_, sector * 512, ReadFile(ProbeFile(name)));
    }

    std::vector<std::string> HardDisk(const std::string& wrapper = "") const {
        return {"-drive", "file=" + wrapper + disk_.string() + ",format=raw,if=ide"};
    }

    // A blkdebug wrapper that fails every read of `sector`.
    std::string FailReads(std::uint64_t sector) {
        std::filesystem::path rules = folder_.path() / ("fail-" + std::to_string(sector) + ".conf");
        std::ofstream(rules) << "[inject-error]\nevent = \"read_aio\"\nerrno = \"5\"\nsector = \""
                             << sector << "\"\n";
        return "blkdebug:" + rules.string() + ":";
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    SectorBytes mbr_{};
    std::vector<std::pair<std::uint64_t, std::string>> probes_;
};

TEST_F(MbrBoot, StartsTheActiveEntryWithDriveAndEntryPointer) {
    probes_ = {{kFirst, "PRIMARY"}};
    Write();
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("PROBE DONE")) << qemu.console();
    EXPECT_EQ(qemu.Line("PROBE PRIMARY DL="), "80 DS=0000 SI=07BE ENTRY=" + EntryHex(0));
}

TEST_F(MbrBoot, ActiveEntryFurtherDownTheTable) {
    SetEntry(0, 0, 0, 0);
    SetEntry(2, 0x80, 0x0E, 100);
    probes_ = {{kFirst, "BACKUP"}, {100, "PRIMARY"}};
    Write();
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("PROBE DONE")) << qemu.console();
    EXPECT_EQ(qemu.Line("PROBE PRIMARY DL="), "80 DS=0000 SI=07DE ENTRY=" + EntryHex(2));
}

TEST_F(MbrBoot, ReadsBeyondCylinderReach) {
    const std::uint32_t far = 20'000'000;
    SetEntry(0, 0x80, 0x0E, far);
    probes_ = {{far, "PRIMARY"}};
    Write(far + 64);
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("PROBE DONE")) << qemu.console();
    EXPECT_EQ(qemu.Line("PROBE PRIMARY DL="), "80 DS=0000 SI=07BE ENTRY=" + EntryHex(0));
}

TEST_F(MbrBoot, NoActiveEntryHandsOverToTheNextBootDevice) {
    SetEntry(0, 0, 0x0E, kFirst);
    probes_ = {{kFirst, "PRIMARY"}};
    Write();
    std::filesystem::path floppy = folder_.path() / "floppy.img";
    MakeEmptyDisk(floppy, 2880);
    WriteAt(floppy, 0, ReadFile(ProbeFile("SECOND")));
    std::vector<std::string> args = HardDisk();
    args.insert(args.end(), {"-drive", "file=" + floppy.string() + ",format=raw,if=floppy", "-boot",
                             "order=ca"});
    Qemu qemu(args);
    ASSERT_TRUE(qemu.WaitFor("PROBE DONE")) << qemu.console();
    EXPECT_NE(qemu.console().find("PROBE SECOND"), std::string::npos) << qemu.console();
    EXPECT_EQ(qemu.Count("PROBE PRIMARY"), 0);
    EXPECT_EQ(qemu.Count("partition table"), 0);
    EXPECT_LT(qemu.console().find("Booting from Hard Disk"),
              qemu.console().find("Booting from Floppy"));
}

struct BrokenTable {
    const char* what;
    std::uint8_t indicators[4];
};

void PrintTo(const BrokenTable& c, std::ostream* out) {
    *out << c.what;
}

class InvalidTable : public MbrBoot, public ::testing::WithParamInterface<BrokenTable> {};

TEST_P(InvalidTable, SaysSoAndHalts) {
    const BrokenTable& c = GetParam();
    for (int i = 0; i < 4; ++i) SetEntry(i, c.indicators[i], 0x0E, kFirst);
    probes_ = {{kFirst, "PRIMARY"}};
    Write();
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("Invalid partition table")) << qemu.console();
    qemu.Collect(std::chrono::milliseconds(300));
    EXPECT_EQ(qemu.Count("PROBE"), 0);
    EXPECT_EQ(qemu.Count("Booting from"), 1) << "the loader must halt";
}

INSTANTIATE_TEST_SUITE_P(
    MbrBoot, InvalidTable,
    ::testing::Values(BrokenTable{"IndicatorBeforeTheBootEntry", {0x7F, 0x80, 0, 0}},
                      BrokenTable{"IndicatorAfterTheBootEntry", {0x80, 0, 0x01, 0}},
                      BrokenTable{"TwoBootEntries", {0x80, 0x80, 0, 0}},
                      BrokenTable{"BootBitAfterTheBootEntry", {0, 0x80, 0, 0x81}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(MbrBoot, UnreadableSectorAfterFiveAttemptsWithResets) {
    probes_ = {{kFirst, "PRIMARY"}};
    Write();
    std::filesystem::path trace = folder_.path() / "trace.txt";
    std::vector<std::string> args = HardDisk(FailReads(kFirst));
    args.insert(args.end(),
                {"-trace", "ide_sector_read", "-trace", "ide_ctrl_write", "-D", trace.string()});
    Qemu qemu(args);
    ASSERT_TRUE(qemu.WaitFor("Error loading operating system")) << qemu.console();
    EXPECT_EQ(qemu.Count("PROBE"), 0);
    qemu.Collect(std::chrono::milliseconds(300));

    // Reads of the partition's sector, and disk resets (SRST through the
    // device control register), in the order they happened.
    std::ifstream log(trace);
    std::string events;
    for (std::string line; std::getline(log, line);) {
        if (line.find("ide_sector_read sector=" + std::to_string(kFirst) + " ") !=
            std::string::npos)
            events += 'R';
        else if (line.find("@ 0x3f6") != std::string::npos &&
                 line.find("val 0x0e") != std::string::npos && !events.empty())
            events += 'S';
    }
    EXPECT_EQ(events, "RSRSRSRSRS");
}

TEST_F(MbrBoot, FirmwareWithoutExtensionsCannotStartTheDrive) {
    // The MBR reads by LBA only: with the extensions hidden from every
    // caller it says it cannot load, and never starts the partition, under
    // either BIOS.
    probes_ = {{kFirst, "PRIMARY"}};
    Write();
    for (Firmware firmware : kAllFirmware) {
        SCOPED_TRACE(FirmwareName(firmware));
        if (!MissingForFirmware(firmware).empty()) continue;
        std::vector<std::string> args = ChsShimFloppy(folder_.path(), true);
        for (std::string& arg : HardDisk()) args.push_back(std::move(arg));
        Qemu qemu(args, firmware);
        ASSERT_TRUE(qemu.WaitFor("Error loading operating system")) << qemu.console();
        EXPECT_NE(qemu.console().find("SHIM EXTENSIONS HIDDEN FROM EVERYONE"), std::string::npos);
        EXPECT_EQ(qemu.Count("PROBE"), 0) << qemu.console();
    }
}

struct BadSector {
    const char* what;
    std::uint8_t type;
    bool primary_present;  // a probe with its signature at the entry's sector
    bool primary_unreadable;
    bool backup_present;  // one six sectors further on
    bool backup_unreadable;
    const char* expected;
};

void PrintTo(const BadSector& c, std::ostream* out) {
    *out << c.what;
}

class BadPartitionSector : public MbrBoot, public ::testing::WithParamInterface<BadSector> {};

TEST_P(BadPartitionSector, EndsAsTheEntryTypeSays) {
    const BadSector& c = GetParam();
    SetEntry(0, 0x80, c.type, kFirst);
    if (c.primary_present) probes_.push_back({kFirst, "PRIMARY"});
    if (c.backup_present) probes_.push_back({kFirst + kBackupOffset, "BACKUP"});
    Write();
    std::string wrapper;
    if (c.primary_unreadable) wrapper = FailReads(kFirst);
    if (c.backup_unreadable) wrapper = FailReads(kFirst + kBackupOffset);
    Qemu qemu(HardDisk(wrapper));
    ASSERT_TRUE(qemu.WaitFor(c.expected)) << qemu.console();
    qemu.Collect(std::chrono::milliseconds(200));
    EXPECT_EQ(qemu.Count("PROBE PRIMARY"), 0);
    if (std::string_view(c.expected) == "PROBE BACKUP") {
        ASSERT_TRUE(qemu.WaitFor("PROBE DONE"));
        EXPECT_EQ(qemu.Line("PROBE BACKUP DL="), "80 DS=0000 SI=07BE ENTRY=" + EntryHex(0));
    } else {
        EXPECT_EQ(qemu.Count("PROBE"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    MbrBoot, BadPartitionSector,
    ::testing::Values(
        BadSector{"Fat16NoSignature", 0x0E, false, false, true, false,
                  "Error loading operating system"},
        BadSector{"Fat12NoSignature", 0x01, false, false, true, false,
                  "Error loading operating system"},
        BadSector{"Fat32NoSignatureAnywhere", 0x0B, false, false, false, false,
                  "Missing operating system"},
        BadSector{"Fat32LbaNoSignatureAnywhere", 0x0C, false, false, false, false,
                  "Missing operating system"},
        BadSector{"Fat32BackupBootSector", 0x0C, false, false, true, false, "PROBE BACKUP"},
        BadSector{"Fat32UnreadableThenBackup", 0x0B, true, true, true, false, "PROBE BACKUP"},
        BadSector{"Fat32NoSignatureBackupUnreadable", 0x0B, false, false, true, true,
                  "Error loading operating system"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace larkin::test::boot
