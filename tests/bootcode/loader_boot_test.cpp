// The partition boot sectors, patched as the engine does it, booted in QEMU
// with the test kernel as KERNEL.SYS (FreeDOS) or IBMBIO.COM (DOS).
#include <gtest/gtest.h>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

class LoaderBoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386"))
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    }

    // The MBR for a FAT16 partition at `hidden`, formatted by mkfs.fat, and
    // the FreeDOS sector patched from the formatted one.
    bool MakeFreeDosDisk(std::uint64_t disk_sectors, std::uint32_t hidden,
                         std::vector<std::string> options) {
        hidden_ = hidden;
        sectors_ = LimitPartitionSectors(disk_sectors - hidden);
        MakeEmptyDisk(disk_, disk_sectors);
        SectorBytes mbr = kMbrTemplate;
        EXPECT_EQ(PatchMbrPartition(mbr, hidden, sectors_), PatchResult::ok);
        WriteAt(disk_, 0, mbr);
        options.insert(options.end(), {"-F", "16", "-h", std::to_string(hidden)});
        if (!Format(disk_, hidden, sectors_, options)) return false;
        boot_ = kFreeDosBootSector;
        PatchResult patched =
            PatchFreeDosBootSector(boot_, ReadSector(disk_, hidden), hidden, sectors_);
        EXPECT_EQ(patched, PatchResult::ok) << PatchResultText(patched);
        WriteAt(disk_, std::uint64_t{hidden} * 512, boot_);
        return patched == PatchResult::ok;
    }

    std::vector<std::string> HardDisk() const {
        return {"-drive", "file=" + disk_.string() + ",format=raw,if=ide"};
    }

    // The kernel entered at segment:0000 and loaded whole. The boot sector
    // stays at 0:7C00 unless the kernel's last cluster reaches it.
    void ExpectKernelStarted(Qemu& qemu, const char* segment, bool boot_sector_kept = true) {
        ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
        const std::string& console = qemu.console();
        EXPECT_EQ(Field(console, "CS"), segment);
        EXPECT_EQ(Field(console, "IP"), "0000");
        EXPECT_NE(console.find(KernelImageLine()), std::string::npos)
            << "expected " << KernelImageLine() << "\n"
            << console;
        if (!boot_sector_kept) return;
        EXPECT_EQ(qemu.Line("KERNEL BOOT0="), Hex(std::span(boot_).first(31)));
        EXPECT_EQ(qemu.Line("KERNEL BOOT1="), Hex(std::span(boot_).subspan(31, 31)));
    }

    void ExpectFreeDosStarted(Qemu& qemu, const std::string& drive, const char* lba) {
        ExpectKernelStarted(qemu, "0060");
        const std::string& console = qemu.console();
        EXPECT_LT(console.find("FreeDOS"), console.find(" GO! ")) << console;
        EXPECT_LT(console.find(" GO! "), console.find("KERNEL ENTRY")) << console;
        EXPECT_EQ(Field(console, "BX").value_or("").substr(2), drive) << console;
        EXPECT_EQ(qemu.Line("KERNEL LBA="), lba);
    }

    // Missing system file: the message, a wait for a key, a restart.
    void ExpectKeyRestarts(Qemu& qemu, const std::string& message) {
        ASSERT_TRUE(qemu.WaitFor(message)) << qemu.console();
        qemu.Collect(std::chrono::milliseconds(1500));
        EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 1) << qemu.console();
        qemu.SendKey(' ');
        ASSERT_TRUE(qemu.WaitFor(message, 2)) << qemu.console();
        EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 2) << qemu.console();
        EXPECT_EQ(qemu.Count("KERNEL"), 0);
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    std::uint32_t hidden_ = 0;
    std::uint32_t sectors_ = 0;
    SectorBytes boot_{};
};

// Beyond cylinder reach (20,000,000 sectors in) only LBA gets there.
TEST_F(LoaderBoot, FreeDosLoadsAFragmentedKernelThroughLba) {
    for (std::uint32_t hidden : {63u, 20'000'000u}) {
        SCOPED_TRACE(hidden);
        ASSERT_TRUE(MakeFreeDosDisk(hidden + 65'536, hidden, {"-s", "4"}));
        ASSERT_TRUE(CopyInFragmented(disk_, hidden_, TestKernelFile(), "KERNEL.SYS", 4 * 512));
        Qemu qemu(HardDisk());
        ExpectFreeDosStarted(qemu, "80", "YES");
    }
}

TEST_F(LoaderBoot, FreeDosTwoGigabytePartitionUsesTheThirtyTwoBitCount) {
    // A 4,000,000,000-byte drive: the partition is cut to 3,906,250 sectors
    // with 32 KB clusters, so the kernel's one cluster covers 0:7C00.
    ASSERT_TRUE(MakeFreeDosDisk(7'812'500, 63, {}));
    ASSERT_TRUE(CopyIn(disk_, hidden_, TestKernelFile(), "KERNEL.SYS"));
    Qemu qemu(HardDisk());
    ExpectKernelStarted(qemu, "0060", false);
    EXPECT_EQ(ReadSector(disk_, hidden_)[kSectorsPerCluster], 64);
}

TEST_F(LoaderBoot, FreeDosFloppyReadsThroughCylinderHeadSector) {
    // SeaBIOS has no extensions for floppies: a FAT16 file system on a 2.88 MB
    // disk, the drive field left at 0FFh (use the BIOS's).
    const std::uint32_t sectors = 5760;
    MakeEmptyDisk(disk_, sectors);
    ASSERT_TRUE(Format(disk_, 0, sectors, {"-F", "16", "-s", "1", "-g", "2/36", "-M", "0xF0"}));
    boot_ = kFreeDosBootSector;
    ASSERT_EQ(PatchFreeDosBootSector(boot_, ReadSector(disk_, 0), 0, sectors), PatchResult::ok);
    boot_[kDriveNumber] = 0xFF;
    WriteAt(disk_, 0, boot_);
    ASSERT_TRUE(CopyInFragmented(disk_, 0, TestKernelFile(), "KERNEL.SYS", 512));
    Qemu qemu({"-drive", "file=" + disk_.string() + ",format=raw,if=floppy"});
    ExpectFreeDosStarted(qemu, "00", "NO");
}

TEST_F(LoaderBoot, FreeDosMissingKernelWaitsForAKeyAndRestarts) {
    ASSERT_TRUE(MakeFreeDosDisk(65'535, 63, {"-s", "4"}));
    Qemu qemu(HardDisk());
    ExpectKeyRestarts(qemu, "FreeDOSBOOT error!");
}

// DOS: CHS reads of FAT12 (the image writer's layout, one track in, on 65
// cylinders, 4 heads, 32 sectors) and of FAT16; IBMBIO.COM started with CH =
// media byte, DL = drive and AX:BX = the first data sector.
TEST_F(LoaderBoot, DosLoadsIbmbioThroughChsAndStartsItAsDosExpects) {
    struct Case {
        std::uint32_t cylinders, heads, spt, hidden;
        std::vector<std::string> format;
    };
    for (const Case& c : {Case{65, 4, 32, 32, {"-F", "12", "-s", "4", "-r", "512", "-f", "2"}},
                          Case{33, 16, 63, 63, {"-F", "16", "-s", "4"}}}) {
        SCOPED_TRACE(c.format[1]);
        const std::uint32_t sectors = c.cylinders * c.heads * c.spt - c.hidden - 1;
        MakeEmptyDisk(disk_, sectors + c.hidden + 1);
        SectorBytes mbr = kMbrTemplate;
        ASSERT_EQ(PatchMbrPartition(mbr, c.hidden, sectors), PatchResult::ok);
        WriteAt(disk_, 0, mbr);
        std::vector<std::string> format = c.format;
        format.insert(format.end(), {"-h", std::to_string(c.hidden), "-g",
                                     std::to_string(c.heads) + "/" + std::to_string(c.spt)});
        ASSERT_TRUE(Format(disk_, c.hidden, sectors, format));
        SectorBuffer formatted = ReadSector(disk_, c.hidden);
        boot_ = kDosBootSector;
        std::copy(formatted.begin() + 11, formatted.begin() + 62, boot_.begin() + 11);
        WriteAt(disk_, std::uint64_t{c.hidden} * 512, boot_);
        ASSERT_TRUE(CopyInFragmented(disk_, c.hidden, TestKernelFile(), "IBMBIO.COM", 4 * 512));
        Qemu qemu(HardDiskWithGeometry(disk_, c.cylinders, c.heads, c.spt));
        ExpectKernelStarted(qemu, "0070");
        const std::string& console = qemu.console();
        EXPECT_EQ(Field(console, "CX").value_or("").substr(0, 2), "F8") << "CH: media byte";
        EXPECT_EQ(Field(console, "DX").value_or("").substr(2), "80") << "DL: boot drive";
        auto word = [&](int at) { return formatted[at] | formatted[at + 1] << 8; };
        const std::uint32_t data = c.hidden + word(14) + formatted[16] * word(22) + word(17) / 16;
        char registers[32];
        std::snprintf(registers, sizeof registers, "AX=%04X BX=%04X", data >> 16, data & 0xFFFF);
        EXPECT_NE(console.find(registers), std::string::npos) << registers << "\n" << console;
    }
}

TEST_F(LoaderBoot, DosMissingIbmbioWaitsForAKeyAndRestarts) {
    MakeEmptyDisk(disk_, 65 * 4 * 32);
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrForImage(mbr, 32), PatchResult::ok);
    WriteAt(disk_, 0, mbr);
    boot_ = kDosBootSector;
    ASSERT_EQ(PatchDosBootSector(boot_, 4, 32, 32), PatchResult::ok);
    WriteAt(disk_, 32 * 512, boot_);
    Qemu qemu(HardDiskWithGeometry(disk_, 65, 4, 32));
    ExpectKeyRestarts(qemu, "Cannot load DOS! Any key to retry");
}

}  // namespace
}  // namespace larkin::test::boot
