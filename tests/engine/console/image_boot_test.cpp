// A stick written by CopyUSBBootImage with the default raw image boots in
// QEMU through the DOS boot sector, and our IBMBIO.COM says so.
#include <gmock/gmock.h>

#include "boot_harness.h"
#include "console/image_operations.h"
#include "console_test_support.h"
#include "engine_test_support.h"
#include "stick_machines.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;

constexpr int kCylinders = 64, kHeads = 16, kSectors = 32;

class WrittenImage : public EngineTest {
  protected:
    WrittenImage()
        : EngineTest(StickMachine({{.bytes = std::uint64_t{kCylinders} * kHeads * kSectors * 512,
                                    .sectorsPerTrack = kSectors,
                                    .heads = kHeads}})) {}
    larkin::test::TempFolder folder_;
};

TEST_F(WrittenImage, BootsThroughTheDosBootSector) {
    if (!larkin::test::HaveProgram("qemu-system-i386"))
        GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    std::string saved = (folder_.path() / "saved.mbr").string();
    ScopedInput input("y\n");
    int status = -1;
    std::string output = CapturedOutput(
        [&] { status = CopyUSBBootImage(saved.c_str(), "E:", TESSEL_DEFAULT_IMAGE); });
    ASSERT_EQ(status, ATA_OK) << output;
    // No translation: the BIOS's CHS is the one the boot sector was given.
    boot::Qemu qemu({"-drive", "if=none,id=disk,format=raw,file=" + DiskImage("stick1").string(),
                     "-device",
                     "ide-hd,drive=disk,cyls=" + std::to_string(kCylinders) +
                         ",heads=" + std::to_string(kHeads) + ",secs=" + std::to_string(kSectors) +
                         ",bios-chs-trans=none"});
    ASSERT_TRUE(qemu.WaitFor("Press any key to restart.")) << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_THAT(console, ::testing::HasSubstr("raw image writer, through the DOS boot sector."));
    EXPECT_THAT(console, ::testing::HasSubstr("Media byte:        F8h"));
    EXPECT_THAT(console, ::testing::HasSubstr("Boot drive:        80h"));
    // 32 hidden + 1 reserved + 2 x 7 FAT + 32 root directory sectors = 79.
    EXPECT_THAT(console, ::testing::HasSubstr("First data sector: 0000004Fh"));
    EXPECT_THAT(console, ::testing::HasSubstr("IBMBIO.COM was started as DOS expects."));
}

}  // namespace
}  // namespace tessel::test
