// CopyUSBBootImage and CopyUSBMBRImage on simulated sticks, with the
// answers fed to the engine's standard input: the layout written, the round
// trip proven by the journal, the edge cases of the dialogue and the
// geometry, every refusal that must leave the drive untouched, and a drive
// pulled out during the copy.
#include <gmock/gmock.h>

#include <fstream>

#include "console/image_operations.h"
#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "console_test_support.h"
#include "larkin/owned.h"
#include "engine_test_support.h"
#include "larkin/simulation.h"
#include "stick_machines.h"

namespace tessel::test {
namespace {

using ::testing::HasSubstr;

constexpr std::uint64_t kPartitionSectors = 8288;
const std::string kDefaultImage = TESSEL_DEFAULT_IMAGE;

StickLayout Stick(std::uint64_t bytes, std::uint32_t spt, std::uint32_t heads,
                  std::string id = "stick1", std::string letter = "E:") {
    StickLayout stick;
    stick.id = std::move(id);
    stick.bytes = bytes;
    stick.sectorsPerTrack = spt;
    stick.heads = heads;
    stick.letter = std::move(letter);
    return stick;
}

StickLayout Bystander() {
    StickLayout stick = Stick(8 * 1024 * 1024, 32, 255, "stick2", "F:");
    stick.friendlyName = "Kingston DataTraveler 2.0 USB Device";
    return stick;
}

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Written {
    std::uint64_t offset;
    std::uint64_t length;
    bool operator==(const Written&) const = default;
};

// The byte writes to one disk, in order (the drive-layout rewrites apart).
std::vector<Written> ByteWrites(std::string_view disk) {
    std::vector<Written> writes;
    for (const auto& entry : larkin::sim::Journal())
        if (entry.disk == disk && entry.via == "WriteFile")
            writes.push_back({entry.offset, entry.length});
    return writes;
}

class ConsoleOperation : public EngineTest {
  protected:
    explicit ConsoleOperation(std::vector<StickLayout> sticks = {Stick(20 * 1024 * 1024, 63, 255),
                                                                 Bystander()})
        : EngineTest(StickMachine(sticks)) {
        larkin::sim::ClearJournal();
    }

    int Write(const std::string& answers, const char* image, const char* drive = "E:") {
        ScopedInput input(answers);
        int status = -1;
        output_ = CapturedOutput([&] { status = CopyUSBBootImage(saved_.c_str(), drive, image); });
        return status;
    }
    int Restore(const std::string& answers, const char* drive = "E:") {
        ScopedInput input(answers);
        int status = -1;
        output_ = CapturedOutput([&] { status = CopyUSBMBRImage(saved_.c_str(), drive); });
        return status;
    }
    std::filesystem::path MakeImage(std::size_t bytes, const char* name = "image.dat") {
        std::filesystem::path file = folder_.path() / name;
        std::vector<char> content(bytes);
        for (std::size_t i = 0; i < bytes; ++i) content[i] = static_cast<char>(i * 7 + 1);
        std::ofstream(file, std::ios::binary).write(content.data(), static_cast<long>(bytes));
        return file;
    }
    void ExpectNothingWritten() { EXPECT_TRUE(WrittenDisks().empty()) << output_; }

    larkin::test::TempFolder folder_;
    std::string saved_ = (folder_.path() / "saved.mbr").string();
    std::string output_;
};

TEST_F(ConsoleOperation, RoundTripLeavesSectorZeroAsItWasAndTouchesNothingElse) {
    auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    EXPECT_THAT(output_, HasSubstr("\n Using Apparent Geomerty\n"));
    EXPECT_TRUE(output_.ends_with("\n Copying Boot Files.........Done\n")) << output_;

    // Saved and described before the drive was written.
    EXPECT_EQ(FileBytes(saved_), original);
    console::SavedTableDescription description;
    ASSERT_EQ(console::ReadDescriptionFile(console::DescriptionPath(saved_), description),
              console::DescriptionRead::ok);
    EXPECT_EQ(description.sha256, console::Sha256Hex(original));
    EXPECT_EQ(description.friendlyName, "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(description.sizeBytes, 20u * 1024 * 1024);
    EXPECT_EQ(description.serial, "STICK1");

    // The layout: MBR entry, DOS boot sector one track in, the image behind.
    auto mbr = ImageBytes("stick1", 0, 512);
    EXPECT_EQ(mbr[450], 0x01);
    EXPECT_EQ(Little32(mbr, 454), 63u);
    EXPECT_EQ(Little32(mbr, 458), kPartitionSectors);
    auto boot = ImageBytes("stick1", 63 * 512, 512);
    EXPECT_EQ(Little16(boot, 19), kPartitionSectors);
    EXPECT_EQ(Little32(boot, 28), 63u);
    EXPECT_EQ(Little16(boot, 26), 255u);
    EXPECT_EQ(Little16(boot, 24), 32u) << "no known geometry on a drive below 256,000,000 bytes";
    auto image = FileBytes(kDefaultImage);
    EXPECT_EQ(ImageBytes("stick1", 64 * 512, image.size()), image);
    std::string fsck;
    EXPECT_EQ(CheckPartition("stick1", 63, kPartitionSectors, &fsck), 0) << fsck;
    EXPECT_THAT(WrittenDisks(), ::testing::ElementsAre("stick1"));

    larkin::sim::ClearJournal();
    ASSERT_EQ(Restore("y\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), original);
    auto entries = larkin::sim::Journal();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].disk, "stick1");
    EXPECT_EQ(entries[0].offset, 0u);
    EXPECT_EQ(entries[0].length, 512u);
}

class ThirtyTwoSectorStick : public ConsoleOperation {
  protected:
    ThirtyTwoSectorStick() : ConsoleOperation({Stick(20 * 1024 * 1024, 32, 255)}) {}
};

TEST_F(ThirtyTwoSectorStick, SixtyThreeEnteredPutsTheBootSectorAndImageOneTrackOfSixtyThreeIn) {
    auto image = MakeImage(300'000);
    ASSERT_EQ(Write("y\nabc\n64\n63\n", image.c_str()), ATA_OK) << output_;
    std::size_t asked = 0;
    for (std::size_t at = 0; (at = output_.find("Sectors Per Track", at)) != std::string::npos;
         ++at)
        ++asked;
    EXPECT_EQ(asked, 3u) << output_;
    EXPECT_THAT(output_,
                HasSubstr("\n Invalid number: enter 1 to 63, or 0 for the default values"));
    // Sector 0, the boot sector at 32,256, then the image from 32,768 in
    // chunks of 131,072, 131,072 and 37,856 (written as whole sectors).
    EXPECT_EQ(ByteWrites("stick1"), (std::vector<Written>{{0, 512},
                                                          {32256, 512},
                                                          {32768, 131072},
                                                          {32768 + 131072, 131072},
                                                          {32768 + 262144, 37888}}));
    auto bytes = FileBytes(image);
    EXPECT_EQ(ImageBytes("stick1", 32768, bytes.size()), bytes);
    EXPECT_EQ(ImageBytes("stick1", 32768 + 300'000, 32), std::vector<std::uint8_t>(32, 0));
    EXPECT_EQ(Little16(ImageBytes("stick1", 32256, 512), 24), 63u);
}

TEST_F(ConsoleOperation, QuitAndTheEndOfTheInputWriteNothing) {
    for (const char* answers : {"q\n", "Q\n", "", "y\n", "y\nx\n", "n\n"}) {
        SCOPED_TRACE(answers);
        EXPECT_EQ(Write(answers, kDefaultImage.c_str()), ATA_ERROR);
        ExpectNothingWritten();
        EXPECT_FALSE(std::filesystem::exists(saved_)) << "a file made for nothing is removed";
    }
    EXPECT_EQ(Write("q\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_TRUE(output_.ends_with("[q:Quit] : ")) << "q says nothing more: " << output_;
}

TEST_F(ConsoleOperation, BadImagesAndSavePathsAreRefusedBeforeAnyWrite) {
    struct Case {
        std::string image;
        std::string saved;
        std::string line;
    };
    std::string missingFolder = (folder_.path() / "no such folder" / "saved.mbr").string();
    std::string longName(100, 'x');
    for (const Case& c : {
             Case{MakeImage(0, "empty.dat").string(), saved_, "\n The Source Image File is empty"},
             Case{MakeImage(4'242'945, "big.dat").string(), saved_,
                  "\n The Source Image File is larger than the boot partition (4242944 bytes)"},
             Case{(folder_.path() / "missing.dat").string(), saved_,
                  "\n Unable to open Source Image File"},
             Case{kDefaultImage, missingFolder, "\n Unable to open File to save MBR"},
             Case{longName, saved_,
                  "\n The Source Image File name is too long (at most 99 characters)"},
         }) {
        SCOPED_TRACE(c.line);
        saved_ = c.saved;
        EXPECT_EQ(Write("y\n0\n", c.image.c_str()), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(c.line + "\n"));
        ExpectNothingWritten();
        EXPECT_FALSE(std::filesystem::exists(saved_));
    }
    // An image that fits exactly is taken.
    saved_ = (folder_.path() / "saved.mbr").string();
    EXPECT_EQ(Write("y\n0\n", MakeImage(4'242'944, "exact.dat").c_str()), ATA_OK) << output_;
}

TEST_F(ConsoleOperation, ASecondRunNeverReplacesTheSectorZeroTheFirstSaved) {
    auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    larkin::sim::ClearJournal();
    EXPECT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("saved.mbr already holds something other than this drive's "
                                   "sector 0: it was kept as it is, and nothing was written\n"));
    ExpectNothingWritten();
    EXPECT_EQ(FileBytes(saved_), original);
    // Restored, the drive's sector 0 is the one the file holds: a run goes on.
    ASSERT_EQ(Restore("y\n"), ATA_OK) << output_;
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    EXPECT_EQ(FileBytes(saved_), original);
}

TEST_F(ConsoleOperation, TheSavedTableFileIsCheckedBeforeAnyWrite) {
    auto image = MakeImage(300'000);
    std::string notes = (folder_.path() / "notes.txt").string();
    std::ofstream(notes) << "what the user keeps";
    std::string held = (folder_.path() / "held.mbr").string();
    std::ofstream(held) << "";
    larkin::Handle holder(CreateFileA(held.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    struct Case {
        std::string saved;
        std::string image;
        std::string line;
    };
    for (const Case& c : {
             Case{image.string(), image.string(),
                  "\n The Source Image File is the file to save the Partition table (or its "
                  "description): nothing was written"},
             Case{saved_, MakeImage(300'000, "saved.mbr.info").string(),
                  "\n The Source Image File is the file to save the Partition table (or its "
                  "description): nothing was written"},
             Case{"\\\\.\\PhysicalDrive2", image.string(),
                  "\n The file to save the Partition table names a device, not a file: nothing "
                  "was written"},
             Case{held, image.string(),
                  "\n The file to save the Partition table is open elsewhere: nothing was "
                  "written"},
             Case{notes, image.string(),
                  "notes.txt already holds something other than this drive's sector 0"},
         }) {
        SCOPED_TRACE(c.line);
        auto kept = FileBytes(c.image);
        saved_ = c.saved;
        EXPECT_EQ(Write("y\n0\n", c.image.c_str()), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(c.line));
        ExpectNothingWritten();
        EXPECT_EQ(FileBytes(c.image), kept);
    }
    EXPECT_EQ(FileBytes(notes).size(), 19u);
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "saved.mbr"));
}

TEST_F(ConsoleOperation, ADrivePulledOutDuringTheCopyFailsWithTheTableSaved) {
    auto original = ImageBytes("stick1", 0, 512);
    // Writes to the drive: MBR, boot sector, first chunk; the second chunk
    // finds the drive gone.
    larkin::sim::InjectFault({"WriteFile", "usbstor", 0, 3, 0, ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_ERROR);
    larkin::sim::ClearFaults();
    EXPECT_TRUE(output_.ends_with("\n Copying Boot Files.....\n ERROR Writing to Dest\n"))
        << output_;
    EXPECT_EQ(FileBytes(saved_), original);
    ASSERT_EQ(Restore("y\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), original);
}

TEST_F(ConsoleOperation, RestoreRefusesMissingShortAndChangedFiles) {
    auto writeSaved = [&](std::size_t bytes) {
        std::ofstream(saved_, std::ios::binary) << std::string(bytes, 'm');
    };
    struct Case {
        std::function<void()> prepare;
        std::string line;
    };
    for (const Case& c : {
             Case{[&] { std::filesystem::remove(saved_); },
                  "\n Unable to open File for the saved original Partition table. "},
             Case{[&] { writeSaved(0); },
                  "\n The saved Partition table file holds fewer than 512 bytes: nothing was "
                  "restored"},
             Case{[&] { writeSaved(100); },
                  "\n The saved Partition table file holds fewer than 512 bytes: nothing was "
                  "restored"},
         }) {
        SCOPED_TRACE(c.line);
        c.prepare();
        EXPECT_EQ(Restore("y\n"), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(c.line + "\n"));
        ExpectNothingWritten();
    }
    std::filesystem::remove(saved_);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    auto written = ImageBytes("stick1", 0, 512);
    larkin::sim::ClearJournal();
    // One byte of the saved file changed: its description no longer fits.
    {
        std::fstream file(saved_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(10);
        file.put('\x5A');
    }
    EXPECT_EQ(Restore("y\n"), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("(SHA-256 differs): nothing was restored"));
    std::ofstream(console::DescriptionPath(saved_)) << "Larkin saved sector 0\nbroken\n";
    EXPECT_EQ(Restore("y\n"), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("is damaged"));
    ExpectNothingWritten();
    // Without a description the bytes must be a table that fits the drive,
    // and the user is asked.
    std::filesystem::remove(console::DescriptionPath(saved_));
    for (const char* answers : {"y\n", "y\nn\n"}) {
        EXPECT_EQ(Restore(answers), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr("\n No description beside the saved file"));
        EXPECT_THAT(output_, HasSubstr("\n Restore it onto this drive anyway? (y/n) [q:Quit] : "));
    }
    ExpectNothingWritten();
    EXPECT_EQ(Restore("y\ny\n"), ATA_OK) << output_;
    EXPECT_NE(ImageBytes("stick1", 0, 512), written);
    // Any 512 bytes are no table, even ending in 55 AA.
    std::vector<char> noise(512);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 37 + 11);
    noise[510] = '\x55';
    noise[511] = '\xAA';
    std::ofstream(saved_, std::ios::binary).write(noise.data(), 512);
    larkin::sim::ClearJournal();
    EXPECT_EQ(Restore("y\ny\n"), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("\n The saved file holds no partition table for this drive ("));
    ExpectNothingWritten();
}

TEST_F(ConsoleOperation, RestoreOntoAnotherDriveAsksFirst) {
    auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    larkin::sim::ClearJournal();
    for (const char* answers : {"y\nn\n", "y\nq\n", "y\n"}) {
        EXPECT_EQ(Restore(answers, "F:"), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr("\n This file was saved from another drive: SanDisk "
                                       "Cruzer Blade USB Device [E:] (20971520 bytes), serial "
                                       "STICK1, path \\\\?\\usbstor#"));
        EXPECT_THAT(output_, HasSubstr("\n The selected drive is: Kingston DataTraveler 2.0 "
                                       "USB Device [F:] (8388608 bytes), serial STICK2, path "));
        ExpectNothingWritten();
    }
    EXPECT_EQ(Restore("y\ny\n", "F:"), ATA_OK);
    EXPECT_EQ(ImageBytes("stick2", 0, 512), original);
}

class TwinSticks : public ConsoleOperation {
  protected:
    TwinSticks()
        : ConsoleOperation({Stick(20 * 1024 * 1024, 63, 255),
                            Stick(20 * 1024 * 1024, 63, 255, "stick2", "F:")}) {}
};

TEST_F(TwinSticks, RestoreOntoTheTwinOfTheSavedStickAsksFirst) {
    auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    larkin::sim::ClearJournal();
    EXPECT_EQ(Restore("y\n", "F:"), ATA_ERROR) << "a script that confirms only the drive";
    EXPECT_THAT(output_, HasSubstr("\n This file was saved from another drive: SanDisk Cruzer "
                                   "Blade USB Device [E:] (20971520 bytes), serial STICK1"));
    EXPECT_THAT(output_, HasSubstr("\n The selected drive is: SanDisk Cruzer Blade USB Device "
                                   "[F:] (20971520 bytes), serial STICK2"));
    ExpectNothingWritten();
    EXPECT_EQ(Restore("y\ny\n", "F:"), ATA_OK);
    EXPECT_EQ(ImageBytes("stick2", 0, 512), original);
}

TEST_F(ConsoleOperation, NamesLongerThanTheBuffersAreRefused) {
    saved_ = std::string(52, 's');
    EXPECT_EQ(Restore("y\n"), ATA_ERROR);
    EXPECT_EQ(output_,
              "\n The file name of the saved Partition table is too long (at most 51 "
              "characters)\n");
    saved_ = std::string(100, 's');
    EXPECT_EQ(Write("y\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("is too long (at most 99 characters)"));
    // Typed names too: the restorer asks for one when none is given.
    ScopedInput input("y\n" + std::string(52, 't') + "\n");
    int status = -1;
    output_ = CapturedOutput([&] { status = CopyUSBMBRImage(nullptr, "E:"); });
    EXPECT_EQ(status, ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("\n Enter the file name for the saved original Partition "
                                   "table.\n\n >>\n The file name is too long"));
    ExpectNothingWritten();
}

TEST_F(ConsoleOperation, AskedNamesAndTheDefaultImage) {
    std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::copy_file(kDefaultImage, folder_.path() / "VeltraneUSB4MB.dat");
    std::filesystem::current_path(folder_.path());
    ScopedInput input("2\ny\nasked.mbr\n0\n");
    int status = -1;
    output_ = CapturedOutput([&] { status = CopyUSBBootImage(nullptr, nullptr, nullptr); });
    std::filesystem::current_path(here);
    EXPECT_EQ(status, ATA_OK) << output_;
    EXPECT_THAT(output_, HasSubstr("\n Enter the file name to save original Partition table.\n "
                                   "This is needed to restore your drive back to its original "
                                   "capacity\n\n >>"));
    EXPECT_THAT(output_, HasSubstr("\n No Source Image File provided, using default file\n"));
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "asked.mbr"));
    EXPECT_THAT(WrittenDisks(), ::testing::ElementsAre("stick2"));
}

class TrueGeometryStick : public ConsoleOperation {
  protected:
    TrueGeometryStick() : ConsoleOperation({Stick(16 * 32 * 512 * 64, 32, 16)}) {}
};

TEST_F(TrueGeometryStick, AsksNoSectorCountAndUsesTheModePage) {
    ASSERT_EQ(Write("y\n", kDefaultImage.c_str()), ATA_OK) << output_;
    EXPECT_THAT(output_, HasSubstr("\n Pulling Drive Geometry........Done\n"));
    EXPECT_THAT(output_, ::testing::Not(HasSubstr("Sectors Per Track")));
    auto boot = ImageBytes("stick1", 32 * 512, 512);
    EXPECT_EQ(Little16(boot, 24), 32u);
    EXPECT_EQ(Little16(boot, 26), 16u);
    EXPECT_EQ(Little32(boot, 28), 32u);
}

class ApparentGeometryStick : public ConsoleOperation {
  protected:
    ApparentGeometryStick() : ConsoleOperation({Stick(128'000'000, 63, 255)}) {}
};

TEST_F(ApparentGeometryStick, ZeroOnA128MillionByteDriveGivesThirtyTwoInTheBootSector) {
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    EXPECT_THAT(output_, HasSubstr("\n Using Apparent Geomerty\n"));
    EXPECT_EQ(Little32(ImageBytes("stick1", 0, 512), 454), 63u);
    EXPECT_EQ(Little16(ImageBytes("stick1", 63 * 512, 512), 24), 32u);
}

class FourGigabyteStick : public ConsoleOperation {
  protected:
    FourGigabyteStick() : ConsoleOperation({Stick(4'005'560'320, 63, 255)}) {}
};

TEST_F(FourGigabyteStick, ListsItsSizeAs4005Megabytes) {
    EXPECT_EQ(Write("q\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("\n Device # 1 : SanDisk Cruzer Blade USB Device [E:] "
                                   "[~4005 MB]\n"));
}

class TwelveSticks : public ConsoleOperation {
  protected:
    static std::vector<StickLayout> Sticks() {
        std::vector<StickLayout> sticks;
        for (int i = 1; i <= 12; ++i)
            sticks.push_back(Stick(1024 * 1024, 32, 255, "stick" + std::to_string(i), ""));
        return sticks;
    }
    TwelveSticks() : ConsoleOperation(Sticks()) {}
};

TEST_F(TwelveSticks, ListsTenAndRefusesTheEleventh) {
    EXPECT_EQ(Write("11\nq\n", kDefaultImage.c_str(), nullptr), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("\n Following (12) USB Device(s) found....\n"));
    EXPECT_THAT(output_, HasSubstr("\n Device # 10 :"));
    EXPECT_THAT(output_, ::testing::Not(HasSubstr("\n Device # 11 :")));
    EXPECT_THAT(output_, HasSubstr("\n Only the first 10 devices are listed and can be chosen\n"));
    EXPECT_THAT(output_, HasSubstr("\n Invalid Device #\n"));
    ExpectNothingWritten();
}

class TinyStick : public ConsoleOperation {
  protected:
    TinyStick() : ConsoleOperation({Stick(4 * 1024 * 1024, 63, 255)}) {}
};

TEST_F(TinyStick, TooSmallForTheBootPartitionIsRefusedBeforeAnyWrite) {
    EXPECT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("\n The drive is too small for the boot partition\n"));
    ExpectNothingWritten();
}

}  // namespace
}  // namespace tessel::test
