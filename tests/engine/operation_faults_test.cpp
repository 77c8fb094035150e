// Every platform call of the make-bootable flow and of the partition
// operations failing once, in turn.
#include <cstring>
#include <fstream>

#include "boot_harness.h"
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "partition/partition_operations.h"

namespace tessel::test {
namespace {

// The last line the engine itself wrote ("\n text" pairs), or "".
std::string LastEngineLine(const std::string& output) {
    const std::size_t at = output.rfind("\n ");
    return at == std::string::npos ? "" : output.substr(at + 1, output.find('\n', at + 1) - at - 1);
}

// Puts a disk image back as saved (only the changed chunks, for speed) and
// has the system read its table again.
class SavedImage {
  public:
    explicit SavedImage(const std::string& id) : id_(id), bytes_(ReadFile(DiskImage(id))) {}
    void Restore(int diskNumber) const {
        std::fstream image(DiskImage(id_), std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> chunk(kChunk);
        for (std::size_t at = 0; at < bytes_.size(); at += kChunk) {
            const auto length = static_cast<std::streamsize>(std::min(kChunk, bytes_.size() - at));
            const char* saved = reinterpret_cast<const char*>(bytes_.data()) + at;
            image.seekg(static_cast<std::streamoff>(at)).read(chunk.data(), length);
            if (std::memcmp(chunk.data(), saved, length) != 0)
                image.seekp(static_cast<std::streamoff>(at)).write(saved, length);
        }
        image.close();
        HANDLE drive = OpenDisk(diskNumber);
        DWORD returned = 0;
        DeviceIoControl(drive, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                        nullptr);
        CloseHandle(drive);
    }

  private:
    static constexpr std::size_t kChunk = 1024 * 1024;
    std::string id_;
    std::vector<std::uint8_t> bytes_;
};

class TesselOperationFaults : public EngineTest {};

TEST_F(TesselOperationFaults, CreateUSBBoot) {
    Restart(larkin::test::MachineText("engine-formatted-sticks-e-and-f"));
    ASSERT_TRUE(PutOnFloppy(larkin::test::boot::TestKernelFile(), "KERNEL.SYS"));
    ASSERT_EQ(GetUSBDevCount(), 2);
    const DeviceTable listed = CurrentTable;
    SavedImage saved("stick1");
    int status = -1;
    std::string output;
    auto prepare = [&] {
        saved.Restore(1);
        CurrentTable = listed;
        larkin::controls::ClearJournal();
    };
    auto op = [&] { output = CapturedOutput([&] { status = CreateUSBBoot("E:", "A:", 1); }); };
    prepare();
    op();
    ASSERT_EQ(status, ATA_OK) << output;

    // The last lines the flow gives for its steps ("": the drive could not be opened).
    const std::set<std::string> failures = {"",
                                            " CreateProcess failed.",
                                            " Unable to Lock volume",
                                            " Unable to UnLock volume",
                                            " ERROR Seeking Dest",
                                            " ERROR Writing to Dest",
                                            " Unable to pull drive Geometry information",
                                            " Unable to open Tessel.DLL",
                                            " Unable to read Boot Record",
                                            " Unable to format the Destination Drive",
                                            " Unable to copy the Boot Files",
                                            std::string(kDriveChangedLine).substr(1)};
    std::set<std::string> endings;
    int runs = FailEachCallInTurn(
        op,
        [&](const std::string&, int) {
            std::string last = LastEngineLine(output);
            EXPECT_TRUE(status == ATA_OK
                            ? output.ends_with("....Done\n")
                            : status == ATA_ERROR &&
                                  (failures.contains(last) ||
                                   last.starts_with(" Formatted boot sector refused: ")))
                << status << ", last line: " << last << "\n"
                << output;
            endings.insert(status == ATA_OK ? "ok" : last);
            for (const auto& entry : larkin::controls::Journal()) EXPECT_EQ(entry.disk, "stick1");
        },
        prepare);
    EXPECT_GT(runs, 50);
    // The faults reach most of the flow's failure exits.
    EXPECT_GE(endings.size(), 6u);
}

// The partition operations on a QM stick plugged in after the baseline.
TEST_F(TesselOperationFaults, ZeroCreateAndCreateCvdEndWithAStatusAndWriteOnlyTheNewDrive) {
    Restart(larkin::test::MachineText("engine-stick-f-and-qm-g"));
    for (auto [name, run, baseline] :
         {std::tuple{"ZeroPartitionInfo", &ZeroPartitionInfo, &EnumUSBDevices},
          {"CreatePartition", &CreatePartition, &EnumUSBDevices},
          {"CreatePartitionCVD", +[] { return int{CreatePartitionCVD()}; }, &EnumUSBDevicesCVD}}) {
        SCOPED_TRACE(name);
        SavedImage saved("qm1");
        int status = -1;
        auto prepare = [&] {
            saved.Restore(2);
            ASSERT_TRUE(larkin::sim::Plug("qm1", false));
            baseline();
            ASSERT_TRUE(larkin::sim::Plug("qm1", true));
            larkin::controls::ClearJournal();
        };
        auto op = [&] { status = run(); };
        prepare();
        op();
        ASSERT_EQ(status, ATA_OK);
        std::set<int> statuses;
        int runs = FailEachCallInTurn(
            op,
            [&](const std::string&, int) {
                EXPECT_TRUE(status >= ATA_OK && status <= ATA_ERROR) << status;
                statuses.insert(status);
                for (const auto& entry : larkin::controls::Journal()) EXPECT_EQ(entry.disk, "qm1");
            },
            prepare);
        EXPECT_GT(runs, 10);
        EXPECT_TRUE(statuses.contains(ATA_ERROR));
    }
}

}  // namespace
}  // namespace tessel::test
