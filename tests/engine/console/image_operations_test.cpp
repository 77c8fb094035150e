// CopyUSBBootImage and CopyUSBMBRImage on simulated sticks, the answers fed
// to the engine's standard input.
#include "console/image_operations.h"
#include "console/saved_table_description.h"
#include "core_test_support.h"
#include "engine_test_support.h"
#include "larkin/owned.h"

namespace tessel::test {
namespace {

const std::string kDefaultImage = TESSEL_DEFAULT_IMAGE;

class ConsoleOperation : public EngineTest {
  protected:
    ConsoleOperation() : EngineTest(larkin::test::MachineText("engine-sticks-e-f-and-twin-g")) {}

    int Write(const std::string& answers, const std::string& image, const char* drive = "E:") {
        return Run(answers, [&] { return CopyUSBBootImage(saved_.c_str(), drive, image.c_str()); });
    }
    // No name: the restorer asks for one.
    int Restore(const std::string& answers, const char* drive = "E:") {
        const char* saved = saved_.empty() ? nullptr : saved_.c_str();
        return Run(answers, [&] { return CopyUSBMBRImage(saved, drive); });
    }
    int Run(const std::string& answers, const std::function<int()>& op) {
        int status = -1;
        output_ = CapturedOutput([&] { status = op(); }, answers);
        return status;
    }
    std::string MakeImage(std::size_t bytes, const char* name = "image.dat") {
        std::filesystem::path file = folder_.path() / name;
        std::ofstream out(file, std::ios::binary);
        for (std::size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(i * 7 + 1));
        return file.string();
    }
    void PutSaved(std::span<const std::uint8_t> bytes) {
        std::ofstream(saved_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
    }
    void ExpectNothingWritten() { EXPECT_TRUE(WrittenDisks().empty()) << output_; }

    larkin::test::TempFolder folder_;
    std::string saved_ = (folder_.path() / "saved.mbr").string();
    std::string output_;
};

// A round trip leaves sector 0 as it was and touches nothing else. Then the
// restorer's refusals of missing, short, changed and untable files unless
// asked, and the writer's (saving to a new file: the drive was written);
// each writes nothing and leaves the image and the saved file (or its
// absence) as they were.
TEST_F(ConsoleOperation, RoundTripRestoresSectorZeroAndRefusalsLeaveEverythingAlone) {
    const auto original = ImageBytes("stick1", 0, 512);
    ASSERT_EQ(Write("y\n0\n", kDefaultImage), ATA_OK) << output_;
    EXPECT_TRUE(CleanVolume("stick1", 63, 8288));
    EXPECT_THAT(WrittenDisks(), ElementsAre("stick1"));
    EXPECT_NE(ImageBytes("stick1", 0, 512), original);

    controls::ClearJournal();
    ASSERT_EQ(Restore("y\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), original);
    EXPECT_THAT(controls::Journal(), ElementsAre(::testing::FieldsAre(::testing::_, "stick1", 0u,
                                                                      512u, ::testing::_, true)));
    // Restored, the drive's sector 0 is the one the file holds: a run goes on.
    ASSERT_EQ(Write("y\n0\n", kDefaultImage), ATA_OK) << output_;
    // Another drive, even E:'s twin, is restored only when the user agrees.
    controls::ClearJournal();
    for (const char* answers : {"y\nn\n", "y\nq\n", "y\n"}) {
        EXPECT_EQ(Restore(answers, "G:"), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr("\n This file was saved from another drive: SanDisk "
                                       "Cruzer Blade USB Device [E:] (20971520 bytes), serial "
                                       "STICK1, path \\\\?\\usbstor#"));
        EXPECT_THAT(output_, HasSubstr("\n The selected drive is: SanDisk Cruzer Blade USB "
                                       "Device [G:] (20971520 bytes), serial STICK3, path "));
        ExpectNothingWritten();
    }
    EXPECT_EQ(Restore("y\ny\n", "G:"), ATA_OK);
    EXPECT_EQ(ImageBytes("stick3", 0, 512), original);

    const std::string saved = saved_, fresh = (folder_.path() / "new.mbr").string(),
                      image = MakeImage(300'000), tooLong = "is too long (at most 99 characters)";
    // Ending in 55 AA does not make a table.
    const auto noise = MbrSector({{0x37, 0x5A, 99, 7}}, 0x5A);
    auto changed = original;
    changed[10] ^= 0x5A;
    std::string held = (folder_.path() / "held.mbr").string(), source;
    std::ofstream{held};
    larkin::Handle holder(CreateFileA(held.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    auto use = [&](std::string name, std::string from) -> std::function<void()> {
        return [this, &source, name, from] { saved_ = name, source = from; };
    };
    controls::ClearJournal();
    // clang-format off
    for (const auto& [prepare, restore, answers, line] :
         std::initializer_list<std::tuple<std::function<void()>, bool, std::string, std::string>>{
             {[&] { std::filesystem::remove(saved_); }, true, "y\n", "\n Unable to open File for the saved original Partition table. \n"},
             {[&] { PutSaved(std::vector<std::uint8_t>(100, 'm')); }, true, "y\n", "\n The saved Partition table file holds fewer than 512 bytes"},
             {[&] { PutSaved(changed); }, true, "y\n", "(SHA-256 differs): nothing was restored"},
             {[&] { std::ofstream(console::DescriptionPath(saved_)) << "broken\n"; }, true, "y\n", "is damaged"},
             // Without a description the user is asked.
             {[&] { std::filesystem::remove(console::DescriptionPath(saved_)); }, true, "y\n", "\n No description beside the saved file"},
             {{}, true, "y\nn\n", "\n Restore it onto this drive anyway? (y/n) [q:Quit] : "},
             {[&] { PutSaved(noise); }, true, "y\ny\n", "\n The saved file holds no partition table for this drive ("},
             {[&] { saved_ = std::string(52, 's'); }, true, "y\n", "\n The file name of the saved Partition table is too long (at most 51 characters)\n"},
             {[&] { saved_.clear(); }, true, "y\n" + std::string(52, 't') + "\n", "\n Enter the file name for the saved original Partition table.\n\n >>\n The file name is too long"},
             // The end of the input at the writer's own question.
             {use(fresh, image), false, "y\n", "\n No more input"},
             {use(fresh, MakeImage(0, "empty.dat")), false, "y\n0\n", "\n The Source Image File is empty\n"},
             {use(fresh, MakeImage(4'242'945, "big.dat")), false, "y\n0\n", "\n The Source Image File is larger than the boot partition (4242944 bytes)\n"},
             {use(fresh, (folder_.path() / "missing.dat").string()), false, "y\n0\n", "\n Unable to open Source Image File\n"},
             {use((folder_.path() / "no such folder" / "saved.mbr").string(), image), false, "y\n0\n", "\n Unable to open File to save MBR\n"},
             {use(fresh, std::string(100, 'x')), false, "y\n0\n", "\n The Source Image File name " + tooLong},
             {use(std::string(100, 's'), image), false, "y\n", tooLong},
             {use(fresh, MakeImage(300'000, "new.mbr.info")), false, "y\n0\n", "\n The Source Image File is the file to save the Partition table (or its description)"},
             {use("\\\\.\\PhysicalDrive2", image), false, "y\n0\n", "\n The file to save the Partition table names a device, not a file"},
             {use(held, image), false, "y\n0\n", "\n The file to save the Partition table is open elsewhere"},
         }) {
        // clang-format on
        SCOPED_TRACE(line);
        if (prepare) prepare();
        auto files = [&] {
            return std::tuple(ReadFile(source), std::filesystem::exists(saved_), ReadFile(saved_));
        };
        const auto kept = files();
        EXPECT_EQ(restore ? Restore(answers) : Write(answers, source), ATA_ERROR);
        EXPECT_THAT(output_, HasSubstr(line));
        ExpectNothingWritten();
        EXPECT_EQ(files(), kept) << "the image, and the saved file or its absence";
    }
    // A sector that fits the drive without a description, once asked.
    saved_ = saved;
    PutSaved(original);
    EXPECT_EQ(Restore("y\ny\n"), ATA_OK) << output_;
    EXPECT_EQ(ImageBytes("stick1", 0, 512), original);
    EXPECT_EQ(Write("y\n0\n", MakeImage(4'242'944, "exact.dat")), ATA_OK) << "fits exactly";
    // A drive pulled out during the copy: the second chunk finds it gone.
    for (const char* end : {"", ".info"}) std::filesystem::remove(saved_ + end);
    controls::InjectFault({"WriteFile", "usbstor", 0, 3, 0, ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(Write("y\n0\n", kDefaultImage), ATA_ERROR);
    EXPECT_TRUE(output_.ends_with("\n Copying Boot Files.....\n ERROR Writing to Dest\n"))
        << output_;
}

TEST_F(ConsoleOperation, AskedNamesAndTheDefaultImage) {
    larkin::test::WorkingFolder here;
    std::filesystem::copy_file(kDefaultImage, kDefaultImageName);
    EXPECT_EQ(
        Run("2\ny\nasked.mbr\n0\n", [] { return CopyUSBBootImage(nullptr, nullptr, nullptr); }),
        ATA_OK)
        << output_;
    EXPECT_THAT(output_, HasSubstr("\n Enter the file name to save original Partition table.\n "
                                   "This is needed to restore your drive back to its original "
                                   "capacity\n\n >>"));
    EXPECT_THAT(output_, HasSubstr("\n No Source Image File provided, using default file\n"));
    EXPECT_TRUE(std::filesystem::exists("asked.mbr"));
    EXPECT_THAT(WrittenDisks(), ElementsAre("stick2"));
}

// The drive's size and geometry: what the dialogue asks, where the boot
// sector goes and the geometry it is given, and the drives refused.
TEST_F(ConsoleOperation, BootSectorWhereAndAsTheDriveHasItOrRefused) {
    const struct {
        std::string machine, answers;
        std::size_t imageBytes;  // 0: the default image
        std::vector<std::string> lines;
        int asked;  // -1: refused; else times the sectors per track were asked for
        std::uint32_t hidden = 0, sectorsPerTrack = 0, heads = 0;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> writes =
            {};  // when given, all of them
    } cases[] = {
        // clang-format off
        // 63 entered on a drive of 32: the boot sector and image one track of
        // 63 in; the image in chunks of 131,072 written as whole sectors.
        {StickMachine(20 * 1024 * 1024, 32, 255), "y\nabc\n64\n63\n", 300'000,
         {"\n Invalid number: enter 1 to 63, or 0 for the default values"}, 3, 63, 63, 255,
         {{0, 512}, {32256, 512}, {32768, 131072}, {163840, 131072}, {294912, 37888}}},
        {StickMachine(16 * 32 * 512 * 64, 32, 16), "y\n", 0, {"\n Pulling Drive Geometry........Done\n"}, 0, 32, 32, 16},
        // No known geometry below 256,000,000 bytes.
        {StickMachine(128'000'000, 63, 255), "y\n0\n", 0, {"\n Using Apparent Geomerty\n"}, 1, 63, 32, 255},
        {StickMachine(4'005'560'320, 63, 255), "q\n", 0, {"\n Device # 1 : SanDisk Cruzer Blade USB Device [E:] [~4005 MB]\n"}, -1},
        {StickMachine(4 * 1024 * 1024, 63, 255), "y\n0\n", 0, {"\n The drive is too small for the boot partition\n"}, -1},
        {larkin::test::MachineText("engine-twelve-sticks-on-one-adapter"), "11\nq\n", 0, {"\n Following (12) USB Device(s) found....\n", "\n Device # 10 :",
          "\n Only the first 10 devices are listed and can be chosen\n", "\n Invalid Device #\n"}, -1},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.front());
        Restart(c.machine);
        for (const char* end : {"", ".info"}) std::filesystem::remove(saved_ + end);
        std::string image = c.imageBytes ? MakeImage(c.imageBytes) : kDefaultImage;
        const bool refused = c.asked < 0;
        ASSERT_EQ(Write(c.answers, image, c.answers.starts_with("11") ? nullptr : "E:"),
                  refused ? ATA_ERROR : ATA_OK)
            << output_;
        for (const std::string& line : c.lines) EXPECT_THAT(output_, HasSubstr(line));
        if (refused) {
            ExpectNothingWritten();
            continue;
        }
        EXPECT_EQ(larkin::test::boot::Count(output_, "Sectors Per Track"), c.asked);
        // The entry's type, start and length; the boot sector's size, geometry
        // and hidden sectors.
        auto mbr = ImageBytes("stick1", 0, 512), boot = ImageBytes("stick1", c.hidden * 512, 512);
        EXPECT_EQ(std::tuple(mbr[450], Little(mbr, 454), Little(mbr, 458), Little(boot, 19, 2),
                             Little(boot, 24, 2), Little(boot, 26, 2), Little(boot, 28)),
                  std::tuple(0x01, c.hidden, 8288u, 8288u, c.sectorsPerTrack, c.heads, c.hidden));
        auto bytes = ReadFile(image);
        bytes.resize(bytes.size() + 32);
        EXPECT_EQ(ImageBytes("stick1", (c.hidden + 1) * 512, bytes.size()), bytes)
            << "the last sector is filled with zeros";
        decltype(c.writes) writes;
        for (const auto& entry : controls::Journal())
            if (entry.via == "WriteFile") writes.emplace_back(entry.offset, entry.length);
        EXPECT_TRUE(c.writes.empty() || writes == c.writes);
    }
}

// Every platform call failing in turn: the writer never writes the drive
// without its sector 0 and description saved, the restorer writes all of
// the sector or nothing.
TEST_F(ConsoleOperation, EveryCallFailingInTurnLeavesTheDriveRecoverable) {
    Restart(StickMachine());
    const std::string image = MakeImage(200'000);
    std::vector<std::uint8_t> before;
    int status = -1;
    auto write = [&] {
        before = ImageBytes("stick1", 0, 512);
        for (const char* end : {"", ".info"}) std::filesystem::remove(saved_ + end);
        controls::ClearJournal();
        status = Write("y\n0\n", image);
    };
    auto written = [&] {
        EXPECT_TRUE(status == ATA_OK || status == ATA_ERROR);
        EXPECT_TRUE(WrittenDisks().empty() || ReadFile(saved_) == before);
        EXPECT_TRUE(status != ATA_OK ||
                    (ImageBytes("stick1", 64 * 512, 200'000) == ReadFile(image) &&
                     std::filesystem::exists(saved_ + ".info")));
    };
    EXPECT_GT(FailEachCallInTurn(write, written), 20);

    // Boot code and an empty table: taken without a description, once asked.
    const auto sector = MbrSector({}, 0x33);
    auto restore = [&] {
        std::filesystem::remove(saved_ + ".info");
        PutSaved(sector);
        controls::ClearJournal();
        status = Restore("y\ny\n");
    };
    auto restored = [&] {
        EXPECT_EQ(status, ATA_ERROR);
        EXPECT_TRUE(WrittenDisks().empty() || ImageBytes("stick1", 0, 512) == sector);
    };
    EXPECT_GT(FailEachCallInTurn(restore, restored), 5);
}

}  // namespace
}  // namespace tessel::test
