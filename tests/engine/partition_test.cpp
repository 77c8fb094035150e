// The partition entry through the drive layout, and the operations on the
// drive plugged in last: which drive they take, what they write, their
// results and their progress texts.
#include <cstring>

#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "exports/message_channel.h"
#include "partition/drive_geometry.h"
#include "partition/partition_entry.h"
#include "partition/partition_operations.h"
#include "stick_machines.h"
#include "win32/ioctl.h"

namespace tessel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// A 1,000,000,000-byte QM stick (63 sectors per track) that is plugged in
// during the tests, and a stick of another model that is always there.
StickLayout NewStick() {
    StickLayout stick;
    stick.id = "qm1";
    stick.bytes = 1'000'000'000;
    stick.friendlyName = "QMicro Flash USB Device";
    stick.letter = "G:";
    stick.partitioned = false;
    stick.present = false;
    return stick;
}

StickLayout OldStick() {
    StickLayout stick;
    stick.id = "old";
    stick.letter = "E:";
    stick.format = "FAT16";
    return stick;
}

class TesselPartition : public EngineTest {
  protected:
    TesselPartition() : EngineTest(StickMachine({OldStick(), NewStick()})) {
        larkin::sim::ClearJournal();
    }

    static void Plug(const char* id, bool present) { ASSERT_TRUE(larkin::sim::Plug(id, present)); }

    HANDLE OpenDisk(int number) {
        std::string path = "\\\\.\\PhysicalDrive" + std::to_string(number);
        HANDLE drive =
            CreateFileA(path.c_str(), FILE_ALL_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(drive, INVALID_HANDLE_VALUE);
        return drive;
    }
};

TEST(TesselPartitionTable, OneTrackShorterThanTheDriveLessOneTrack) {
    DriveGeometry geometry = DeriveGeometry(63, 1'000'000'000);
    EXPECT_EQ(geometry.hidden, 63u);
    EXPECT_EQ(geometry.sectors, 1'953'062u);
    SectorData table = Fat32PartitionTable(geometry);
    std::vector<std::uint8_t> bytes(table.begin(), table.end());
    EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + 446, 0), 446);
    EXPECT_EQ(bytes[446], 0x00);
    EXPECT_EQ(bytes[447], 1);
    EXPECT_EQ(bytes[448], 1);
    EXPECT_EQ(bytes[449], 0);
    EXPECT_EQ(bytes[450], 0x0C);
    EXPECT_EQ(bytes[451] | bytes[452] | bytes[453], 0);
    EXPECT_EQ(Little32(bytes, 454), 63u);
    EXPECT_EQ(Little32(bytes, 458), 1'952'999u);
    EXPECT_EQ(std::count(bytes.begin() + 462, bytes.begin() + 510, 0), 48);
    EXPECT_EQ(bytes[510], 0x55);
    EXPECT_EQ(bytes[511], 0xAA);
}

TEST_F(TesselPartition, EntryWithNothingGivenChangesOnlyTheBootIndicator) {
    HANDLE drive = OpenDisk(1);
    std::vector<std::uint8_t> before = ImageBytes("old", 0, 512);
    EXPECT_TRUE(ApplyPartitionEntry(drive, 0, 0, true, 0));
    std::vector<std::uint8_t> after = ImageBytes("old", 0, 512);
    EXPECT_EQ(before[446], 0x00);
    EXPECT_EQ(after[446], 0x80);
    EXPECT_EQ(after[450], before[450]);
    EXPECT_EQ(Little32(after, 454), Little32(before, 454));
    EXPECT_EQ(Little32(after, 458), Little32(before, 458));
    EXPECT_TRUE(std::equal(after.begin() + 462, after.end(), before.begin() + 462));
    // Without commit nothing reaches the drive.
    larkin::sim::ClearJournal();
    EXPECT_TRUE(ApplyPartitionEntry(drive, 32, 1000, false, 0x0B));
    EXPECT_TRUE(larkin::sim::Journal().empty());
    EXPECT_THAT(WrittenDisks(), ElementsAre());
    CloseHandle(drive);
}

TEST_F(TesselPartition, LayoutBufferGrowsUntilTheLayoutFits) {
    HANDLE drive = OpenDisk(1);
    auto layoutReads = [] {
        int reads = 0;
        for (const auto& call : larkin::sim::RecordedCalls())
            reads += call.ioctl == IOCTL_DISK_GET_DRIVE_LAYOUT_EX;
        return reads;
    };
    auto sets = [] {
        int count = 0;
        for (const auto& call : larkin::sim::RecordedCalls())
            count += call.ioctl == IOCTL_DISK_SET_DRIVE_LAYOUT_EX;
        return count;
    };
    // Three answers of "too small", then the layout: read four times, then
    // set, and read once more after the commit.
    larkin::sim::InjectFault(
        {"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 0, 3, ERROR_INSUFFICIENT_BUFFER});
    larkin::sim::RecordCalls(true);
    EXPECT_TRUE(ApplyPartitionEntry(drive, 0, 0, true, 0));
    larkin::sim::RecordCalls(false);
    EXPECT_EQ(layoutReads(), 5);
    EXPECT_EQ(sets(), 1);
    // Never enough: 2,496 + 251 x 576 = 147,072 bytes is the last size
    // tried, below 147,648; nothing is set.
    larkin::sim::ClearFaults();
    larkin::sim::ClearJournal();
    larkin::sim::InjectFault(
        {"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 0, 0, ERROR_INSUFFICIENT_BUFFER});
    larkin::sim::RecordCalls(true);
    EXPECT_FALSE(ApplyPartitionEntry(drive, 0, 0, true, 0));
    larkin::sim::RecordCalls(false);
    EXPECT_EQ(layoutReads(), 252);
    EXPECT_EQ(sets(), 0);
    EXPECT_TRUE(larkin::sim::Journal().empty());
    larkin::sim::ClearFaults();
    CloseHandle(drive);
}

TEST_F(TesselPartition, ADriveWithoutATableIsLeftAlone) {
    Plug("qm1", true);
    HANDLE drive = OpenDisk(2);
    EXPECT_FALSE(ApplyPartitionEntry(drive, 63, 1000, true, 0x0C));
    EXPECT_TRUE(larkin::sim::Journal().empty());
    CloseHandle(drive);
}

TEST_F(TesselPartition, CreatePartitionGivesTheNewDriveOneFat32Partition) {
    std::vector<std::string> progress;
    static std::vector<std::string>* texts;
    texts = &progress;
    SetProgressCallback([](const char* text) { texts->push_back(text); });
    ASSERT_EQ(EnumUSBDevices(), 1);
    Plug("qm1", true);
    ASSERT_EQ(CreatePartition(), ATA_OK);
    EXPECT_THAT(progress, ElementsAre("\n Opening Device.....", "....Done",
                                      "\n Getting Physical Drive Geometry.....", "....Done",
                                      "\n Partitioning Device.....", ".....Done",
                                      "\n Getting Device Volume Info.....", ".....Done",
                                      "\n Formatting Device Volume G:.....", ".....Done\n"));
    std::vector<std::uint8_t> mbr = ImageBytes("qm1", 0, 512);
    EXPECT_EQ(mbr[446], 0x80);
    EXPECT_EQ(mbr[450], 0x0C);
    EXPECT_EQ(Little32(mbr, 454), 63u);
    EXPECT_EQ(Little32(mbr, 458), 1'953'062u) << "999,967,744 bytes";
    std::vector<std::uint8_t> boot = ImageBytes("qm1", 63 * 512, 512);
    EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 82), "Tolmar     ");
    EXPECT_EQ(std::string(boot.begin() + 82, boot.begin() + 90), "FAT32   ");
    std::string fsck;
    EXPECT_EQ(CheckPartition("qm1", 63, 1'953'062, &fsck), 0) << fsck;
    EXPECT_THAT(WrittenDisks(), ElementsAre("qm1"));
    // The letter was awaited with the first pause only.
    EXPECT_THAT(larkin::sim::Pauses(), ::testing::Contains(1000u));
    SetProgressCallback(nullptr);
}

TEST_F(TesselPartition, CreatePartitionCVDClearsFirstAndReportsNothing) {
    ASSERT_EQ(EnumUSBDevicesCVD(), 1);
    Plug("qm1", true);
    std::string output = CapturedOutput([] { EXPECT_EQ(CreatePartitionCVD(), ATA_OK); });
    EXPECT_THAT(output, Not(HasSubstr("\n ")));
    auto journal = larkin::sim::Journal();
    ASSERT_GE(journal.size(), 2u);
    EXPECT_EQ(journal[0].offset, 0u);
    EXPECT_EQ(journal[0].length, 4096u);
    std::vector<std::uint8_t> mbr = ImageBytes("qm1", 0, 512);
    EXPECT_EQ(mbr[450], 0x0C);
    EXPECT_EQ(Little32(mbr, 458), 1'953'062u);
    std::string fsck;
    EXPECT_EQ(CheckPartition("qm1", 63, 1'953'062, &fsck), 0) << fsck;
    EXPECT_THAT(WrittenDisks(), ElementsAre("qm1"));
    EXPECT_THAT(larkin::sim::Pauses(), ::testing::Contains(1000u));
    // As many drives as the baseline holds now: nothing new.
    EXPECT_EQ(CreatePartitionCVD(), ATA_NO_NEW_DEVICE);
}

TEST_F(TesselPartition, ZeroPartitionInfoWipesFourKilobytesAndKeepsTheBaseline) {
    ASSERT_EQ(EnumUSBDevices(), 1);
    Plug("qm1", true);
    ASSERT_EQ(CreatePartition(), ATA_OK);
    // CreatePartition made qm1 known; forget it again.
    Plug("qm1", false);
    ASSERT_EQ(EnumUSBDevices(), 1);
    Plug("qm1", true);
    larkin::sim::ClearJournal();
    larkin::sim::ClearPauses();
    EXPECT_EQ(ZeroPartitionInfo(), ATA_OK);
    std::vector<std::uint8_t> first = ImageBytes("qm1", 0, 4096);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0), 4096);
    EXPECT_EQ(ImageBytes("qm1", 4096, 512)[0], 0u)
        << "nothing at 4096 either: sector 8 is FAT32 data";
    EXPECT_THAT(WrittenDisks(), ElementsAre("qm1"));
    EXPECT_THAT(larkin::sim::Pauses(), ElementsAre(1000u));
    EXPECT_EQ(BaselineTable.count, 1) << "unchanged";
    EXPECT_EQ(ZeroPartitionInfo(), ATA_OK) << "still new to the baseline";
}

// Which drive the operations take, and when none.
class TesselNewDevice : public EngineTest {
  protected:
    TesselNewDevice()
        : EngineTest(StickMachine({Named("a", "SanDisk Cruzer USB Device", true, "E:"),
                                   Named("b", "qmicro Flash USB Device", false, "F:"),
                                   Named("c", "QM Second USB Device", false, "H:")})) {}

    static StickLayout Named(const char* id, const char* name, bool present, const char* letter) {
        StickLayout stick;
        stick.id = id;
        stick.friendlyName = name;
        stick.present = present;
        stick.letter = letter;
        stick.partitioned = false;
        return stick;
    }
};

TEST_F(TesselNewDevice, AnEmptyBaselineMakesTheFirstScannedDriveTheTarget) {
    // "a" is first and not a QM model.
    EXPECT_EQ(ZeroPartitionInfo(), ATA_WRONG_DRIVE);
    EXPECT_EQ(CreatePartition(), ATA_WRONG_DRIVE);
    EXPECT_EQ(BaselineTable.count, 1) << "replaced by the scan";
    EXPECT_TRUE(larkin::sim::Journal().empty());
}

TEST_F(TesselNewDevice, TwoNewDrivesGiveTheFirstInScanOrder) {
    ASSERT_EQ(EnumUSBDevices(), 1);
    ASSERT_TRUE(larkin::sim::Plug("c", true));
    ASSERT_TRUE(larkin::sim::Plug("b", true));
    larkin::sim::ClearJournal();
    EXPECT_EQ(ZeroPartitionInfo(), ATA_OK);
    EXPECT_THAT(WrittenDisks(), ElementsAre("b")) << "lower-case qm accepted, adapter order";
    DeviceTable probe{};
    ASSERT_EQ(ScanWithVerran(probe), 3);
    EXPECT_EQ(FindNewDevice(probe, 3), 1);
    EXPECT_EQ(FindNewDevice(probe, 1), std::nullopt);
}

TEST_F(TesselNewDevice, ARemovedDriveGivesOneThenNothingNew) {
    ASSERT_TRUE(larkin::sim::Plug("b", true));
    ASSERT_EQ(EnumUSBDevices(), 2);
    ASSERT_TRUE(larkin::sim::Plug("b", false));
    EXPECT_EQ(ZeroPartitionInfo(), ATA_DEVICE_REMOVED);
    EXPECT_EQ(BaselineTable.count, 2) << "ZeroPartitionInfo keeps the baseline";
    EXPECT_EQ(CreatePartition(), ATA_DEVICE_REMOVED);
    EXPECT_EQ(BaselineTable.count, 1);
    EXPECT_EQ(CreatePartition(), ATA_NO_NEW_DEVICE);

    ASSERT_TRUE(larkin::sim::Plug("b", true));
    ASSERT_EQ(EnumUSBDevicesCVD(), 2);
    ASSERT_TRUE(larkin::sim::Plug("b", false));
    EXPECT_EQ(CreatePartitionCVD(), ATA_DEVICE_REMOVED);
    EXPECT_EQ(CreatePartitionCVD(), ATA_NO_NEW_DEVICE);
    EXPECT_TRUE(larkin::sim::Journal().empty());
}

TEST_F(TesselNewDevice, ModelNamesMustBeginWithQm) {
    DeviceEntry row{};
    for (const char* name : {"QM", "qm stick", "Qm", "qM2"}) {
        CopyField(row.friendlyName, name);
        EXPECT_TRUE(IsSupportedModel(row)) << name;
    }
    for (const char* name : {"", "Q", "QN", " QM", "MQ"}) {
        CopyField(row.friendlyName, name);
        EXPECT_FALSE(IsSupportedModel(row)) << name;
    }
}

}  // namespace
}  // namespace tessel::test
