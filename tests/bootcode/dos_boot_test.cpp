// The DOS boot sector, laid out as the raw image writer does it (MBR with a
// FAT12 entry one track in, the patched boot sector, then the file-system
// area), booted in QEMU with our test kernel as IBMBIO.COM.
#include <gtest/gtest.h>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"
#include "test_machine.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

class DosBoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("qemu-system-i386")) {
            GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
        }
    }

    // The image writer's layout on a disk of 65 cylinders, 4 heads and 32
    // sectors per track.
    bool MakeImageWriterDisk() {
        const std::uint32_t spt = 32;
        const std::uint32_t heads = 4;
        MakeEmptyDisk(disk_, kDiskSectors);
        SectorBytes mbr = kMbrTemplate;
        if (PatchMbrForImage(mbr, spt) != PatchResult::ok) return false;
        WriteAt(disk_, 0, mbr);

        // The raw image: an empty FAT12 file system for the template's own
        // parameters, everything after its boot sector (two FATs of 7
        // sectors starting with the media byte, then an empty root
        // directory and data area).
        const std::size_t fat_bytes = 7 * 512;
        Bytes area((kImagePartitionSectors - 1) * 512, 0);
        for (std::size_t fat : {std::size_t{0}, fat_bytes}) {
            area[fat] = 0xF8;
            area[fat + 1] = 0xFF;
            area[fat + 2] = 0xFF;
        }

        boot_ = kDosBootSector;
        PatchResult patched = PatchDosBootSector(
            boot_, heads, spt, DosSectorsPerTrackField(spt, true, kDiskSectors * 512));
        EXPECT_EQ(patched, PatchResult::ok) << PatchResultText(patched);
        WriteAt(disk_, std::uint64_t{spt} * 512, boot_);
        WriteAt(disk_, std::uint64_t{spt} * 512 + 512, area);
        first_ = spt;
        return patched == PatchResult::ok;
    }

    // QEMU's disk with the geometry the boot sector was given, and no
    // translation, so that the BIOS's CHS is the boot sector's.
    std::vector<std::string> HardDisk(std::uint32_t cylinders, std::uint32_t heads,
                                      std::uint32_t sectors) const {
        return HardDiskWithGeometry(disk_, cylinders, heads, sectors);
    }

    void ExpectDosStarted(const Qemu& qemu, std::uint32_t first_data) {
        const std::string& console = qemu.console();
        EXPECT_EQ(Field(console, "CS"), "0070");
        EXPECT_EQ(Field(console, "IP"), "0000");
        EXPECT_EQ(Field(console, "CX").value_or("").substr(0, 2), "F8") << "CH: media byte";
        EXPECT_EQ(Field(console, "DX").value_or("").substr(2), "80") << "DL: boot drive";
        char data[16];
        std::snprintf(data, sizeof data, "%04X", first_data >> 16);
        EXPECT_EQ(Field(console, "AX"), data) << "AX: first data sector, high word";
        std::snprintf(data, sizeof data, "%04X", first_data & 0xFFFF);
        EXPECT_EQ(Field(console, "BX"), data) << "BX: first data sector, low word";
        Bytes kernel = ReadFile(TestKernelFile());
        auto [sum1, sum2] = KernelSums(kernel);
        char expected[64];
        std::snprintf(expected, sizeof expected, "SIZE=%04X SUM1=%04X SUM2=%04X TAIL=TAIL",
                      static_cast<unsigned>(kernel.size()), sum1, sum2);
        EXPECT_NE(console.find(expected), std::string::npos) << "expected " << expected << "\n"
                                                             << console;
        std::span<const std::uint8_t> parameters(boot_.data(), 62);
        EXPECT_EQ(qemu.Line("KERNEL BOOT0="), Hex(parameters.first(31)));
        EXPECT_EQ(qemu.Line("KERNEL BOOT1="), Hex(parameters.subspan(31)));
    }

    static constexpr std::uint64_t kDiskSectors = 65 * 4 * 32;  // 32 + 8,288

    TempFolder folder_;
    std::filesystem::path disk_ = folder_.path() / "disk.img";
    std::uint32_t first_ = 0;
    SectorBytes boot_{};
};

TEST_F(DosBoot, LoadsIbmbioThroughChsAndStartsItAsDosExpects) {
    ASSERT_TRUE(MakeImageWriterDisk());
    ASSERT_TRUE(CopyInFragmented(disk_, first_, TestKernelFile(), "IBMBIO.COM", 4 * 512));
    Qemu qemu(HardDisk(65, 4, 32));
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    // 32 hidden + 1 reserved + 2 x 7 FAT + 32 root directory sectors.
    ExpectDosStarted(qemu, 79);
}

TEST_F(DosBoot, FollowsSixteenBitChainsToo) {
    // A FAT16 volume at sector 63 of a 33-cylinder, 16-head, 63-sector disk,
    // its parameter block copied into the DOS boot sector.
    const std::uint32_t hidden = 63;
    const std::uint32_t sectors = 33 * 16 * 63 - hidden - 1;
    MakeEmptyDisk(disk_, 33 * 16 * 63);
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(mbr, hidden, sectors), PatchResult::ok);
    WriteAt(disk_, 0, mbr);
    ASSERT_TRUE(Format(disk_, hidden, sectors,
                       {"-F", "16", "-s", "4", "-h", std::to_string(hidden), "-g", "16/63"}));
    SectorBuffer formatted = ReadSector(disk_, hidden);
    boot_ = kDosBootSector;
    std::copy(formatted.begin() + 11, formatted.begin() + 62, boot_.begin() + 11);
    WriteAt(disk_, std::uint64_t{hidden} * 512, boot_);
    ASSERT_TRUE(CopyInFragmented(disk_, hidden, TestKernelFile(), "IBMBIO.COM", 4 * 512));
    Qemu qemu(HardDisk(33, 16, 63));
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE")) << qemu.console();
    const std::uint32_t fats = formatted[16];
    const std::uint32_t fat_sectors =
        static_cast<std::uint32_t>(formatted[22] | (formatted[23] << 8));
    const std::uint32_t reserved = static_cast<std::uint32_t>(formatted[14] | (formatted[15] << 8));
    ExpectDosStarted(qemu, hidden + reserved + fats * fat_sectors + 32);
}

TEST_F(DosBoot, MissingIbmbioWaitsForAKeyAndRestarts) {
    ASSERT_TRUE(MakeImageWriterDisk());
    ASSERT_TRUE(CopyIn(disk_, first_, TestKernelFile(), "KERNEL.SYS"));
    Qemu qemu(HardDisk(65, 4, 32));
    ASSERT_TRUE(qemu.WaitFor("Cannot load DOS! Any key to retry")) << qemu.console();
    qemu.Collect(std::chrono::milliseconds(1500));
    EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 1) << qemu.console();
    qemu.SendKey('y');
    ASSERT_TRUE(qemu.WaitFor("Cannot load DOS! Any key to retry", 2)) << qemu.console();
    EXPECT_EQ(qemu.Count("Booting from Hard Disk"), 2) << qemu.console();
    EXPECT_EQ(qemu.Count("KERNEL"), 0);
}

}  // namespace
}  // namespace larkin::test::boot
