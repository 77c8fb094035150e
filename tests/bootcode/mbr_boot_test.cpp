// The master boot record, booted in QEMU with probe sectors (the test kernel
// as a boot sector) in the partitions: which entry it starts, how, and what
// it says when it cannot.
#include <gtest/gtest.h>

#include <fstream>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

constexpr std::uint32_t kFirst = 63;
constexpr std::uint32_t kBackup = kFirst + 6;
constexpr char kLoadError[] = "Error loading operating system";

class MbrBoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386"))
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
        mbr_ = kMbrTemplate;
    }

    void SetEntry(int index, std::uint8_t indicator, std::uint8_t type, std::uint32_t first) {
        std::size_t at = 446 + 16 * static_cast<std::size_t>(index);
        mbr_[at] = indicator;
        mbr_[at + 4] = type;
        for (int i = 0; i < 4; ++i) mbr_[at + 8 + i] = static_cast<std::uint8_t>(first >> (8 * i));
        mbr_[at + 12] = 0x10;  // a length, so that the entry is not empty
    }

    // The disk: the MBR and the probes; reads of `unreadable` fail (blkdebug).
    std::vector<std::string> Disk(std::vector<std::pair<std::uint64_t, const char*>> probes,
                                  std::uint64_t sectors = 2048, std::uint64_t unreadable = 0) {
        MakeEmptyDisk(disk_, sectors);
        WriteAt(disk_, 0, mbr_);
        for (const auto& [sector, name] : probes)
            WriteAt(disk_, sector * 512, ReadFile(ProbeFile(name)));
        std::string wrapper;
        if (unreadable != 0) {
            std::filesystem::path rules = folder_.path() / "fail.conf";
            std::ofstream(rules)
                << "[inject-error]\nevent = \"read_aio\"\nerrno = \"5\"\nsector = \"" << unreadable
                << "\"\n";
            wrapper = "blkdebug:" + rules.string() + ":";
        }
        return {"-drive", "file=" + wrapper + disk_.string() + ",format=raw,if=ide"};
    }

    // The probe `name` ran, started with DL = 80h and DS:SI at entry `index`.
    void ExpectStarted(Qemu& qemu, const std::string& name, int index) {
        ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
        EXPECT_EQ(qemu.Line("KERNEL PROBE="),
                  name + " ENTRY=" + Hex(std::span(mbr_).subspan(446 + 16 * index, 16)));
        EXPECT_EQ(Field(qemu.console(), "DX").value_or("").substr(2), "80");
        EXPECT_EQ(Field(qemu.console(), "DS"), "0000");
        char si[8];
        std::snprintf(si, sizeof si, "%04X", 0x7BE + 16 * index);
        EXPECT_EQ(Field(qemu.console(), "SI"), si);
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    SectorBytes mbr_{};
};

TEST_F(MbrBoot, StartsTheActiveEntryWhereverItIs) {
    struct Case {
        int index;
        std::uint32_t first;  // 20,000,000: beyond the reach of CHS
    };
    for (Case c : {Case{0, kFirst}, Case{2, 100}, Case{0, 20'000'000}}) {
        SCOPED_TRACE(c.first);
        mbr_ = kMbrTemplate;
        SetEntry(0, 0, 0, 0);
        SetEntry(c.index, 0x80, 0x0E, c.first);
        Qemu qemu(Disk({{kFirst, "BACKUP"}, {c.first, "PRIMARY"}}, c.first + 64));
        ExpectStarted(qemu, "PRIMARY", c.index);
    }
}

TEST_F(MbrBoot, NoActiveEntryHandsOverToTheNextBootDevice) {
    SetEntry(0, 0, 0x0E, kFirst);
    std::vector<std::string> args = Disk({{kFirst, "PRIMARY"}});
    std::filesystem::path floppy = folder_.path() / "floppy.img";
    WriteAt(floppy, 0, ReadFile(ProbeFile("SECOND")));
    args.insert(args.end(), {"-drive", "file=" + floppy.string() + ",format=raw,if=floppy", "-boot",
                             "order=ca"});
    Qemu qemu(args);
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    EXPECT_EQ(qemu.Line("KERNEL PROBE=").value_or("").substr(0, 6), "SECOND") << qemu.console();
    EXPECT_EQ(qemu.Count("partition table"), 0);
    EXPECT_LT(qemu.console().find("Booting from Hard Disk"),
              qemu.console().find("Booting from Floppy"));
}

TEST_F(MbrBoot, InvalidTableSaysSoAndHalts) {
    const std::array<std::uint8_t, 4> tables[] = {
        {0x7F, 0x80, 0, 0}, {0x80, 0, 0x01, 0}, {0x80, 0x80, 0, 0}, {0, 0x80, 0, 0x81}};
    for (const auto& indicators : tables) {
        SCOPED_TRACE(Hex(indicators));
        for (int i = 0; i < 4; ++i) SetEntry(i, indicators[i], 0x0E, kFirst);
        Qemu qemu(Disk({{kFirst, "PRIMARY"}}));
        ASSERT_TRUE(qemu.WaitFor("Invalid partition table")) << qemu.console();
        qemu.Collect(std::chrono::milliseconds(300));
        EXPECT_EQ(qemu.Count("KERNEL"), 0);
        EXPECT_EQ(qemu.Count("Booting from"), 1) << "the loader must halt";
    }
}

TEST_F(MbrBoot, UnreadableSectorAfterFiveAttemptsWithResets) {
    std::filesystem::path trace = folder_.path() / "trace.txt";
    std::vector<std::string> args = Disk({{kFirst, "PRIMARY"}}, 2048, kFirst);
    args.insert(args.end(),
                {"-trace", "ide_sector_read", "-trace", "ide_ctrl_write", "-D", trace.string()});
    Qemu qemu(args);
    ASSERT_TRUE(qemu.WaitFor(kLoadError)) << qemu.console();
    EXPECT_EQ(qemu.Count("KERNEL"), 0);
    qemu.Collect(std::chrono::milliseconds(300));
    // Reads of the partition's sector, and disk resets (SRST through the
    // device control register), in their order.
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

// The MBR reads by LBA only: without the extensions it cannot load.
TEST_F(MbrBoot, FirmwareWithoutExtensionsCannotStartTheDrive) {
    for (Firmware firmware : kAllFirmware) {
        SCOPED_TRACE(FirmwareName(firmware));
        if (!MissingForFirmware(firmware).empty()) continue;
        std::vector<std::string> args = ChsShimFloppy(folder_.path(), true);
        for (std::string& arg : Disk({{kFirst, "PRIMARY"}})) args.push_back(std::move(arg));
        Qemu qemu(args, firmware);
        ASSERT_TRUE(qemu.WaitFor(kLoadError)) << qemu.console();
        EXPECT_NE(qemu.console().find("SHIM EXTENSIONS HIDDEN FROM EVERYONE"), std::string::npos);
        EXPECT_EQ(qemu.Count("KERNEL"), 0) << qemu.console();
    }
}

// FAT32 types get one more try at the backup boot sector, six sectors on.
TEST_F(MbrBoot, BadPartitionSectorEndsAsTheEntryTypeSays) {
    struct Case {
        std::uint8_t type;
        bool primary;  // a probe at the entry's sector
        bool backup;   // one at the backup's
        std::uint64_t unreadable;
        const char* expected;
    };
    for (Case c :
         {Case{0x0E, false, true, 0, kLoadError}, Case{0x01, false, true, 0, kLoadError},
          Case{0x0B, false, false, 0, "Missing operating system"},
          Case{0x0C, false, false, 0, "Missing operating system"},
          Case{0x0C, false, true, 0, "KERNEL DONE"}, Case{0x0B, true, true, kFirst, "KERNEL DONE"},
          Case{0x0B, false, true, kBackup, kLoadError}}) {
        SCOPED_TRACE(testing::Message() << int(c.type) << c.primary << c.backup << c.unreadable);
        SetEntry(0, 0x80, c.type, kFirst);
        std::vector<std::pair<std::uint64_t, const char*>> probes;
        if (c.primary) probes.push_back({kFirst, "PRIMARY"});
        if (c.backup) probes.push_back({kBackup, "BACKUP"});
        Qemu qemu(Disk(probes, 2048, c.unreadable));
        ASSERT_TRUE(qemu.WaitFor(c.expected)) << qemu.console();
        if (std::string_view(c.expected) == "KERNEL DONE") {
            ExpectStarted(qemu, "BACKUP", 0);
        } else {
            qemu.Collect(std::chrono::milliseconds(200));
            EXPECT_EQ(qemu.Count("KERNEL"), 0);
        }
    }
}

}  // namespace
}  // namespace larkin::test::boot
