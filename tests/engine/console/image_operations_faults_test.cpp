// Every platform call of clean runs of both console operations failing once
// in turn: each run ends with 0 or 6, leaves no handle open, and never
// writes the drive unless the drive's former sector 0 is in the saved file.
#include <gmock/gmock.h>

#include <fstream>

#include "console/image_operations.h"
#include "console_test_support.h"
#include "engine_test_support.h"
#include "larkin/simulation.h"
#include "stick_machines.h"

namespace tessel::test {
namespace {

class ConsoleFaults : public EngineTest {
  protected:
    ConsoleFaults() : EngineTest(StickMachine({StickLayout{}})) {
        std::ofstream(image_, std::ios::binary) << std::string(200'000, '\x42');
    }

    larkin::test::TempFolder folder_;
    std::string saved_ = (folder_.path() / "saved.mbr").string();
    std::string image_ = (folder_.path() / "image.dat").string();
};

TEST_F(ConsoleFaults, WriterNeverWritesTheDriveWithoutItsSectorZeroSaved) {
    std::vector<std::uint8_t> before;
    int status = -1;
    auto op = [&] {
        before = ImageBytes("stick1", 0, 512);
        std::filesystem::remove(saved_);
        larkin::sim::ClearJournal();
        ScopedInput input("y\n0\n");
        CapturedOutput([&] { status = CopyUSBBootImage(saved_.c_str(), "E:", image_.c_str()); });
    };
    int runs = FailEachCallInTurn(op, [&](const std::string& call, int) {
        EXPECT_TRUE(status == ATA_OK || status == ATA_ERROR) << status;
        if (!WrittenDisks().empty()) {
            EXPECT_EQ(FileBytes(saved_), before) << call << ": the drive was written";
        }
        if (status == ATA_OK) {
            EXPECT_EQ(ImageBytes("stick1", 64 * 512, 200'000),
                      std::vector<std::uint8_t>(200'000, 0x42));
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
        larkin::sim::ClearJournal();
        ScopedInput input("y\ny\n");
        CapturedOutput([&] { status = CopyUSBMBRImage(saved_.c_str(), "E:"); });
    };
    int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
        EXPECT_EQ(status, ATA_ERROR);
        EXPECT_TRUE(WrittenDisks().empty() || ImageBytes("stick1", 0, 512) == sector);
    });
    EXPECT_GT(runs, 5);
}

}  // namespace
}  // namespace tessel::test
