// The make-bootable flow's refusals and failures on simulated sticks, and
// sticks it made booted in QEMU under both BIOSes through LBA and through CHS
// (what it writes on success: those boots and larkin-cli's verify).
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "templates/boot_patch.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;
namespace tpl = larkin::templates;
using ::testing::EndsWith;

// A floppy A: holding the test kernel.
class TesselCreateUSBBoot : public EngineTest {
  protected:
    TesselCreateUSBBoot() { Start(larkin::test::MachineText("engine-stick-e-and-kingston-f")); }

    void Start(const std::string& toml, bool kernel = true, int sticks = 2) {
        Restart(toml);
        const auto floppy = std::filesystem::path(larkin::sim::StateDirectory()) / "floppy.img";
        EXPECT_TRUE(!kernel || boot::CopyIn(floppy, 0, boot::TestKernelFile(), "KERNEL.SYS"));
        EXPECT_EQ(GetUSBDevCount(), sticks);
    }

    int Run(const char* destination, const char* source, int copyFiles = 1) {
        int result = -1;
        output_ = CapturedOutput([&] { result = CreateUSBBoot(destination, source, copyFiles); });
        return result;
    }

    std::string output_;
};

// Without copy no source is needed, and a source given is not copied from;
// the drive is the named one, listed second.
TEST_F(TesselCreateUSBBoot, WithoutCopyNeitherSourceNorCopyLines) {
    for (const char* source : {static_cast<const char*>(nullptr), "A:"}) {
        ASSERT_EQ(Run("f:", source, 0), ATA_OK) << output_;
        EXPECT_THAT(output_, ::testing::Not(::testing::ContainsRegex("Copying|copied|Done")));
    }
}

TEST_F(TesselCreateUSBBoot, RefusesMissingTextsUnknownLettersAndChangedOrGoneDrivesUnwritten) {
    const std::string noDestination =
        "\n Please provide valid Destination Drive Letter (e.g. A:, C:, E: etc)\n";
    const std::string notFound = "\n Drive letter not found\n";
    const std::string changed = std::string(kDriveChangedLine) + "\n";
    const std::string noSource =
        "\n Please provide valid Source Drive Letter (e.g. A:, C:, E: etc) to copy files from \n";
    auto rescan = [] { ASSERT_EQ(GetUSBDevCount(), 2); };
    // clang-format off
    for (const auto& [destination, source, prepare, output] : std::initializer_list<
             std::tuple<const char*, const char*, std::function<void()>, std::string>>{
             {nullptr, "A:", {}, noDestination},
             {nullptr, nullptr, {}, noDestination},
             {"E:", nullptr, {}, noSource},
             // A source too long for the command line is refused, not cut.
             {"E:", "C:\\a\\very\\long\\folder\\name\\for\\the\\files", {}, noSource},
             {"G:", "A:", {}, notFound},
             // Not one drive letter.
             {"E:;G:", "A:", [] { std::strcpy(CurrentTable.rows[0].mountInfo, "E:;G:"); }, notFound},
             // A drive's second letter finds its row (here a volume gone since:
             // format could not have it, as one another program holds).
             {"G:", "A:", [] { std::strcpy(CurrentTable.rows[0].mountInfo, "E:;G:"); }, "\n Unable to Lock volume\n"},
             {"C:", "A:", {}, notFound},  // the system disk is not listed
             {"E:", "A:", [] { CurrentTable.count = 0; }, notFound},
             // Removed between the scan and the open.
             {"E:", "A:", [&] { rescan(); ASSERT_TRUE(larkin::sim::Plug("stick1", false)); }, ""},
             // The letters moved since the scan: the row's path is stick1's,
             // but F: is the bystander's volume now.
             {"F:", "A:", [&] {
                  ASSERT_TRUE(larkin::sim::Plug("stick1", true));
                  rescan();
                  std::strcpy(CurrentTable.rows[0].mountInfo, "F:");
                  std::strcpy(CurrentTable.rows[1].mountInfo, "E:");
              }, changed},
             // Same path and letter, another model in the port.
             {"E:", "A:", [&] { rescan(); std::strcpy(CurrentTable.rows[0].friendlyName, "Other Stick USB Device"); }, changed},
         }) {
        // clang-format on
        if (prepare) prepare();
        EXPECT_EQ(Run(destination, source), ATA_ERROR) << output;
        EXPECT_EQ(output_, output);
    }
    EXPECT_TRUE(WrittenDisks().empty());
}

// Failures once the drive was written: a floppy without files, format
// refused E: for writing (the third open of E: fails in every process of
// the machine, which in format's is the one it formats through; the
// engine's third comes after format), and a stick that format makes FAT12,
// which the FAT16 loader cannot start: refused rather than called bootable.
TEST_F(TesselCreateUSBBoot, FailsAfterTheDriveWasWrittenWithALine) {
    const std::string copyFailed = "        0 file(s) copied.\n\n Unable to copy the Boot Files\n";
    const std::string refusedE =
        "[[fault]]\ncall = \"CreateFileA\"\ndevice = \"E:\"\nskip = 2\ncount = 1\nerror = 5\n";
    // clang-format off
    for (const auto& [sticks, machine, kernel, ending] :
         std::initializer_list<std::tuple<const char*, std::string, bool, std::string>>{
             {"engine-stick-e-and-kingston-f", "", false, copyFailed},
             {"engine-stick-e-and-kingston-f", refusedE, true, "Format failed.\n\n Unable to format the Destination Drive\n"},
             {"engine-8mib-stick-e-and-kingston-f", "", true,
              "\n Formatted boot sector refused: FAT12, and the boot sector loads from FAT16 only\n"}}) {
        // clang-format on
        SCOPED_TRACE(ending);
        Start(larkin::test::MachineText(sticks) + machine, kernel);
        EXPECT_EQ(Run("E:", "A:"), ATA_ERROR);
        EXPECT_THAT(output_, EndsWith(ending));
        EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
    }
}

TEST_F(TesselCreateUSBBoot, EveryCallFailingInTurnEndsWithAFailureLineAndWritesOnlyTheDrive) {
    Start(larkin::test::MachineText("engine-formatted-sticks-e-and-f"));
    const DeviceTable listed = CurrentTable;
    const auto saved = ReadFile(DiskImage("stick1"));
    int status = -1;
    auto prepare = [&] {
        PutBack("stick1", saved, 1);
        CurrentTable = listed;
        larkin::controls::ClearJournal();
    };
    auto op = [&] { status = Run("E:", "A:"); };
    prepare();
    op();
    ASSERT_EQ(status, ATA_OK) << output_;

    // The last lines the flow gives for its steps ("": the drive could not be opened).
    // clang-format off
    const std::set<std::string> failures{"", " CreateProcess failed.", " Unable to Lock volume",
        " Unable to UnLock volume", " ERROR Seeking Dest", " ERROR Writing to Dest",
        " Unable to pull drive Geometry information", " Unable to open Tessel.DLL",
        " Unable to read Boot Record", " Unable to format the Destination Drive",
        " Unable to copy the Boot Files", std::string(kDriveChangedLine).substr(1)};
    // clang-format on
    std::set<std::string> endings;
    int runs = FailEachCallInTurn(
        op,
        [&] {
            // The last line the engine itself wrote ("\n text" pairs), or "".
            const std::size_t at = output_.rfind("\n ") + 1;  // 0: none
            std::string last = at ? output_.substr(at, output_.find('\n', at) - at) : "";
            EXPECT_TRUE(status == ATA_OK
                            ? output_.ends_with("....Done\n")
                            : status == ATA_ERROR &&
                                  (failures.contains(last) ||
                                   last.starts_with(" Formatted boot sector refused: ")))
                << status << ", last line: " << last << "\n"
                << output_;
            endings.insert(status == ATA_OK ? "ok" : last);
            for (const auto& entry : larkin::controls::Journal()) EXPECT_EQ(entry.disk, "stick1");
        },
        prepare);
    EXPECT_GT(runs, 50);
    // The faults reach most of the flow's failure exits.
    EXPECT_GE(endings.size(), 6u);
}

class TesselBootableStick : public TesselCreateUSBBoot,
                            public ::testing::WithParamInterface<boot::Firmware> {};

TEST_P(TesselBootableStick, StartsTheKernelFromTheFloppyThroughLbaAndThroughChs) {
    std::string missing = boot::MissingForFirmware(GetParam());
    if (!missing.empty()) GTEST_SKIP() << missing;
    // 32,000,000 bytes with 32 sectors per track and 16 heads, the most an
    // ATA drive reports: 122 whole cylinders, the partition well within
    // cylinder 1023 and the firmware's CHS the same as the volume's.
    for (bool chs : {false, true}) {
        SCOPED_TRACE(chs ? "CHS" : "LBA");
        Start(chs ? StickMachine(32'000'000, 32, 16) : StickMachine(4'000'000'000), true, 1);
        ASSERT_EQ(Run("E:", "A:"), ATA_OK) << output_;
        EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
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
        EXPECT_THAT(console, ::testing::ContainsRegex(
                                 "ENTRY CS=0060 IP=.... AX=.... BX=..80 CX=.... DX=..80 "));
        EXPECT_THAT(console, HasSubstr("KERNEL IMAGE WHOLE")) << "the kernel as loaded";
        if (!chs) continue;
        // The loader asked for the extensions and was refused, while the MBR
        // (in segment 0) had its check and its one extended read; the loader
        // read through CHS.
        EXPECT_NE(qemu.Line("KERNEL SHIM PASSED=0002 REFUSED=0001 CHSREADS=").value_or("0000"),
                  "0000")
            << console;
    }
}

INSTANTIATE_TEST_SUITE_P(Firmware, TesselBootableStick, ::testing::ValuesIn(boot::kAllFirmware),
                         [](const auto& info) { return boot::FirmwareName(info.param); });

}  // namespace
}  // namespace tessel::test
