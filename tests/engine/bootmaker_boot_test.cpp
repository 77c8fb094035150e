// Sticks made bootable by the flow, booted in QEMU under SeaBIOS and under
// the Bochs BIOS: the loader chain reaches our test kernel through LBA on
// drives of 4,000,000,000 and 32,000,000 bytes, and through CHS when the
// firmware keeps the INT 13h extensions from the partition's loader; the
// demo machine's first stick starts the demo kernel; and a stick of another
// machine, made by a C program that knows only the exported names, too.
#include <fstream>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "stick_machines.h"
#include "templates/boot_patch.h"
#include "larkin/test_controls.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;
namespace tpl = larkin::templates;
using boot::Firmware;
using ::testing::HasSubstr;

constexpr const char* kDemoStarted = "This computer has started from a USB drive made by Larkin.";

std::filesystem::path DemoKernel() {
    return boot::BinDir() / "File_Images" / "LarkinDemo" / "KERNEL.SYS";
}

// Makes the machine's stick1 (E:) bootable from a floppy carrying kernel as
// KERNEL.SYS; only that stick may be written.
void MakeStickBootable(const std::filesystem::path& kernel) {
    ASSERT_TRUE(PutOnFloppy(kernel, "KERNEL.SYS"));
    ASSERT_GE(GetUSBDevCount(), 1);
    larkin::controls::ClearJournal();
    std::string output = CapturedOutput([] { EXPECT_EQ(CreateUSBBoot("E:", "A:", 1), ATA_OK); });
    EXPECT_THAT(WrittenDisks(), ::testing::ElementsAre("stick1")) << output;
}

void ExpectTestKernelLoaded(const boot::Qemu& qemu) {
    const std::string& console = qemu.console();
    EXPECT_LT(console.find("FreeDOS"), console.find(" GO! ")) << console;
    EXPECT_EQ(boot::Field(console, "CS"), "0060");
    EXPECT_EQ(boot::Field(console, "BX").value_or("").substr(2), "80") << console;
    auto [sum1, sum2] = boot::KernelSums(boot::ReadFile(boot::TestKernelFile()));
    char sums[32];
    std::snprintf(sums, sizeof sums, "%04X %04X", sum1, sum2);
    EXPECT_EQ(
        boot::Field(console, "SUM1").value_or("") + " " + boot::Field(console, "SUM2").value_or(""),
        sums)
        << "the kernel as loaded differs from the file";
}

// The demo machine as scripts/demo runs it, with its pauses recorded only.
std::string DemoMachine() {
    std::ifstream file(TESSEL_DEMO_MACHINE);
    std::string toml(std::istreambuf_iterator<char>(file), {});
    std::size_t at = toml.find("time_scale = ");
    if (at != std::string::npos) toml.replace(at, toml.find('\n', at) - at, "time_scale = 0");
    return toml;
}

struct StickBoot {
    std::string name;
    std::string machine;  // empty: the demo machine, with its kernel
    Firmware firmware;
};

void PrintTo(const StickBoot& boot, std::ostream* out) {
    *out << boot.name;
}

class TesselBootableStick : public EngineTest, public ::testing::WithParamInterface<StickBoot> {
  protected:
    TesselBootableStick()
        : EngineTest(GetParam().machine.empty() ? DemoMachine() : GetParam().machine) {}
};

TEST_P(TesselBootableStick, StartsTheKernelFromTheFloppyThroughLba) {
    std::string missing = boot::MissingForFirmware(GetParam().firmware);
    if (!missing.empty()) GTEST_SKIP() << missing;
    const bool demo = GetParam().machine.empty();
    MakeStickBootable(demo ? DemoKernel() : boot::TestKernelFile());
    boot::Qemu qemu({"-drive", "file=" + DiskImage("stick1").string() + ",format=raw,if=ide"},
                    GetParam().firmware);
    if (demo) {
        ASSERT_TRUE(qemu.WaitFor("Press any key to restart.", 1, std::chrono::seconds(10)))
            << qemu.console();
        EXPECT_THAT(qemu.console(), HasSubstr(kDemoStarted));
        EXPECT_THAT(qemu.console(), HasSubstr("Boot drive:    80h"));
        EXPECT_THAT(qemu.console(), HasSubstr("Disk services: LBA extensions present"));
        return;
    }
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "YES");
    ExpectTestKernelLoaded(qemu);
}

std::vector<StickBoot> LbaBoots() {
    std::vector<StickBoot> boots;
    for (Firmware firmware : boot::kAllFirmware) {
        const std::string bios = "_" + boot::FirmwareName(firmware);
        boots.push_back({"4000000000" + bios, StickMachine({{.bytes = 4'000'000'000}}), firmware});
        boots.push_back({"32000000" + bios,
                         StickMachine({{.bytes = 32'000'000, .sectorsPerTrack = 32, .heads = 64}}),
                         firmware});
        boots.push_back({"DemoMachine" + bios, "", firmware});
    }
    return boots;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TesselBootableStick, ::testing::ValuesIn(LbaBoots()),
                         [](const auto& info) { return info.param.name; });

// 32,000,000 bytes with 32 sectors per track and 16 heads, the most an ATA
// drive reports: 122 whole cylinders, the partition well within cylinder
// 1023 and the firmware's CHS the same as the volume's.
class TesselChsBoot : public EngineTest, public ::testing::WithParamInterface<Firmware> {
  protected:
    TesselChsBoot()
        : EngineTest(StickMachine({{.bytes = 32'000'000, .sectorsPerTrack = 32, .heads = 16}})) {}
};

TEST_P(TesselChsBoot, LoaderReadsTheKernelThroughChsWhenTheFirmwareHidesTheExtensions) {
    std::string missing = boot::MissingForFirmware(GetParam());
    if (!missing.empty()) GTEST_SKIP() << missing;
    MakeStickBootable(boot::TestKernelFile());
    const std::uint32_t hidden = Little32(ImageBytes("stick1", 0, 512), tpl::kMbrEntry0FirstSector);
    auto bootSector = ImageBytes("stick1", std::uint64_t{hidden} * 512, 512);
    ASSERT_EQ(Little16(bootSector, tpl::kHeadCount), 16);
    ASSERT_EQ(Little16(bootSector, tpl::kSectorsPerTrack), 32);

    larkin::test::TempFolder folder;
    std::vector<std::string> args = boot::ChsShimFloppy(folder.path());
    for (std::string& arg : boot::HardDiskWithGeometry(DiskImage("stick1"), 122, 16, 32))
        args.push_back(std::move(arg));
    boot::Qemu qemu(args, GetParam());
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_LT(console.find("SHIM EXTENSIONS HIDDEN BEYOND SEGMENT 0"), console.find("FreeDOS"))
        << console;
    ExpectTestKernelLoaded(qemu);
    // The kernel found no extensions; the loader asked the same and was
    // refused too, while the MBR (in segment 0) had its check and its one
    // extended read; the loader read through CHS.
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "NO");
    auto shim = qemu.Line("KERNEL SHIM");
    ASSERT_TRUE(shim.has_value()) << console;
    EXPECT_EQ(boot::Field(*shim, "PASSED"), "0002") << *shim;
    EXPECT_EQ(boot::Field(*shim, "REFUSED"), "0002") << *shim;
    EXPECT_NE(boot::Field(*shim, "CHSREADS").value_or("0000"), "0000") << *shim;
}

INSTANTIATE_TEST_SUITE_P(Firmware, TesselChsBoot, ::testing::ValuesIn(boot::kAllFirmware),
                         [](const auto& info) { return boot::FirmwareName(info.param); });

TEST(TesselExportsOnly, ACProgramMakesAStickOfAnotherMachineBootable) {
    if (!larkin::test::HaveProgram("qemu-system-i386"))
        GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    using larkin::test::Quoted;
    larkin::test::TempFolder folder;
    const std::filesystem::path state = folder.path() / "other.state";
    std::ofstream(folder.path() / "other.toml")
        << larkin::test::MachineText("engine-hub-two-sticks");
    std::filesystem::create_directories(state);
    ASSERT_TRUE(
        boot::RunOk({"mkfs.fat", "-C", "-F", "12", (state / "floppy.img").string(), "1440"}));
    ASSERT_TRUE(boot::CopyIn(state / "floppy.img", 0, DemoKernel(), "KERNEL.SYS"));
    // LSAN_OPTIONS: GCC 12's LeakSanitizer crashes at the exit of a program
    // whose libraries with thread-local storage (libudev, libblkid under the
    // platform) came in through dlopen; this program's leaks are not what
    // is tested here.
    auto run = larkin::test::RunCommand(
        "cd " + Quoted(folder.path().string()) + " && LSAN_OPTIONS=detect_leaks=0 LARKIN_MACHINE=" +
        Quoted((folder.path() / "other.toml").string()) + " " +
        Quoted((boot::BinDir() / "make_bootable_stick").string()) + " K: A:");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("[K: Transcend JetFlash USB Device]"));
    EXPECT_THAT(run.output, HasSubstr("....Done\nstatus 0"));

    boot::Qemu qemu({"-drive", "file=" + (state / "second.img").string() + ",format=raw,if=ide"});
    ASSERT_TRUE(qemu.WaitFor("Press any key to restart.", 1, std::chrono::seconds(10)))
        << qemu.console();
    EXPECT_THAT(qemu.console(), HasSubstr(kDemoStarted));
    std::ifstream first(state / "first.img", std::ios::binary);
    first.seekg(2048 * 512 + 43);
    char label[12] = {};
    first.read(label, 11);
    EXPECT_STRNE(label, "FREEDOS    ") << "the first stick was written";
}

}  // namespace
}  // namespace tessel::test
