// The make-bootable flow's refusals and failures on simulated sticks (what
// it writes on success: the QEMU boots and larkin-cli's verify).
#include <cstring>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"

namespace tessel::test {
namespace {

namespace boot = larkin::test::boot;
using ::testing::EndsWith;

// A floppy A: holding the test kernel.
class TesselCreateUSBBoot : public EngineTest {
  protected:
    TesselCreateUSBBoot() { Start("engine-stick-e-and-kingston-f"); }

    void Start(const char* machine, const std::string& moreMachine = "", bool kernel = true) {
        Restart(larkin::test::MachineText(machine) + moreMachine);
        EXPECT_TRUE(!kernel || PutOnFloppy(boot::TestKernelFile(), "KERNEL.SYS"));
        EXPECT_EQ(GetUSBDevCount(), 2);
        controls::ClearJournal();
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
    struct Case {
        const char *destination, *source;
        std::function<void()> prepare;
        std::string output;
    };
    auto rescan = [] { ASSERT_EQ(GetUSBDevCount(), 2); };
    // clang-format off
    for (const Case& c : std::initializer_list<Case>{
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
        if (c.prepare) c.prepare();
        EXPECT_EQ(Run(c.destination, c.source), ATA_ERROR) << c.output;
        EXPECT_EQ(output_, c.output);
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
        Start(sticks, machine, kernel);
        EXPECT_EQ(Run("E:", "A:"), ATA_ERROR);
        EXPECT_THAT(output_, EndsWith(ending));
        EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
    }
}

}  // namespace
}  // namespace tessel::test
