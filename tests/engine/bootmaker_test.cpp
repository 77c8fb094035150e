// The make-bootable flow on simulated sticks: what it writes where, its
// messages and results, and the ways it refuses.
#include <cstring>
#include <fstream>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "stick_machines.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"

namespace tessel::test {
namespace {

namespace tpl = larkin::templates;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// One stick at E: (disk 1) and a bystander at F: (disk 2) holding a file.
class TesselCreateUSBBoot : public EngineTest {
  protected:
    explicit TesselCreateUSBBoot(StickLayout stick = {}, std::string_view moreMachine = {})
        : EngineTest(StickMachine({stick, Bystander()}) + std::string(moreMachine)), stick_(stick) {
        EXPECT_TRUE(PutOnFloppy(larkin::test::boot::TestKernelFile(), "KERNEL.SYS"));
        EXPECT_EQ(GetUSBDevCount(), 2);
        larkin::sim::ClearJournal();
        larkin::sim::ClearPauses();
    }

    static StickLayout Bystander() {
        StickLayout other;
        other.format = "FAT16";
        other.id = "stick2";
        other.friendlyName = "Kingston DataTraveler 2.0 USB Device";
        other.letter = "F:";
        other.sectorsPerTrack = 32;
        other.heads = 64;
        return other;
    }

    int Run(const char* destination, const char* source, int copyFiles, std::string* output) {
        int result = -1;
        *output = CapturedOutput([&] { result = CreateUSBBoot(destination, source, copyFiles); });
        return result;
    }

    // What every finished run leaves: the MBR template with the entry for
    // the drive, the FreeDOS sector with the formatted volume's parameters,
    // a clean FAT16 file system, and nothing written on another disk.
    void ExpectBootableStick(std::uint32_t hidden, std::uint32_t sectors) {
        std::vector<std::uint8_t> mbr = ImageBytes(stick_.id, 0, 512);
        EXPECT_TRUE(std::equal(mbr.begin(), mbr.begin() + 446, tpl::kMbrTemplate.begin()))
            << "boot code and disk signature";
        EXPECT_EQ(mbr[446], 0x80);
        EXPECT_EQ(mbr[450], 0x0E);
        EXPECT_EQ(Little32(mbr, 454), hidden);
        EXPECT_EQ(Little32(mbr, 458), sectors);
        EXPECT_EQ(Little32(mbr, 462) | Little32(mbr, 478) | Little32(mbr, 494), 0u);
        EXPECT_EQ(mbr[510], 0x55);
        EXPECT_EQ(mbr[511], 0xAA);

        std::vector<std::uint8_t> boot = ImageBytes(stick_.id, hidden * 512ull, 512);
        EXPECT_TRUE(std::equal(boot.begin(), boot.begin() + 11, tpl::kFreeDosBootSector.begin()))
            << "jump and OEM name";
        EXPECT_TRUE(std::equal(boot.begin() + 78, boot.end(), tpl::kFreeDosBootSector.begin() + 78))
            << "boot code and kernel name";
        EXPECT_EQ(Little16(boot, 11), 512);
        EXPECT_EQ(Little32(boot, 28), hidden);
        if (sectors < 65536) {
            EXPECT_EQ(Little16(boot, 19), sectors);
            EXPECT_EQ(Little32(boot, 32), 0u);
        } else {
            EXPECT_EQ(Little16(boot, 19), 0);
            EXPECT_EQ(Little32(boot, 32), sectors);
        }
        EXPECT_EQ(boot[36], 0x80);
        EXPECT_EQ(boot[38], 0x29);
        EXPECT_EQ(std::string(boot.begin() + 43, boot.begin() + 54), "FREEDOS    ");
        EXPECT_EQ(std::string(boot.begin() + 54, boot.begin() + 62), "FAT16   ");
        EXPECT_EQ(Little16(boot, 24), stick_.sectorsPerTrack) << "format's geometry kept";
        EXPECT_EQ(Little16(boot, 62), 0x0060);
        std::uint32_t reserved = Little16(boot, 14);
        std::uint32_t firstFat = reserved + hidden;
        std::uint32_t firstRoot = firstFat + boot[16] * Little16(boot, 22);
        std::uint32_t rootSectors = Little16(boot, 17) / (512 / 32);
        EXPECT_EQ(Little16(boot, 64), rootSectors);
        EXPECT_EQ(Little32(boot, 66), firstFat);
        EXPECT_EQ(Little32(boot, 70), firstRoot);
        EXPECT_EQ(Little32(boot, 74), firstRoot + rootSectors);

        std::string fsck;
        EXPECT_EQ(CheckPartition(stick_.id, hidden, sectors, &fsck), 0) << fsck;
        EXPECT_THAT(WrittenDisks(), ElementsAre(stick_.id));
        EXPECT_TRUE(VolumeLockable(stick_.letter.c_str())) << "nothing holds the volume";
    }

    StickLayout stick_;
};

TEST_F(TesselCreateUSBBoot, MakesTheStickBootableAndCopiesTheFloppy) {
    std::string output;
    ASSERT_EQ(Run("E:", "A:", 1, &output), ATA_OK) << output;
    // format's and copy's own consoles write to the same output.
    EXPECT_THAT(output, ::testing::ContainsRegex("\n Copying Boot Files.....\n(.|\n)*"
                                                 "copied.\n....Done\n$"));
    const std::uint32_t sectors = 20 * 1024 * 1024 / 512 - 63;
    ExpectBootableStick(63, sectors);
    // The kernel is in the root.
    auto run = larkin::test::boot::Run(
        {"mdir", "-b", "-i", larkin::test::boot::MtoolsImage(DiskImage("stick1"), 63), "::"});
    EXPECT_THAT(run.output, HasSubstr("KERNEL.SYS"));
    // The format's Enter and the console pauses were asked for, not waited.
    EXPECT_FALSE(larkin::sim::Pauses().empty());
}

TEST_F(TesselCreateUSBBoot, WithoutCopyNoCopyLinesAndTheSourceIsNeverRead) {
    std::string output;
    ASSERT_EQ(Run("e:", nullptr, 0, &output), ATA_OK) << output;
    EXPECT_THAT(output, Not(HasSubstr("Copying")));
    EXPECT_THAT(output, Not(HasSubstr("copied")));
    EXPECT_THAT(output, Not(HasSubstr("Done")));
    ExpectBootableStick(63, 20 * 1024 * 1024 / 512 - 63);
}

TEST_F(TesselCreateUSBBoot, RefusesMissingTextsAndUnknownLetters) {
    std::string output;
    EXPECT_EQ(Run(nullptr, "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, "\n Please provide valid Destination Drive Letter (e.g. A:, C:, E: etc)\n");
    EXPECT_EQ(Run(nullptr, nullptr, 0, &output), ATA_ERROR);
    EXPECT_EQ(output, "\n Please provide valid Destination Drive Letter (e.g. A:, C:, E: etc)\n");
    EXPECT_EQ(Run("E:", nullptr, 1, &output), ATA_ERROR);
    EXPECT_EQ(output,
              "\n Please provide valid Source Drive Letter (e.g. A:, C:, E: etc) to copy files "
              "from \n");
    // A source too long for the command line is refused, not cut.
    EXPECT_EQ(Run("E:", "C:\\a\\very\\long\\folder\\name\\for\\the\\files", 1, &output), ATA_ERROR);
    EXPECT_THAT(output, HasSubstr("valid Source Drive Letter"));
    EXPECT_EQ(Run("G:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, "\n Drive letter not found\n");
    EXPECT_EQ(Run("C:", "A:", 1, &output), ATA_ERROR) << "the system disk is not listed";
    EXPECT_EQ(output, "\n Drive letter not found\n");
    CurrentTable.count = 0;
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, "\n Drive letter not found\n");
    EXPECT_TRUE(WrittenDisks().empty());
}

TEST_F(TesselCreateUSBBoot, ARowOfSeveralLettersIsFoundByEachOfThem) {
    // The letters of a drive with two volumes, as Verran lists them.
    std::strcpy(CurrentTable.rows[0].mountInfo, "E:;G:");
    std::string output;
    EXPECT_EQ(Run("E:;G:", "A:", 1, &output), ATA_ERROR) << "not one drive letter";
    EXPECT_EQ(output, "\n Drive letter not found\n");
    EXPECT_TRUE(WrittenDisks().empty());
    ASSERT_EQ(Run("e:", "A:", 1, &output), ATA_OK) << output;
    ExpectBootableStick(63, 20 * 1024 * 1024 / 512 - 63);
}

TEST_F(TesselCreateUSBBoot, AStickChangedSinceTheScanIsNotWritten) {
    std::string output;
    // Removed between the scan and the open.
    ASSERT_TRUE(larkin::sim::Plug("stick1", false));
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, "");
    ASSERT_TRUE(larkin::sim::Plug("stick1", true));
    // The letters moved since the scan: the row's path is stick1, but F:
    // is the bystander's volume now.
    ASSERT_EQ(GetUSBDevCount(), 2);
    std::strcpy(CurrentTable.rows[0].mountInfo, "F:");
    std::strcpy(CurrentTable.rows[1].mountInfo, "E:");
    EXPECT_EQ(Run("F:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, std::string(kDriveChangedLine) + "\n");
    // Same path and letter, another model in the port.
    ASSERT_EQ(GetUSBDevCount(), 2);
    std::strcpy(CurrentTable.rows[0].friendlyName, "Other Stick USB Device");
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, std::string(kDriveChangedLine) + "\n");
    EXPECT_TRUE(WrittenDisks().empty());
}

TEST_F(TesselCreateUSBBoot, AVolumeHeldByAnotherProgramIsRefusedBeforeAnyWrite) {
    HANDLE holder =
        CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(holder, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    std::string output;
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_EQ(output, "\n Unable to Lock volume\n");
    CloseHandle(holder);
    EXPECT_TRUE(WrittenDisks().empty());
}

TEST_F(TesselCreateUSBBoot, AFloppyWithoutFilesFailsTheCopy) {
    // An empty floppy: nothing to copy.
    ASSERT_EQ(
        larkin::test::boot::Run({"mdel", "-i", FloppyImage().string(), "::KERNEL.SYS"}).exit_code,
        0);
    std::string output;
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_THAT(output, EndsWith("        0 file(s) copied.\n\n Unable to copy the Boot Files\n"));
    EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
}

// format is refused E: for writing: the third open of E: fails in every
// process of the machine, which in format's is the one it formats through
// (the engine's third comes after format).
class TesselCreateUSBBootFailingFormat : public TesselCreateUSBBoot {
  protected:
    TesselCreateUSBBootFailingFormat()
        : TesselCreateUSBBoot({},
                              "[[fault]]\ncall = \"CreateFileA\"\ndevice = \"E:\"\n"
                              "skip = 2\ncount = 1\nerror = 5\n") {}
};

TEST_F(TesselCreateUSBBootFailingFormat, StopsAtFormatWithALine) {
    std::string output;
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_THAT(output, HasSubstr("Format failed.\n"));
    EXPECT_THAT(output, EndsWith("\n Unable to format the Destination Drive\n"));
    EXPECT_THAT(output, Not(HasSubstr("Copying")));
}

// The smallest stick that format makes FAT16, and a bystander at F: whose
// files do not fit on it.
class TesselCreateUSBBootSmallStick : public TesselCreateUSBBoot {
  protected:
    TesselCreateUSBBootSmallStick() : TesselCreateUSBBoot(Stick()) {}
    static StickLayout Stick() {
        StickLayout stick;
        stick.bytes = 33'204 * 512;
        return stick;
    }
};

TEST_F(TesselCreateUSBBootSmallStick, SourceFilesWithoutRoomFailTheCopy) {
    larkin::test::TempFolder folder;
    std::filesystem::path big = folder.path() / "BIG.BIN";
    std::ofstream(big, std::ios::binary) << std::string(17 * 1024 * 1024, 'x');
    ASSERT_TRUE(larkin::test::boot::CopyIn(DiskImage("stick2"), 32, big, "BIG.BIN"));
    std::string output;
    EXPECT_EQ(Run("E:", "F:", 1, &output), ATA_ERROR);
    EXPECT_THAT(output, EndsWith("        0 file(s) copied.\n\n Unable to copy the Boot Files\n"));
    EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
}

// A stick that format makes FAT12 cannot start the FAT16 loader: refused
// rather than reported bootable.
class TesselCreateUSBBootFat12Stick : public TesselCreateUSBBoot {
  protected:
    TesselCreateUSBBootFat12Stick() : TesselCreateUSBBoot(Stick()) {}
    static StickLayout Stick() {
        StickLayout stick;
        stick.bytes = 8 * 1024 * 1024;
        return stick;
    }
};

TEST_F(TesselCreateUSBBootFat12Stick, IsRefusedAtTheBootSector) {
    std::string output;
    EXPECT_EQ(Run("E:", "A:", 1, &output), ATA_ERROR);
    EXPECT_THAT(output, EndsWith("\n Formatted boot sector refused: FAT12, and the boot sector "
                                 "loads from FAT16 only\n"));
    EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
}

// The two drive sizes the limits of the flow turn on.
class TesselCreateUSBBootFourGigabytes : public TesselCreateUSBBoot {
  protected:
    TesselCreateUSBBootFourGigabytes() : TesselCreateUSBBoot(Stick()) {}
    static StickLayout Stick() {
        StickLayout stick;
        stick.bytes = 4'000'000'000;
        return stick;
    }
};

TEST_F(TesselCreateUSBBootFourGigabytes, CutsThePartitionToTwoBillionBytes) {
    std::string output;
    ASSERT_EQ(Run("E:", "A:", 1, &output), ATA_OK) << output;
    ExpectBootableStick(63, 3'906'250);
}

class TesselCreateUSBBootThirtyTwoMegabytes : public TesselCreateUSBBoot {
  protected:
    TesselCreateUSBBootThirtyTwoMegabytes() : TesselCreateUSBBoot(Stick()) {}
    static StickLayout Stick() {
        StickLayout stick;
        stick.bytes = 32'000'000;
        stick.sectorsPerTrack = 32;
        stick.heads = 64;
        return stick;
    }
};

TEST_F(TesselCreateUSBBootThirtyTwoMegabytes, KeepsTheSixteenBitCount) {
    std::string output;
    ASSERT_EQ(Run("E:", "A:", 1, &output), ATA_OK) << output;
    ExpectBootableStick(32, 62'468);
}

}  // namespace
}  // namespace tessel::test
