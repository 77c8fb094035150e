// CopyUSBBootImage and CopyUSBMBRImage on simulated sticks, with the
// answers fed to the engine's standard input: the layout written, the round
// trip proven by the journal, the edge cases of the dialogue and the
// geometry, every refusal that must leave the drive untouched, every
// platform call failing in turn, and a written stick booted in QEMU.
#include <gmock/gmock.h>

#include <fstream>
#include <tuple>

#include "boot_harness.h"
#include "console/image_operations.h"
#include "console/saved_table_description.h"
#include "console_test_support.h"
#include "larkin/owned.h"
#include "engine_test_support.h"
#include "stick_machines.h"
#include "larkin/test_controls.h"

namespace tessel::test {
namespace {

using ::testing::HasSubstr;

constexpr std::uint64_t kPartitionSectors = 8288;
const std::string kDefaultImage = TESSEL_DEFAULT_IMAGE;

StickLayout Stick(std::uint64_t bytes, std::uint32_t spt, std::uint32_t heads,
                  std::string id = "stick1", std::string letter = "E:") {
    return {.id = std::move(id),
            .bytes = bytes,
            .sectorsPerTrack = spt,
            .heads = heads,
            .letter = std::move(letter)};
}

// The stick E:, a bystander F: of another model and size, and G:, the
// twin of E:.
std::vector<StickLayout> ThreeSticks() {
    StickLayout bystander = Stick(8 * 1024 * 1024, 32, 255, "stick2", "F:");
    bystander.friendlyName = "Kingston DataTraveler 2.0 USB Device";
    return {Stick(20 * 1024 * 1024, 63, 255), bystander,
            Stick(20 * 1024 * 1024, 63, 255, "stick3", "G:")};
}

struct Written {
    std::uint64_t offset;
    std::uint64_t length;
    bool operator==(const Written&) const = default;
};

// The byte writes to one disk, in order (the drive-layout rewrites apart).
std::vector<Written> ByteWrites(std::string_view disk) {
    std::vector<Written> writes;
    for (const auto& entry : larkin::controls::Journal())
        if (entry.disk == disk && entry.via == "WriteFile")
            writes.push_back({entry.offset, entry.length});
    return writes;
}

class ConsoleOperation : public EngineTest {
  protected:
    explicit ConsoleOperation(const std::vector<StickLayout>& sticks = ThreeSticks())
        : EngineTest(StickMachine(sticks)) {
        larkin::controls::ClearJournal();
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
    EXPECT_TRUE(output_.ends_with("\n Copying Boot Files.........Done\n")) << output_;
    // Saved before the drive was written.
    EXPECT_EQ(FileBytes(saved_), original);
    // The layout: MBR entry, DOS boot sector one track in, the image behind.
    auto mbr = ImageBytes("stick1", 0, 512);
    EXPECT_EQ(mbr[450], 0x01);
    EXPECT_EQ(Little32(mbr, 454), 63u);
    EXPECT_EQ(Little32(mbr, 458), kPartitionSectors);
    auto boot = ImageBytes("stick1", 63 * 512, 512);
    EXPECT_EQ(Little16(boot, 19), kPartitionSectors);
    EXPECT_EQ(Little16(boot, 24), 32u) << "no known geometry below 256,000,000 bytes";
    auto image = FileBytes(kDefaultImage);
    EXPECT_EQ(ImageBytes("stick1", 64 * 512, image.size()), image);
    std::string fsck;
    EXPECT_EQ(CheckPartition("stick1", 63, kPartitionSectors, &fsck), 0) << fsck;
    EXPECT_THAT(WrittenDisks(), ::testing::ElementsAre("stick1"));

    // A second run never replaces the sector 0 the first saved.
    larkin::controls::ClearJournal();
    EXPECT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_ERROR);
    EXPECT_THAT(output_, HasSubstr("saved.mbr already holds something other than this drive's "
                                   "sector 0: it was kept as it is, and nothing was written\n"));
    ExpectNothingWritten();
    EXPECT_EQ(FileBytes(saved_), original);

    ASSERT_EQ(Restore("y\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), original);
    auto entries = larkin::controls::Journal();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tie(entries[0].disk, entries[0].offset, entries[0].length),
              std::make_tuple("stick1", 0u, 512u));
    // Restored, the drive's sector 0 is the one the file holds: a run goes on.
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    EXPECT_EQ(FileBytes(saved_), original);
}

TEST_F(ConsoleOperation, WriterRefusalsLeaveTheDriveTheImageAndTheSavedFileAlone) {
    auto image = MakeImage(300'000).string();
    std::string notes = (folder_.path() / "notes.txt").string();
    std::ofstream(notes) << "what the user keeps";
    std::string held = (folder_.path() / "held.mbr").string();
    std::ofstream{held};
    larkin::Handle holder(CreateFileA(held.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    const std::string saved = saved_, isSaved =
                                          " is the file to save the Partition table (or its "
                                          "description): nothing was written";
    struct Case {
        std::string saved, image, answers, line;
    };
    for (const Case& c : std::initializer_list<Case>{
             // Quit and the end of the input at each question.
             {saved, image, "q\n", "[q:Quit] : "},
             {saved, image, "", "\n No more input"},
             {saved, image, "y\n", "\n No more input"},
             {saved, image, "y\nx\n", "\n No more input"},
             {saved, MakeImage(0, "empty.dat").string(), "y\n0\n",
              "\n The Source Image File is empty\n"},
             {saved, MakeImage(4'242'945, "big.dat").string(), "y\n0\n",
              "\n The Source Image File is larger than the boot partition (4242944 bytes)\n"},
             {saved, (folder_.path() / "missing.dat").string(), "y\n0\n",
              "\n Unable to open Source Image File\n"},
             {(folder_.path() / "no such folder" / "saved.mbr").string(), image, "y\n0\n",
              "\n Unable to open File to save MBR\n"},
             {saved, std::string(100, 'x'), "y\n0\n",
              "\n The Source Image File name is too long (at most 99 characters)\n"},
             {std::string(100, 's'), image, "y\n", "is too long (at most 99 characters)"},
             {image, image, "y\n0\n", "\n The Source Image File" + isSaved},
             {saved, MakeImage(300'000, "saved.mbr.info").string(), "y\n0\n",
              "\n The Source Image File" + isSaved},
             {"\\\\.\\PhysicalDrive2", image, "y\n0\n",
              "\n The file to save the Partition table names a device, not a file: nothing was "
              "written"},
             {held, image, "y\n0\n",
              "\n The file to save the Partition table is open elsewhere: nothing was written"},
             {notes, image, "y\n0\n",
              "notes.txt already holds something other than this drive's sector 0"},
         }) {
        SCOPED_TRACE(c.line);
        auto kept = FileBytes(c.image);
        bool existed = std::filesystem::exists(c.saved);
        auto keptSaved = FileBytes(c.saved);
        saved_ = c.saved;
        EXPECT_EQ(Write(c.answers, c.image.c_str()), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(c.line));
        ExpectNothingWritten();
        EXPECT_EQ(FileBytes(c.image), kept);
        EXPECT_EQ(std::filesystem::exists(c.saved), existed) << "a file made for nothing is kept";
        EXPECT_EQ(FileBytes(c.saved), keptSaved);
    }
    // An image that fits exactly is taken.
    saved_ = saved;
    EXPECT_EQ(Write("y\n0\n", MakeImage(4'242'944, "exact.dat").c_str()), ATA_OK) << output_;
}

TEST_F(ConsoleOperation, ADrivePulledOutDuringTheCopyFailsWithTheTableSaved) {
    auto original = ImageBytes("stick1", 0, 512);
    // Writes to the drive: MBR, boot sector, first chunk; the second chunk
    // finds the drive gone.
    larkin::controls::InjectFault({"WriteFile", "usbstor", 0, 3, 0, ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_ERROR);
    larkin::controls::ClearFaults();
    EXPECT_TRUE(output_.ends_with("\n Copying Boot Files.....\n ERROR Writing to Dest\n"))
        << output_;
    EXPECT_EQ(FileBytes(saved_), original);
}

TEST_F(ConsoleOperation, RestoreRefusesMissingShortChangedAndUntableFilesUnlessAsked) {
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    auto written = ImageBytes("stick1", 0, 512);
    const auto saved = FileBytes(saved_);
    larkin::controls::ClearJournal();
    auto put = [&](std::vector<std::uint8_t> bytes) {
        std::ofstream(saved_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    };
    const std::string tooShort =
        "\n The saved Partition table file holds fewer than 512 bytes: nothing was restored\n";
    const std::string noDescription = "\n No description beside the saved file";
    // Any 512 bytes are no table, even ending in 55 AA.
    std::vector<std::uint8_t> noise(512);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
    noise[510] = 0x55;
    noise[511] = 0xAA;
    struct Case {
        std::function<void()> prepare;
        std::string answers, line;
    };
    for (const Case& c : std::initializer_list<Case>{
             {[&] { std::filesystem::remove(saved_); }, "y\n",
              "\n Unable to open File for the saved original Partition table. \n"},
             {[&] { put({}); }, "y\n", tooShort},
             {[&] { put(std::vector<std::uint8_t>(100, 'm')); }, "y\n", tooShort},
             // One byte of the saved file changed: its description no longer fits.
             {[&] {
                  auto changed = saved;
                  changed[10] = 0x5A;
                  put(changed);
              },
              "y\n", "(SHA-256 differs): nothing was restored"},
             {[&] {
                  std::ofstream(console::DescriptionPath(saved_))
                      << "Larkin saved sector 0\nbroken\n";
              },
              "y\n", "is damaged"},
             // Without a description the user is asked.
             {[&] { std::filesystem::remove(console::DescriptionPath(saved_)); }, "y\n",
              noDescription},
             {{}, "y\nn\n", "\n Restore it onto this drive anyway? (y/n) [q:Quit] : "},
             {[&] { put(noise); }, "y\ny\n",
              "\n The saved file holds no partition table for this drive ("},
             {[&] { saved_ = std::string(52, 's'); }, "y\n",
              "\n The file name of the saved Partition table is too long (at most 51 "
              "characters)\n"},
         }) {
        SCOPED_TRACE(c.line);
        if (c.prepare) c.prepare();
        EXPECT_EQ(Restore(c.answers), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(c.line));
        ExpectNothingWritten();
    }
    // A name typed when none is given is checked too.
    ScopedInput input("y\n" + std::string(52, 't') + "\n");
    output_ = CapturedOutput([&] { EXPECT_EQ(CopyUSBMBRImage(nullptr, "E:"), ATA_ERROR); });
    EXPECT_THAT(output_, HasSubstr("\n Enter the file name for the saved original Partition "
                                   "table.\n\n >>\n The file name is too long"));
    ExpectNothingWritten();
    // A sector that fits the drive without a description, once asked.
    saved_ = (folder_.path() / "saved.mbr").string();
    put(saved);
    EXPECT_EQ(Restore("y\ny\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), saved);
    EXPECT_NE(saved, written);
}

TEST_F(ConsoleOperation, RestoreOntoAnotherDriveEvenItsTwinAsksFirst) {
    auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage.c_str()), ATA_OK) << output_;
    larkin::controls::ClearJournal();
    for (auto [drive, id, selected] :
         {std::tuple{"F:", "stick2",
                     "Kingston DataTraveler 2.0 USB Device [F:] (8388608 bytes), serial STICK2, "
                     "path "},
          {"G:", "stick3",
           "SanDisk Cruzer Blade USB Device [G:] (20971520 bytes), serial STICK3, path "}}) {
        // "y" alone: a script that confirms only the drive.
        for (const char* answers : {"y\nn\n", "y\nq\n", "y\n"}) {
            EXPECT_EQ(Restore(answers, drive), ATA_ERROR);
            EXPECT_THAT(output_, HasSubstr("\n This file was saved from another drive: SanDisk "
                                           "Cruzer Blade USB Device [E:] (20971520 bytes), serial "
                                           "STICK1, path \\\\?\\usbstor#"));
            EXPECT_THAT(output_, HasSubstr(std::string("\n The selected drive is: ") + selected));
            ExpectNothingWritten();
        }
        EXPECT_EQ(Restore("y\ny\n", drive), ATA_OK);
        EXPECT_EQ(ImageBytes(id, 0, 512), original);
        larkin::controls::ClearJournal();
    }
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

// The drive's size and geometry: what the dialogue asks, where the boot
// sector goes and the geometry it is given, and the drives refused.
struct Geometry {
    const char* name;
    std::vector<StickLayout> sticks;
    std::string answers;
    std::size_t imageBytes;  // 0: the default image
    const char* drive;
    int status;
    std::vector<std::string> lines;  // in the output
    int asked;                       // times the sectors per track were asked for
    std::uint32_t hidden, sectorsPerTrack, heads;
    std::vector<Written> writes;  // when given, all the drive's writes
};

void PrintTo(const Geometry& g, std::ostream* out) {
    *out << g.name;
}

class ConsoleGeometry : public ConsoleOperation, public ::testing::WithParamInterface<Geometry> {
  protected:
    ConsoleGeometry() : ConsoleOperation(GetParam().sticks) {}
};

TEST_P(ConsoleGeometry, BootSectorWhereAndAsTheDriveHasItOrRefused) {
    const Geometry& g = GetParam();
    std::string image = g.imageBytes ? MakeImage(g.imageBytes).string() : kDefaultImage;
    ASSERT_EQ(Write(g.answers, image.c_str(), g.drive), g.status) << output_;
    for (const std::string& line : g.lines) EXPECT_THAT(output_, HasSubstr(line));
    if (g.status != ATA_OK) {
        ExpectNothingWritten();
        return;
    }
    int asked = 0;
    for (std::size_t at = 0; (at = output_.find("Sectors Per Track", at)) != std::string::npos;
         ++at)
        ++asked;
    EXPECT_EQ(asked, g.asked);
    EXPECT_EQ(Little32(ImageBytes("stick1", 0, 512), 454), g.hidden);
    auto boot = ImageBytes("stick1", g.hidden * 512, 512);
    EXPECT_EQ(Little16(boot, 24), g.sectorsPerTrack);
    EXPECT_EQ(Little16(boot, 26), g.heads);
    EXPECT_EQ(Little32(boot, 28), g.hidden);
    auto bytes = FileBytes(image);
    EXPECT_EQ(ImageBytes("stick1", (g.hidden + 1) * 512, bytes.size()), bytes);
    EXPECT_EQ(ImageBytes("stick1", (g.hidden + 1) * 512 + bytes.size(), 32),
              std::vector<std::uint8_t>(32, 0))
        << "the last sector is filled with zeros";
    EXPECT_TRUE(g.writes.empty() || ByteWrites("stick1") == g.writes);
}

std::vector<StickLayout> Twelve() {
    std::vector<StickLayout> sticks;
    for (int i = 1; i <= 12; ++i)
        sticks.push_back(Stick(1024 * 1024, 32, 255, "stick" + std::to_string(i), ""));
    return sticks;
}

Geometry Taken(const char* name, StickLayout stick, std::string answers, std::size_t imageBytes,
               std::string line, int asked, std::uint32_t hidden, std::uint32_t sectorsPerTrack,
               std::uint32_t heads, std::vector<Written> writes = {}) {
    return {name,   {stick}, answers, imageBytes,      "E:",  ATA_OK,
            {line}, asked,   hidden,  sectorsPerTrack, heads, writes};
}

Geometry Refused(const char* name, std::vector<StickLayout> sticks, std::string answers,
                 const char* drive, std::vector<std::string> lines) {
    return {name, sticks, answers, 0, drive, ATA_ERROR, lines, 0, 0, 0, 0, {}};
}

INSTANTIATE_TEST_SUITE_P(
    Drives, ConsoleGeometry,
    ::testing::Values(
        // 63 entered on a drive of 32: the boot sector and image one track of
        // 63 in; the image in chunks of 131,072 written as whole sectors.
        Taken("SixtyThreeEnteredOnThirtyTwo", Stick(20 * 1024 * 1024, 32, 255), "y\nabc\n64\n63\n",
              300'000, "\n Invalid number: enter 1 to 63, or 0 for the default values", 3, 63, 63,
              255, {{0, 512}, {32256, 512}, {32768, 131072}, {163840, 131072}, {294912, 37888}}),
        Taken("ModePageGeometryAsksNothing", Stick(16 * 32 * 512 * 64, 32, 16), "y\n", 0,
              "\n Pulling Drive Geometry........Done\n", 0, 32, 32, 16),
        Taken("ApparentGeometryOf128Million", Stick(128'000'000, 63, 255), "y\n0\n", 0,
              "\n Using Apparent Geomerty\n", 1, 63, 32, 255),
        Refused("FourGigabytesListedAs4005Megabytes", {Stick(4'005'560'320, 63, 255)}, "q\n",
                "E:", {"\n Device # 1 : SanDisk Cruzer Blade USB Device [E:] [~4005 MB]\n"}),
        Refused("TooSmallForTheBootPartition", {Stick(4 * 1024 * 1024, 63, 255)}, "y\n0\n",
                "E:", {"\n The drive is too small for the boot partition\n"}),
        Refused("TwelveListedAsTenAndTheEleventhRefused", Twelve(), "11\nq\n", nullptr,
                {"\n Following (12) USB Device(s) found....\n",
                 "\n Device # 10 :", "\n Only the first 10 devices are listed and can be chosen\n",
                 "\n Invalid Device #\n"})),
    [](const auto& info) { return std::string(info.param.name); });

class ConsoleFaults : public ConsoleOperation {
  protected:
    ConsoleFaults() : ConsoleOperation({StickLayout{}}) {}
};

TEST_F(ConsoleFaults, WriterNeverWritesTheDriveWithoutItsSectorZeroSaved) {
    const std::string image = MakeImage(200'000).string();
    std::vector<std::uint8_t> before;
    int status = -1;
    auto op = [&] {
        before = ImageBytes("stick1", 0, 512);
        std::filesystem::remove(saved_);
        larkin::controls::ClearJournal();
        status = Write("y\n0\n", image.c_str());
    };
    int runs = FailEachCallInTurn(op, [&](const std::string& call, int) {
        EXPECT_TRUE(status == ATA_OK || status == ATA_ERROR) << status;
        if (!WrittenDisks().empty()) {
            EXPECT_EQ(FileBytes(saved_), before) << call << ": the drive was written";
        }
        if (status == ATA_OK) {
            EXPECT_EQ(ImageBytes("stick1", 64 * 512, 200'000), FileBytes(image));
        }
    });
    EXPECT_GT(runs, 20);
}

TEST_F(ConsoleFaults, RestorerWritesAllOfTheSectorOrNothing) {
    // Boot code and an empty table: a sector the restorer takes without a
    // description, once asked.
    std::vector<std::uint8_t> sector(512, 0x33);
    std::fill(sector.begin() + 446, sector.end(), 0);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    int status = -1;
    auto op = [&] {
        std::ofstream(saved_, std::ios::binary)
            .write(reinterpret_cast<const char*>(sector.data()), 512);
        larkin::controls::ClearJournal();
        status = Restore("y\ny\n");
    };
    int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
        EXPECT_EQ(status, ATA_ERROR);
        EXPECT_TRUE(WrittenDisks().empty() || ImageBytes("stick1", 0, 512) == sector);
    });
    EXPECT_GT(runs, 5);
}

namespace boot = larkin::test::boot;

constexpr int kCylinders = 64, kHeads = 16, kSectors = 32;

class WrittenImage : public ConsoleOperation {
  protected:
    WrittenImage()
        : ConsoleOperation({{.bytes = std::uint64_t{kCylinders} * kHeads * kSectors * 512,
                             .sectorsPerTrack = kSectors,
                             .heads = kHeads}}) {}
};

TEST_F(WrittenImage, BootsThroughTheDosBootSector) {
    if (!larkin::test::HaveProgram("qemu-system-i386"))
        GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    ASSERT_EQ(Write("y\n", kDefaultImage.c_str()), ATA_OK) << output_;
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
