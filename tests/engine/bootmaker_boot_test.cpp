// Sticks made bootable by the flow, booted in QEMU: the loader chain reaches
// our test kernel through LBA on drives of 4,000,000,000 and 32,000,000
// bytes, and a stick of a machine file written here, made by a C program
// that knows only the exported names, starts the demo kernel.
#include <cstdlib>
#include <fstream>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "stick_machines.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;

bool HaveQemu() {
    return boot::HaveProgram("qemu-system-i386");
}

class TesselBootableStick : public EngineTest, public ::testing::WithParamInterface<StickSpec> {
  protected:
    TesselBootableStick() : EngineTest(StickMachine({GetParam()})) {}
};

TEST_P(TesselBootableStick, StartsTheKernelFromTheFloppy) {
    if (!HaveQemu()) GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    ASSERT_TRUE(PutOnFloppy(boot::TestKernelFile(), "KERNEL.SYS"));
    ASSERT_EQ(GetUSBDevCount(), 1);
    larkin::sim::ClearJournal();
    std::string output = CapturedOutput([] { EXPECT_EQ(CreateUSBBoot("E:", "A:", 1), ATA_OK); });
    EXPECT_THAT(WrittenDisks(), ::testing::ElementsAre("stick1"));
    boot::Qemu qemu({"-drive", "file=" + DiskImage("stick1").string() + ",format=raw,if=ide"});
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_LT(console.find("FreeDOS"), console.find(" GO! ")) << console;
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "YES");
    EXPECT_EQ(boot::Field(console, "CS"), "0060");
    EXPECT_EQ(boot::Field(console, "BX").value_or("").substr(2), "80") << console;
}

StickSpec Sized(std::uint64_t bytes, std::uint32_t sectorsPerTrack, std::uint32_t heads) {
    StickSpec stick;
    stick.bytes = bytes;
    stick.sectorsPerTrack = sectorsPerTrack;
    stick.heads = heads;
    return stick;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TesselBootableStick,
                         ::testing::Values(Sized(4'000'000'000, 63, 255),
                                           Sized(32'000'000, 32, 64)),
                         [](const auto& info) { return std::to_string(info.param.bytes); });

TEST(TesselExportsOnly, ACProgramMakesAStickOfAnotherMachineBootable) {
    if (!HaveQemu()) GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    larkin::test::TempFolder folder;
    // A machine of its own: two sticks on a hub, the second at K:.
    std::ofstream(folder.path() / "other.toml") << R"([machine]
time_scale = 0
[floppy]
image = "floppy.img"
[[adapter]]
id = "hub"
class = "USB"
kind = "hub"
[[adapter]]
id = "port1"
class = "USB"
parent = "hub"
[[adapter.disk]]
id = "first"
size = "24MiB"
friendly_name = "Verbatim Store n Go USB Device"
letters = ["J:"]
[[adapter.disk.partition]]
type = 0x06
start = 2048
format = "FAT16"
[[adapter]]
id = "port2"
class = "USB"
parent = "hub"
[[adapter.disk]]
id = "second"
size = "48MiB"
heads = 16
sectors_per_track = 32
friendly_name = "Transcend JetFlash USB Device"
letters = ["K:"]
[[adapter.disk.partition]]
type = 0x0E
start = 32
)";
    std::filesystem::create_directories(folder.path() / "other.state");
    std::filesystem::path floppy = folder.path() / "other.state" / "floppy.img";
    ASSERT_TRUE(boot::RunOk({"mkfs.fat", "-C", "-F", "12", floppy.string(), "1440"}));
    ASSERT_TRUE(boot::CopyIn(
        floppy, 0, boot::BinDir() / "File_Images" / "LarkinDemo" / "KERNEL.SYS", "KERNEL.SYS"));
    std::string command = "cd '" + folder.path().string() + "' && LARKIN_MACHINE='" +
                          (folder.path() / "other.toml").string() + "' '" +
                          (boot::BinDir() / "make_bootable_stick").string() +
                          "' K: A: >out.txt 2>&1";
    int status = std::system(command.c_str());
    std::ifstream out(folder.path() / "out.txt");
    std::string text(std::istreambuf_iterator<char>(out), {});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_THAT(text, ::testing::HasSubstr("[K: Transcend JetFlash USB Device]"));
    EXPECT_THAT(text, ::testing::HasSubstr("....Done\nstatus 0"));

    boot::Qemu qemu({"-drive", "file=" + (folder.path() / "other.state" / "second.img").string() +
                                   ",format=raw,if=ide"});
    ASSERT_TRUE(qemu.WaitFor("Press any key to restart.", 1, std::chrono::seconds(10)))
        << qemu.console();
    EXPECT_THAT(qemu.console(),
                ::testing::HasSubstr("This computer has started from a USB drive made by Larkin."));
    // The first stick was not touched.
    std::ifstream first(folder.path() / "other.state" / "first.img", std::ios::binary);
    first.seekg(2048 * 512 + 43);
    char label[12] = {};
    first.read(label, 11);
    EXPECT_STRNE(label, "FREEDOS    ");
}

}  // namespace
}  // namespace tessel::test
