// The partition entry, and the operations on the drive plugged in last.
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "partition/partition_entry.h"
#include "partition/partition_operations.h"
#include "win32/ioctl.h"

namespace tessel::test {
namespace {

class TesselPartition : public EngineTest {
  protected:
    TesselPartition() : EngineTest(larkin::test::MachineText("engine-stick-e-and-unplugged-qm")) {}

    static void Plug(bool present) { ASSERT_TRUE(larkin::sim::Plug("qm1", present)); }

    // The stick, partitioned once: a clean FAT32 volume, written only there.
    static void ExpectPartitioned() {
        // No boot code; one active FAT32 (LBA) entry of 999,967,744 bytes, one track in.
        EXPECT_EQ(larkin::test::boot::Hex(ImageBytes("qm1", 0, 512)),
                  std::string(892, '0') + "800101000C923E793F00000026CD1D00" +
                      std::string(96, '0') + "55AA");
        EXPECT_TRUE(CleanVolume("qm1", 63, 1'953'062));
        EXPECT_THAT(WrittenDisks(), ElementsAre("qm1"));
        // The letter was awaited with the first pause only.
        EXPECT_THAT(controls::Pauses(), ::testing::Contains(1000u));
    }
};

// The entry with nothing given changes only the boot indicator, and only on
// commit; the layout buffer grows until the layout fits; a drive without a
// table is left alone.
TEST_F(TesselPartition, EntryChangesOnlyWhatIsGivenWithABufferThatGrows) {
    HANDLE drive = OpenDisk(1, FILE_ALL_ACCESS);
    auto before = ImageBytes("old", 0, 512);
    EXPECT_TRUE(ApplyPartitionEntry(drive, 0, 0, true, 0));
    ASSERT_EQ(before[446], 0x00);
    before[446] = 0x80;
    EXPECT_EQ(ImageBytes("old", 0, 512), before);
    controls::ClearJournal();
    EXPECT_TRUE(ApplyPartitionEntry(drive, 32, 1000, false, 0x0B));
    EXPECT_TRUE(controls::Journal().empty());
    auto calls = [](DWORD ioctl) {
        return std::ranges::count(controls::RecordedCalls(), ioctl, &controls::CallRecord::ioctl);
    };
    // Three answers of "too small", then the layout: read four times, then
    // set, and read once more after the commit. Never enough: 2,496 + 251 x
    // 576 = 147,072 bytes is the last size tried, below 147,648; nothing set.
    for (auto [tooSmall, applied, reads, sets] : {std::tuple{3, true, 5, 1}, {0, false, 252, 0}}) {
        controls::ClearJournal();
        controls::InjectFault({"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 0, tooSmall,
                               ERROR_INSUFFICIENT_BUFFER});
        controls::RecordCalls(true);
        const bool result = ApplyPartitionEntry(drive, 0, 0, true, 0);
        controls::RecordCalls(false);
        controls::ClearFaults();
        EXPECT_EQ(std::tuple(result, calls(IOCTL_DISK_GET_DRIVE_LAYOUT_EX),
                             calls(IOCTL_DISK_SET_DRIVE_LAYOUT_EX), controls::Journal().empty()),
                  std::tuple(applied, reads, sets, !applied));
    }
    CloseHandle(drive);
    controls::ClearJournal();
    Plug(true);
    drive = OpenDisk(2, FILE_ALL_ACCESS);
    EXPECT_FALSE(ApplyPartitionEntry(drive, 63, 1000, true, 0x0C));
    EXPECT_TRUE(controls::Journal().empty());
    CloseHandle(drive);
}

std::vector<std::string> progress;

TEST_F(TesselPartition, CreateMakesOneFat32PartitionOnTheFirstNewDriveAndTheCvdFlowClearsFirst) {
    progress.clear();
    SetProgressCallback([](const char* text) { progress.push_back(text); });
    ASSERT_EQ(EnumUSBDevices(), 1);
    Plug(true);
    ASSERT_EQ(CreatePartition(), ATA_OK);
    SetProgressCallback(nullptr);
    EXPECT_THAT(progress, ElementsAre("\n Opening Device.....", "....Done",
                                      "\n Getting Physical Drive Geometry.....", "....Done",
                                      "\n Partitioning Device.....", ".....Done",
                                      "\n Getting Device Volume Info.....", ".....Done",
                                      "\n Formatting Device Volume G:.....", ".....Done\n"));
    ExpectPartitioned();
    auto boot = ImageBytes("qm1", 63 * 512, 512);
    EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 90), "Tolmar     FAT32   ");

    // CreatePartitionCVD clears the drive first and reports nothing.
    Plug(false);
    ASSERT_EQ(EnumUSBDevicesCVD(), 1);
    Plug(true);
    controls::ClearJournal();
    std::string output = CapturedOutput([] { EXPECT_EQ(CreatePartitionCVD(), ATA_OK); });
    EXPECT_THAT(output, ::testing::Not(HasSubstr("\n ")));
    auto journal = controls::Journal();
    ASSERT_GE(journal.size(), 2u);
    EXPECT_EQ(std::tuple(journal[0].offset, journal[0].length), std::tuple(0u, 4096u));
    ExpectPartitioned();
    EXPECT_EQ(CreatePartitionCVD(), ATA_NO_NEW_DEVICE) << "the baseline holds it now";

    // Which drive the operations take, and when none: the first drive of the
    // scan not in the baseline, of a QM model in any case.
    Restart(larkin::test::MachineText("engine-stick-and-two-unplugged-qm"));
    // An empty baseline makes the first scanned drive, "a", the target.
    EXPECT_EQ((std::vector{ZeroPartitionInfo(), CreatePartition(), BaselineTable.count}),
              (std::vector<int>{ATA_WRONG_DRIVE, ATA_WRONG_DRIVE, 1}))
        << "the baseline replaced by the scan";
    EXPECT_TRUE(controls::Journal().empty());
    // Two new drives: the first in the adapters' order.
    ASSERT_TRUE(larkin::sim::Plug("c", true));
    ASSERT_TRUE(larkin::sim::Plug("b", true));
    EXPECT_EQ(ZeroPartitionInfo(), ATA_OK);
    EXPECT_THAT(WrittenDisks(), ElementsAre("b")) << "lower-case qm accepted, adapter order";
    DeviceTable probe{};
    ASSERT_EQ(ScanWithVerran(probe), 3);
    EXPECT_EQ(FindNewDevice(probe, 3), 1);
    EXPECT_EQ(FindNewDevice(probe, 1), std::nullopt);
    // A drive removed since the baseline: reported once, then nothing new.
    controls::ClearJournal();
    ASSERT_EQ(EnumUSBDevices(), 3);
    ASSERT_TRUE(larkin::sim::Plug("b", false));
    // ZeroPartitionInfo keeps the baseline, CreatePartition replaces it.
    EXPECT_EQ((std::vector{ZeroPartitionInfo(), BaselineTable.count, CreatePartition(),
                           BaselineTable.count, CreatePartition()}),
              (std::vector<int>{ATA_DEVICE_REMOVED, 3, ATA_DEVICE_REMOVED, 2, ATA_NO_NEW_DEVICE}));
    ASSERT_TRUE(larkin::sim::Plug("b", true));
    ASSERT_EQ(EnumUSBDevicesCVD(), 3);
    ASSERT_TRUE(larkin::sim::Plug("b", false));
    EXPECT_EQ(CreatePartitionCVD(), ATA_DEVICE_REMOVED);
    EXPECT_EQ(CreatePartitionCVD(), ATA_NO_NEW_DEVICE);
    EXPECT_TRUE(controls::Journal().empty());
    DeviceEntry row{};
    for (auto [name, supported] :
         {std::pair{"qM2", true}, {"", false}, {"Q", false}, {" QM", false}}) {
        CopyField(row.friendlyName, name);
        EXPECT_EQ(IsSupportedModel(row), supported) << name;
    }
}

TEST_F(TesselPartition, ZeroCreateAndCreateCvdEndWithAStatusAndWriteOnlyTheNewDrive) {
    Restart(larkin::test::MachineText("engine-stick-f-and-qm-g"));
    const auto saved = ReadFile(DiskImage("qm1"));
    for (auto [name, run, baseline] :
         {std::tuple{"ZeroPartitionInfo", &ZeroPartitionInfo, &EnumUSBDevices},
          {"CreatePartition", &CreatePartition, &EnumUSBDevices},
          {"CreatePartitionCVD", +[] { return int{CreatePartitionCVD()}; }, &EnumUSBDevicesCVD}}) {
        SCOPED_TRACE(name);
        int status = -1;
        auto prepare = [&] {
            PutBack("qm1", saved, 2);
            Plug(false);
            baseline();
            Plug(true);
            controls::ClearJournal();
        };
        auto op = [&] { status = run(); };
        prepare();
        op();
        ASSERT_EQ(status, ATA_OK);
        std::set<int> statuses;
        int runs = FailEachCallInTurn(
            op,
            [&] {
                EXPECT_TRUE(status >= ATA_OK && status <= ATA_ERROR) << status;
                statuses.insert(status);
                for (const auto& entry : controls::Journal()) EXPECT_EQ(entry.disk, "qm1");
            },
            prepare);
        EXPECT_GT(runs, 10);
        EXPECT_TRUE(statuses.contains(ATA_ERROR));
    }
}

}  // namespace
}  // namespace tessel::test
