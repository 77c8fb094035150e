// Disks booted in QEMU: the MBR with probe sectors in its partitions, and the
// boot sectors, patched as the engine does it, loading the test kernel.
#include <gtest/gtest.h>

#include <fstream>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;
using Probes = std::vector<std::pair<std::uint64_t, const char*>>;

constexpr std::uint32_t kFirst = 63;
constexpr std::uint32_t kBackup = kFirst + 6;
constexpr char kLoadError[] = "Error loading operating system";

class Boot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386"))
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
};

class MbrBoot : public Boot {
  protected:
    // The disk: the MBR and the probes; reads of `unreadable` fail (blkdebug).
    std::vector<std::string> Disk(const Probes& probes, std::uint64_t sectors = 2048,
                                  std::uint64_t unreadable = 0) {
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

    // Four entries of `type`, each with a length so that none is empty; the
    // active one at `first`, the others at kFirst. `indicators` holds entry
    // 0's in its top byte.
    void SetEntries(std::uint32_t indicators, std::uint8_t type, std::uint32_t first) {
        for (std::size_t i = 0, at = 446; i < 4; ++i, at += 16) {
            mbr_[at] = static_cast<std::uint8_t>(indicators >> (24 - 8 * i));
            mbr_[at + 4] = type;
            SetLittle(mbr_, at + 8, 4, mbr_[at] == 0x80 ? first : kFirst);
            mbr_[at + 12] = 0x10;
        }
    }

    SectorBytes mbr_ = kMbrTemplate;
};

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
        const char* expected;         // a message, or the probe that ran
        const char* reads = nullptr;  // of `first`: R, and S for a disk reset
    };
    // clang-format off
    const Case cases[] = {
        {0x80000000, 0x0E, kFirst, "P", 0, "PRIMARY"},
        {0x00008000, 0x0E, 100, "bP", 0, "PRIMARY"},
        {0x80000000, 0x0E, 20'000'000, "bP", 0, "PRIMARY"},
        {0, 0x0E, kFirst, "P", 0, "SECOND"},
        {0x7F800000, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80000100, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80800000, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x00800081, 0x0E, kFirst, "P", 0, "Invalid partition table"},
        {0x80000000, 0x0E, kFirst, "P", kFirst, kLoadError, "RSRSRSRSRS"},
        {0x80000000, 0x0E, kFirst, "B", 0, kLoadError},
        {0x80000000, 0x01, kFirst, "B", 0, kLoadError},
        {0x80000000, 0x0C, kFirst, "", 0, "Missing operating system"},
        {0x80000000, 0x0C, kFirst, "B", 0, "BACKUP"},
        {0x80000000, 0x0B, kFirst, "PB", kFirst, "BACKUP", "RSRSRSRSRS"},
        {0x80000000, 0x0B, kFirst, "B", kBackup, kLoadError},
    };
    // clang-format on
    std::filesystem::path floppy = folder_.path() / "floppy.img";
    WriteAt(floppy, 0, ReadFile(ProbeFile("SECOND")));
    std::filesystem::path trace = folder_.path() / "trace.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.indicators << " type " << int(c.type) << " probes "
                     << c.probes << " unreadable " << c.unreadable);
        mbr_ = kMbrTemplate;
        SetEntries(c.indicators, c.type, c.first);
        Probes probes;
        for (char p : std::string_view(c.probes))
            probes.emplace_back(p == 'P'   ? c.first
                                : p == 'B' ? kBackup
                                           : kFirst,
                                p == 'P' ? "PRIMARY" : "BACKUP");
        std::vector<std::string> args =
            Disk(probes, std::max<std::uint64_t>(2048, c.first + 64), c.unreadable);
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
            int index = 0;
            while (mbr_[446 + 16 * index] != 0x80) ++index;
            EXPECT_EQ(qemu.Line("KERNEL PROBE="),
                      expected + " ENTRY=" + Hex(std::span(mbr_).subspan(446 + 16 * index, 16)));
            EXPECT_EQ(Field(console, "DX").value_or("").substr(2), "80");
            EXPECT_EQ(Field(console, "DS"), "0000");
            EXPECT_EQ(Field(console, "SI"),
                      "07" + Hex(std::array{std::uint8_t(0xBE + 16 * index)}));
        } else {
            qemu.Collect(std::chrono::milliseconds(300));
            EXPECT_EQ(qemu.Count("KERNEL"), 0);
            EXPECT_EQ(qemu.Count("Booting from"), 1) << "the loader must halt";
        }
        if (c.reads == nullptr) continue;
        // Reads of the partition's sector, and disk resets (SRST through the
        // device control register), in their order.
        std::ifstream log(trace);
        std::string events;
        for (std::string line; std::getline(log, line);) {
            if (line.find("ide_sector_read sector=" + std::to_string(c.first) + " ") !=
                std::string::npos)
                events += 'R';
            else if (line.find("@ 0x3f6") != std::string::npos &&
                     line.find("val 0x0e") != std::string::npos && !events.empty())
                events += 'S';
        }
        EXPECT_EQ(events, c.reads);
    }
}

// The MBR reads by LBA only: without the extensions it cannot load.
TEST_F(MbrBoot, FirmwareWithoutExtensionsCannotStartTheDrive) {
    SetEntries(0x80000000, 0x0E, kFirst);
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

// A disk of `sectors`, its partition at `hidden` behind the MBR (0: a floppy)
// formatted by mkfs.fat, then given the FreeDOS sector patched from the
// formatted one or the DOS sector with the formatted parameter block. No
// format: the image writer's layout, the DOS sector patched, no file system.
struct Loader {
    const char* what;
    bool dos;
    std::uint64_t sectors;
    std::uint32_t hidden, heads, spt;  // heads 0: QEMU picks the geometry
    std::vector<std::string> format;
    std::size_t fragment;  // cluster bytes of a kernel in two runs; 0: one piece
    bool kernel = true;
};

class LoaderBoot : public Boot {
  protected:
    bool MakeDisk(const Loader& c) {
        const std::uint32_t sectors =
            c.hidden ? LimitPartitionSectors(c.sectors - c.hidden - c.dos) : c.sectors;
        MakeEmptyDisk(disk_, c.sectors);
        if (c.format.empty()) {
            SectorBytes mbr = kMbrTemplate;
            EXPECT_EQ(PatchMbrForImage(mbr, c.hidden), PatchResult::ok);
            WriteAt(disk_, 0, mbr);
            boot_ = kDosBootSector;
            EXPECT_EQ(PatchDosBootSector(boot_, c.heads, c.hidden, c.spt), PatchResult::ok);
            WriteAt(disk_, std::uint64_t{c.hidden} * 512, boot_);
            return true;
        }
        std::vector<std::string> format = c.format;
        if (c.hidden) {
            SectorBytes mbr = kMbrTemplate;
            EXPECT_EQ(PatchMbrPartition(mbr, c.hidden, sectors), PatchResult::ok);
            WriteAt(disk_, 0, mbr);
            format.insert(format.end(), {"-h", std::to_string(c.hidden)});
        }
        if (!Format(disk_, c.hidden, sectors, format)) return false;
        SectorBuffer formatted = ReadSector(disk_, c.hidden);
        boot_ = c.dos ? kDosBootSector : kFreeDosBootSector;
        const PatchResult patched =
            c.dos ? PatchResult::ok : PatchFreeDosBootSector(boot_, formatted, c.hidden, sectors);
        if (c.dos) std::copy(formatted.begin() + 11, formatted.begin() + 62, boot_.begin() + 11);
        EXPECT_EQ(patched, PatchResult::ok) << PatchResultText(patched);
        if (!c.hidden) boot_[kDriveNumber] = 0xFF;  // use the BIOS's drive
        WriteAt(disk_, std::uint64_t{c.hidden} * 512, boot_);
        return patched == PatchResult::ok;
    }
    SectorBytes boot_{};
};

// FreeDOS by LBA (beyond cylinder reach too; a 4 GB drive cut to 3,906,250
// sectors with 32 KB clusters, whose one kernel cluster covers 0:7C00) and by
// CHS on a floppy (SeaBIOS has no extensions there); DOS by CHS, IBMBIO.COM
// started with CH = media byte, DL = drive, AX:BX = the first data sector.
// The kernel is entered at segment:0000 and loaded whole. Without it: the
// message, a wait for a key, a restart.
TEST_F(LoaderBoot, StartsTheSystemFileAsItExpectsOrSaysItIsMissingAndRestarts) {
    const std::vector<std::string> fat16 = {"-F", "16", "-s", "4"};
    // clang-format off
    const Loader cases[] = {
        {"FreeDOS LBA", false, 63 + 65'536, 63, 0, 0, fat16, 4 * 512},
        {"FreeDOS beyond CHS", false, 20'065'536, 20'000'000, 0, 0, fat16, 4 * 512},
        {"FreeDOS 4 GB", false, 7'812'500, 63, 0, 0, {"-F", "16"}, 0},
        {"FreeDOS floppy", false, 5760, 0, 2, 36, {"-F", "16", "-s", "1", "-M", "0xF0", "-g", "2/36"}, 512},
        {"DOS FAT12", true, 65 * 4 * 32, 32, 4, 32, {"-F", "12", "-s", "4", "-r", "512", "-f", "2", "-g", "4/32"}, 4 * 512},
        {"DOS FAT16", true, 33 * 16 * 63, 63, 16, 63, {"-F", "16", "-s", "4", "-g", "16/63"}, 4 * 512},
        {"FreeDOS without kernel", false, 65'535, 63, 0, 0, fat16, 0, false},
        {"DOS image without IBMBIO.COM", true, 65 * 4 * 32, 32, 4, 32, {}, 0, false},
    };
    // clang-format on
    for (const Loader& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(MakeDisk(c));
        const char* name = c.dos ? "IBMBIO.COM" : "KERNEL.SYS";
        if (c.kernel) {
            ASSERT_TRUE(c.fragment
                            ? CopyInFragmented(disk_, c.hidden, TestKernelFile(), name, c.fragment)
                            : CopyIn(disk_, c.hidden, TestKernelFile(), name));
        }
        Qemu qemu(c.hidden && c.heads
                      ? HardDiskWithGeometry(disk_, c.sectors / (c.heads * c.spt), c.heads, c.spt)
                      : std::vector<std::string>{
                            "-drive", "file=" + disk_.string() +
                                          ",format=raw,if=" + (c.hidden ? "ide" : "floppy")});
        if (!c.kernel) {
            const std::string message =
                c.dos ? "Cannot load DOS! Any key to retry" : "FreeDOSBOOT error!";
            ASSERT_TRUE(qemu.WaitFor(message)) << qemu.console();
            qemu.Collect(std::chrono::milliseconds(1500));
            EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 1) << qemu.console();
            qemu.SendKey(' ');
            ASSERT_TRUE(qemu.WaitFor(message, 2)) << qemu.console();
            EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 2) << qemu.console();
            EXPECT_EQ(qemu.Count("KERNEL"), 0);
            continue;
        }
        ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
        const std::string& console = qemu.console();
        EXPECT_EQ(Field(console, "CS"), c.dos ? "0070" : "0060");
        EXPECT_EQ(Field(console, "IP"), "0000");
        EXPECT_NE(console.find(KernelImageLine()), std::string::npos) << console;
        if (c.fragment) {
            EXPECT_EQ(qemu.Line("KERNEL BOOT0="), Hex(std::span(boot_).first(31)));
            EXPECT_EQ(qemu.Line("KERNEL BOOT1="), Hex(std::span(boot_).subspan(31, 31)));
        }
        const std::string drive = c.hidden ? "80" : "00";
        if (c.dos) {
            EXPECT_EQ(Field(console, "CX").value_or("").substr(0, 2), "F8") << "CH: media byte";
            EXPECT_EQ(Field(console, "DX").value_or("").substr(2), drive) << "DL: boot drive";
            const std::uint32_t data = c.hidden + Little(boot_, 14, 2) +
                                       boot_[16] * Little(boot_, 22, 2) + Little(boot_, 17, 2) / 16;
            char registers[32];
            std::snprintf(registers, sizeof registers, "AX=%04X BX=%04X", data >> 16,
                          data & 0xFFFF);
            EXPECT_NE(console.find(registers), std::string::npos) << registers << "\n" << console;
        } else {
            EXPECT_LT(console.find("FreeDOS"), console.find(" GO! ")) << console;
            EXPECT_LT(console.find(" GO! "), console.find("KERNEL ENTRY")) << console;
            EXPECT_EQ(Field(console, "BX").value_or("").substr(2), drive) << console;
            EXPECT_EQ(qemu.Line("KERNEL LBA="), c.hidden ? "YES" : "NO");
        }
    }
}

}  // namespace
}  // namespace larkin::test::boot
