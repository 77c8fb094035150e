// Sticks made bootable by the flow, booted in QEMU under both BIOSes through
// LBA and through CHS.
#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "templates/boot_patch.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;
namespace tpl = larkin::templates;
using boot::Firmware;

class TesselBootableStick : public EngineTest, public ::testing::WithParamInterface<Firmware> {};

TEST_P(TesselBootableStick, StartsTheKernelFromTheFloppyThroughLbaAndThroughChs) {
    std::string missing = boot::MissingForFirmware(GetParam());
    if (!missing.empty()) GTEST_SKIP() << missing;
    // 32,000,000 bytes with 32 sectors per track and 16 heads, the most an
    // ATA drive reports: 122 whole cylinders, the partition well within
    // cylinder 1023 and the firmware's CHS the same as the volume's.
    for (bool chs : {false, true}) {
        SCOPED_TRACE(chs ? "CHS" : "LBA");
        Restart(chs ? StickMachine(32'000'000, 32, 16) : StickMachine(4'000'000'000));
        ASSERT_TRUE(PutOnFloppy(boot::TestKernelFile(), "KERNEL.SYS"));
        ASSERT_GE(GetUSBDevCount(), 1);
        larkin::controls::ClearJournal();
        std::string output =
            CapturedOutput([] { EXPECT_EQ(CreateUSBBoot("E:", "A:", 1), ATA_OK); });
        EXPECT_THAT(WrittenDisks(), ElementsAre("stick1")) << output;
        larkin::test::TempFolder folder;
        std::vector<std::string> args{
            "-drive", "file=" + DiskImage("stick1").string() + ",format=raw,if=ide"};
        if (chs) {
            const auto hidden = Little(ImageBytes("stick1", 0, 512), tpl::kMbrEntry0FirstSector);
            auto bootSector = ImageBytes("stick1", std::uint64_t{hidden} * 512, 512);
            ASSERT_EQ(Little(bootSector, tpl::kHeadCount, 2), 16u);
            ASSERT_EQ(Little(bootSector, tpl::kSectorsPerTrack, 2), 32u);
            args = boot::ChsShimFloppy(folder.path());
            for (std::string& arg : boot::HardDiskWithGeometry(DiskImage("stick1"), 122, 16, 32))
                args.push_back(std::move(arg));
        }
        boot::Qemu qemu(args, GetParam());
        ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
        const std::string& console = qemu.console();
        EXPECT_LT(console.find("FreeDOS"), console.find(" GO! ")) << console;
        EXPECT_EQ(boot::Field(console, "CS"), "0060");
        EXPECT_EQ(boot::Field(console, "BX").value_or("").substr(2), "80") << console;
        EXPECT_THAT(console, HasSubstr(boot::KernelImageLine())) << "the kernel as loaded";
        EXPECT_EQ(qemu.Line("KERNEL LBA="), chs ? "NO" : "YES");
        if (!chs) continue;
        // The loader asked for the extensions and was refused, while the MBR
        // (in segment 0) had its check and its one extended read; the loader
        // read through CHS.
        EXPECT_LT(console.find("SHIM EXTENSIONS HIDDEN BEYOND SEGMENT 0"), console.find("FreeDOS"));
        EXPECT_NE(qemu.Line("KERNEL SHIM PASSED=0002 REFUSED=0002 CHSREADS=").value_or("0000"),
                  "0000")
            << console;
    }
}

INSTANTIATE_TEST_SUITE_P(Firmware, TesselBootableStick, ::testing::ValuesIn(boot::kAllFirmware),
                         [](const auto& info) { return boot::FirmwareName(info.param); });

}  // namespace
}  // namespace tessel::test
