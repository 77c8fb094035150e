// Sticks made bootable by the flow, booted in QEMU under SeaBIOS and under
// the Bochs BIOS: the loader chain reaches our test kernel through LBA on
// drives of 4,000,000,000 and 32,000,000 bytes, and through CHS when the
// firmware keeps the INT 13h extensions from the partition's loader; the
// demo machine's first stick starts the demo kernel; and a stick of a
// machine file written here, made by a C program that knows only the
// exported names, starts it too.
#include <cstdlib>
#include <fstream>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "stick_machines.h"
#include "templates/boot_patch.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;
using boot::Firmware;

bool HaveQemu() {
    return boot::HaveProgram("qemu-system-i386");
}

StickLayout Sized(std::uint64_t bytes, std::uint32_t sectorsPerTrack, std::uint32_t heads) {
    StickLayout stick;
    stick.bytes = bytes;
    stick.sectorsPerTrack = sectorsPerTrack;
    stick.heads = heads;
    return stick;
}

// Makes the machine's stick1 (E:) bootable from a floppy carrying kernel as
// KERNEL.SYS; only that stick may be written.
void MakeStickBootable(const std::filesystem::path& kernel, int sticks) {
    ASSERT_TRUE(PutOnFloppy(kernel, "KERNEL.SYS"));
    ASSERT_EQ(GetUSBDevCount(), sticks);
    larkin::sim::ClearJournal();
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

struct StickBoot {
    StickLayout stick;
    Firmware firmware;
};

class TesselBootableStick : public EngineTest, public ::testing::WithParamInterface<StickBoot> {
  protected:
    TesselBootableStick() : EngineTest(StickMachine({GetParam().stick})) {}
};

TEST_P(TesselBootableStick, StartsTheKernelFromTheFloppyThroughLba) {
    std::string missing = boot::MissingForFirmware(GetParam().firmware);
    if (!missing.empty()) GTEST_SKIP() << missing;
    MakeStickBootable(boot::TestKernelFile(), 1);
    boot::Qemu qemu({"-drive", "file=" + DiskImage("stick1").string() + ",format=raw,if=ide"},
                    GetParam().firmware);
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "YES");
    ExpectTestKernelLoaded(qemu);
}

std::vector<StickBoot> LbaBoots() {
    std::vector<StickBoot> boots;
    for (Firmware firmware : boot::kAllFirmware)
        for (const StickLayout& stick : {Sized(4'000'000'000, 63, 255), Sized(32'000'000, 32, 64)})
            boots.push_back({stick, firmware});
    return boots;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TesselBootableStick, ::testing::ValuesIn(LbaBoots()),
                         [](const auto& info) {
                             return std::to_string(info.param.stick.bytes) + "_" +
                                    boot::FirmwareName(info.param.firmware);
                         });

// The sectors the FAT16 loader reads for KERNEL.SYS: the root directory,
// a FAT sector each time the chain moves to another one, and every sector
// of every cluster.
int LoaderReads(std::string_view disk, std::uint32_t hidden) {
    namespace tpl = larkin::templates;
    auto bootSector = ImageBytes(disk, std::uint64_t{hidden} * 512, 512);
    const std::uint32_t rootSectors = Little16(bootSector, tpl::kRootDirSectors);
    const std::uint32_t fatStart = Little32(bootSector, tpl::kFirstFatSector);
    auto root = ImageBytes(disk, std::uint64_t{Little32(bootSector, tpl::kFirstRootSector)} * 512,
                           std::uint64_t{rootSectors} * 512);
    std::uint32_t cluster = 0;
    for (std::size_t entry = 0; entry + 32 <= root.size(); entry += 32)
        if (std::string(root.begin() + entry, root.begin() + entry + 11) == "KERNEL  SYS")
            cluster = Little16(root, entry + 26);
    EXPECT_GE(cluster, 2u) << "no KERNEL.SYS in the root directory";
    int reads = static_cast<int>(rootSectors);
    std::int64_t fatSector = -1;
    while (cluster >= 2 && cluster < 0xFFF8) {
        reads += bootSector[tpl::kSectorsPerCluster];
        if (cluster * 2 / 512 != fatSector) {
            fatSector = cluster * 2 / 512;
            ++reads;
        }
        cluster =
            Little16(ImageBytes(disk, (fatStart + fatSector) * 512 + cluster * 2 % 512, 2), 0);
    }
    return reads;
}

class TesselChsBoot : public EngineTest, public ::testing::WithParamInterface<Firmware> {
  protected:
    // 32,000,000 bytes with 32 sectors per track and 16 heads, the most an
    // ATA drive reports: 122 whole cylinders, the partition well within
    // cylinder 1023 and the firmware's CHS the same as the volume's.
    static constexpr std::uint32_t kHeads = 16;
    static constexpr std::uint32_t kSectorsPerTrack = 32;
    static constexpr std::uint64_t kBytes = 32'000'000;
    TesselChsBoot() : EngineTest(StickMachine({Sized(kBytes, kSectorsPerTrack, kHeads)})) {}
};

TEST_P(TesselChsBoot, LoaderReadsTheKernelThroughChsWhenTheFirmwareHidesTheExtensions) {
    std::string missing = boot::MissingForFirmware(GetParam());
    if (!missing.empty()) GTEST_SKIP() << missing;
    MakeStickBootable(boot::TestKernelFile(), 1);

    namespace tpl = larkin::templates;
    auto mbr = ImageBytes("stick1", 0, 512);
    const std::uint32_t hidden = Little32(mbr, tpl::kMbrEntry0FirstSector);
    const std::uint32_t sectors = Little32(mbr, tpl::kMbrEntry0SectorCount);
    const std::uint32_t cylinders =
        static_cast<std::uint32_t>(kBytes / 512 / (kHeads * kSectorsPerTrack));
    ASSERT_LE((hidden + sectors - 1) / (kHeads * kSectorsPerTrack), 1023u);
    auto bootSector = ImageBytes("stick1", std::uint64_t{hidden} * 512, 512);
    ASSERT_EQ(Little16(bootSector, tpl::kHeadCount), kHeads);
    ASSERT_EQ(Little16(bootSector, tpl::kSectorsPerTrack), kSectorsPerTrack);

    larkin::test::TempFolder folder;
    std::vector<std::string> args = boot::ChsShimFloppy(folder.path());
    for (std::string& arg :
         boot::HardDiskWithGeometry(DiskImage("stick1"), cylinders, kHeads, kSectorsPerTrack))
        args.push_back(std::move(arg));
    boot::Qemu qemu(args, GetParam());
    ASSERT_TRUE(qemu.WaitFor("KERNEL DONE", 1, std::chrono::seconds(10))) << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_LT(console.find("SHIM EXTENSIONS HIDDEN BEYOND SEGMENT 0"), console.find("FreeDOS"))
        << console;
    ExpectTestKernelLoaded(qemu);
    // The kernel found no extensions; the loader asked the same and was
    // refused too, while the MBR (in segment 0) had its check and its one
    // extended read. Every sector the loader read was a CHS read.
    EXPECT_EQ(qemu.Line("KERNEL LBA="), "NO");
    auto shim = qemu.Line("KERNEL SHIM");
    ASSERT_TRUE(shim.has_value()) << console;
    EXPECT_EQ(boot::Field(*shim, "PASSED"), "0002") << *shim;
    EXPECT_EQ(boot::Field(*shim, "REFUSED"), "0002") << *shim;
    char reads[9];  // any 32-bit count in hex
    std::snprintf(reads, sizeof reads, "%04X", LoaderReads("stick1", hidden));
    EXPECT_EQ(boot::Field(*shim, "CHSREADS"), reads) << *shim;
}

INSTANTIATE_TEST_SUITE_P(Firmware, TesselChsBoot, ::testing::ValuesIn(boot::kAllFirmware),
                         [](const auto& info) { return boot::FirmwareName(info.param); });

// The demo machine as scripts/demo runs it, with its pauses recorded only:
// its first stick (128 MiB, FAT16 already) made bootable from the floppy
// with the demo KERNEL.SYS, then booted.
std::string DemoMachine() {
    std::ifstream file(TESSEL_DEMO_MACHINE);
    std::string toml(std::istreambuf_iterator<char>(file), {});
    std::size_t at = toml.find("time_scale = ");
    if (at != std::string::npos) toml.replace(at, toml.find('\n', at) - at, "time_scale = 0");
    return toml;
}

class TesselDemoStick : public EngineTest, public ::testing::WithParamInterface<Firmware> {
  protected:
    TesselDemoStick() : EngineTest(DemoMachine()) {}
};

TEST_P(TesselDemoStick, StartsTheDemoKernel) {
    std::string missing = boot::MissingForFirmware(GetParam());
    if (!missing.empty()) GTEST_SKIP() << missing;
    MakeStickBootable(boot::BinDir() / "File_Images" / "LarkinDemo" / "KERNEL.SYS", 2);
    boot::Qemu qemu({"-drive", "file=" + DiskImage("stick1").string() + ",format=raw,if=ide"},
                    GetParam());
    ASSERT_TRUE(qemu.WaitFor("Press any key to restart.", 1, std::chrono::seconds(10)))
        << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_THAT(console,
                ::testing::HasSubstr("This computer has started from a USB drive made by Larkin."));
    EXPECT_THAT(console, ::testing::HasSubstr("Boot drive:    80h"));
    EXPECT_THAT(console, ::testing::HasSubstr("Disk services: LBA extensions present"));
    // A key restarts through INT 19h. Not under the Bochs BIOS: the serial
    // adapter ROM there (sgabios) waits for keys only when asked through
    // AH=01h, and it keeps its screen log in the top KB of base memory, where
    // this BIOS keeps its boot device table.
    if (GetParam() == Firmware::bochs) return;
    const int booted = qemu.Count("Booting from Hard Disk");
    qemu.SendKey(' ');
    EXPECT_TRUE(qemu.WaitFor("Booting from Hard Disk", booted + 1, std::chrono::seconds(5)))
        << qemu.console();
}

INSTANTIATE_TEST_SUITE_P(Firmware, TesselDemoStick, ::testing::ValuesIn(boot::kAllFirmware),
                         [](const auto& info) { return boot::FirmwareName(info.param); });

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
    // LSAN_OPTIONS: GCC 12's LeakSanitizer crashes at the exit of a program
    // whose libraries with thread-local storage (libudev, libblkid under the
    // platform) came in through dlopen; this program's leaks are not what
    // is tested here.
    std::string command =
        "cd '" + folder.path().string() + "' && LSAN_OPTIONS=detect_leaks=0 LARKIN_MACHINE='" +
        (folder.path() / "other.toml").string() + "' '" +
        (boot::BinDir() / "make_bootable_stick").string() + "' K: A: >out.txt 2>&1";
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
