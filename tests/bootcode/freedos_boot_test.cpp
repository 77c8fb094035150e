// The FreeDOS boot sector, patched in as the make-bootable flow does it,
// booted in QEMU with our test kernel as KERNEL.SYS.
#include <gtest/gtest.h>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"
#include "test_machine.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

class FreeDosBoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386")) {
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
        }
    }

    // A hard disk as the make-bootable flow leaves it: the MBR template
    // for the partition at `hidden`, a FAT16 file system made by mkfs.fat,
    // and the FreeDOS boot sector patched from the formatted one.
    bool MakeDisk(std::uint64_t disk_sectors, std::uint32_t hidden,
                  const std::vector<std::string>& mkfs_options) {
        hidden_ = hidden;
        sectors_ = LimitPartitionSectors(disk_sectors - hidden);
        MakeEmptyDisk(disk_, disk_sectors);
        SectorBytes mbr = kMbrTemplate;
        if (PatchMbrPartition(mbr, hidden, sectors_) != PatchResult::ok) return false;
        WriteAt(disk_, 0, mbr);
        std::vector<std::string> options = {"-F", "16", "-h", std::to_string(hidden)};
        options.insert(options.end(), mkfs_options.begin(), mkfs_options.end());
        if (!Format(disk_, hidden, sectors_, options)) return false;
        SectorBuffer formatted = ReadSector(disk_, hidden);
        boot_ = kFreeDosBootSector;
        PatchResult patched = PatchFreeDosBootSector(boot_, formatted, hidden, sectors_);
        EXPECT_EQ(patched, PatchResult::ok) << PatchResultText(patched);
        if (patched != PatchResult::ok) return false;
        WriteAt(disk_, std::uint64_t{hidden} * 512, boot_);
        return true;
    }

    std::vector<std::string> HardDisk() const {
        return {"-drive", "file=" + disk_.string() + ",format=raw,if=ide"};
    }

    // What every good boot shows: the loader's texts in order, the kernel
    // entered at 0060:0000 with the drive in BL and loaded whole. The boot
    // sector stays at 0:7C00 unless the kernel's last cluster reaches it
    // (the loader reads whole clusters).
    void ExpectKernelStarted(const Qemu& qemu, const std::string& drive,
                             bool boot_sector_kept = true) {
        const std::string& console = qemu.console();
        std::size_t freedos = console.find("FreeDOS");
        std::size_t go = console.find(" GO! ");
        std::size_t entry = console.find("KERNEL ENTRY");
        ASSERT_NE(freedos, std::string::npos) << console;
        EXPECT_LT(freedos, go) << console;
        EXPECT_LT(go, entry) << console;
        EXPECT_EQ(Field(console, "CS"), "0060");
        EXPECT_EQ(Field(console, "IP"), "0000");
        EXPECT_EQ(Field(console, "BX").value_or("").substr(2), drive) << console;
        Bytes kernel = ReadFile(TestKernelFile());
        auto [sum1, sum2] = KernelSums(kernel);
        char expected[64];
        std::snprintf(expected, sizeof expected, "SIZE=%04X SUM1=%04X SUM2=%04X TAIL=TAIL",
                      static_cast<unsigned>(kernel.size()), sum1, sum2);
        EXPECT_NE(console.find(expected), std::string::npos) << "expected " << expected << "\n"
                                                             << console;
        if (!boot_sector_kept) return;
        std::span<const std::uint8_t> parameters(boot_.data(), 62);
        EXPECT_EQ(qemu.Line("KERNEL BOOT0="), Hex(parameters.first(31)));
        EXPECT_EQ(qemu.Line("KERNEL BOOT1="), Hex(parameters.subspan(31)));
    }

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    std::uint32_t hidden_ = 0;
    std::uint32_t sectors_ = 0;
    SectorBytes boot_{};
};

TEST_F(FreeDosBoot, LoadsAFragmentedKernelThroughLba) {
    ASSERT_TRUE(MakeDisk(65'535, 63, {"-s", "4"}));
    ASSERT_TRUE(CopyInFragmented(disk_, hidden_, TestKernelFile(), "KERNEL.SYS", 4 * 512));
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    ExpectKernelStarted(qemu, "80");
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "YES");
}

TEST_F(FreeDosBoot, TwoGigabytePartitionUsesTheThirtyTwoBitCount) {
    // A 4,000,000,000-byte drive with 63 sectors per track: the partition
    // is cut to 3,906,250 sectors.
    ASSERT_TRUE(MakeDisk(7'812'500, 63, {}));
    EXPECT_EQ(sectors_, 3'906'250u);
    ASSERT_TRUE(CopyIn(disk_, hidden_, TestKernelFile(), "KERNEL.SYS"));
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    // 32 KB clusters: the kernel's one cluster covers 0:7C00.
    ExpectKernelStarted(qemu, "80", false);
    SectorBuffer written = ReadSector(disk_, hidden_);
    EXPECT_EQ(written[kSectorsPerCluster], 64);
    EXPECT_EQ(written[kTotalSectors16] | written[kTotalSectors16 + 1], 0);
    EXPECT_EQ(written[kTotalSectors32] | (written[kTotalSectors32 + 1] << 8) |
                  (written[kTotalSectors32 + 2] << 16),
              3'906'250);
}

TEST_F(FreeDosBoot, PartitionBeyondCylinderReach) {
    // 20,000,000 sectors in: only LBA reaches it, in the MBR and here.
    const std::uint32_t hidden = 20'000'000;
    ASSERT_TRUE(MakeDisk(hidden + 65'536, hidden, {"-s", "4"}));
    ASSERT_TRUE(CopyInFragmented(disk_, hidden_, TestKernelFile(), "KERNEL.SYS", 4 * 512));
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    ExpectKernelStarted(qemu, "80");
}

TEST_F(FreeDosBoot, FloppyReadsThroughCylinderHeadSector) {
    // SeaBIOS offers no extensions for floppies, so this takes the CHS
    // path: a FAT16 file system on a 2.88 MB disk of 80 cylinders, 2 heads
    // and 36 sectors, with the drive field left at 0FFh (use the BIOS's).
    const std::uint32_t sectors = 5760;
    MakeEmptyDisk(disk_, sectors);
    ASSERT_TRUE(Format(disk_, 0, sectors, {"-F", "16", "-s", "1", "-g", "2/36", "-M", "0xF0"}));
    SectorBuffer formatted = ReadSector(disk_, 0);
    boot_ = kFreeDosBootSector;
    ASSERT_EQ(PatchFreeDosBootSector(boot_, formatted, 0, sectors), PatchResult::ok);
    boot_[kDriveNumber] = 0xFF;
    WriteAt(disk_, 0, boot_);
    ASSERT_TRUE(CopyInFragmented(disk_, 0, TestKernelFile(), "KERNEL.SYS", 512));
    Qemu qemu({"-drive", "file=" + disk_.string() + ",format=raw,if=floppy"});
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "NO");
    ExpectKernelStarted(qemu, "00");
}

TEST_F(FreeDosBoot, MissingKernelWaitsForAKeyAndRestarts) {
    ASSERT_TRUE(MakeDisk(65'535, 63, {"-s", "4"}));
    Qemu qemu(HardDisk());
    ASSERT_TRUE(qemu.WaitFor("BOOT error!")) << qemu.console();
    EXPECT_NE(qemu.console().find("FreeDOSBOOT error!"), std::string::npos) << qemu.console();
    qemu.Collect(std::chrono::milliseconds(1500));
    EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 1) << qemu.console();
    EXPECT_EQ(qemu.Count("BOOT error!"), 1);
    qemu.SendKey(' ');
    ASSERT_TRUE(qemu.WaitFor("BOOT error!", 2)) << qemu.console();
    EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 2) << qemu.console();
    EXPECT_EQ(qemu.Count("KERNEL"), 0);
}

}  // namespace
}  // namespace larkin::test::boot
