// This computer's hardware through the Windows API, as the libraries use
// it: a loop device standing in for a USB stick is found through SetupDi,
// read and written as \\.\PhysicalDriveN and through its volume's letter,
// given a new partition table and asked through SCSI pass-through; every
// byte lands where the backing file says, and the journal names the stick
// alone. Letters stay with their sticks; the computer's own disk is listed
// and never opened for writing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "hardware_machine.h"
#include "larkin/simulation.h"

namespace larkin::test {
namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint32_t kFirst = 2048;  // the first sector of a shop stick's partition

// A stick as sold: an MBR with one FAT (LBA) partition from sector 2048.
void MakeShopStick(const LoopDevice& loop, const std::string& label = "SHOPSTICK") {
    uint64_t sectors = loop.Options().size / 512;
    loop.WriteBacking(0, Mbr({{0, 0x0C, kFirst, static_cast<uint32_t>(sectors - kFirst)}}));
    Outcome mkfs = Shell("mkfs.fat -n " + label + " --offset " + std::to_string(kFirst) + " " +
                         loop.Node() + " " + std::to_string((sectors - kFirst) / 2));
    ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
}

class LinuxMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Have("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing (scripts/install-deps)";
    }
    HardwareMachine machine_;
};

TEST_F(LinuxMachine, AStandInIsARemovableUsbDiskWithALetterAndItsOwnBytes) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    MakeShopStick(loop);
    auto marked = Pattern(4096, 0x31);
    loop.WriteBacking(40 * 512, marked);  // between the table and the partition
    LARKIN_START_MACHINE(machine_, &loop);

    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn) << "no USB adapter for " << loop.Node();
    EXPECT_EQ(standIn->description, "Larkin Test USB Stand-in");
    EXPECT_THAT(standIn->diskId, StartsWith("USBSTOR\\"));
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_GE(letters[0], "D:");  // C: is the running system's
    EXPECT_EQ(GetDriveTypeA((letters[0] + "\\").c_str()), static_cast<UINT>(DRIVE_REMOVABLE));
    auto extent = ExtentOf(letters[0]);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->first, kFirst * 512u);
    EXPECT_EQ(extent->second, 32 * kMiB - kFirst * 512);

    std::string driveName = "\\\\.\\PhysicalDrive" + std::to_string(standIn->disk);
    Handle drive = Open(driveName, GENERIC_READ);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    std::vector<BYTE> geometryBuffer(256);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                geometryBuffer.data(), 256, &returned, nullptr));
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, geometryBuffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    EXPECT_EQ(geometry.Geometry.MediaType, static_cast<DWORD>(RemovableMedia));
    EXPECT_EQ(geometry.Geometry.BytesPerSector, 512u);
    EXPECT_EQ(geometry.DiskSize.QuadPart, static_cast<LONGLONG>(32 * kMiB));

    // The disk reads what its backing file holds, by number and by the
    // interface path SetupDi gave.
    auto table = ReadAt(drive.Get(), 0, 512);
    ASSERT_TRUE(table);
    EXPECT_EQ(*table, loop.ReadBacking(0, 512));
    EXPECT_EQ(ReadAt(drive.Get(), 40 * 512, marked.size()), marked);
    Handle byPath = Open(standIn->interfacePath, GENERIC_READ);
    ASSERT_TRUE(byPath.Valid()) << GetLastError();
    EXPECT_EQ(ReadAt(byPath.Get(), 40 * 512, marked.size()), marked);
    // The volume sees only its partition: its sector 0 is the FAT boot sector.
    Handle volume = Open("\\\\.\\" + letters[0], GENERIC_READ);
    ASSERT_TRUE(volume.Valid()) << GetLastError();
    auto bootSector = ReadAt(volume.Get(), 0, 512);
    ASSERT_TRUE(bootSector);
    EXPECT_EQ(*bootSector, loop.ReadBacking(kFirst * 512, 512));
    std::string bootText(reinterpret_cast<const char*>(bootSector->data()), 90);
    EXPECT_THAT(bootText, HasSubstr("SHOPSTICK"));
    // Raw I/O moves whole sectors only.
    DWORD done = 0;
    std::vector<BYTE> half(256);
    EXPECT_FALSE(ReadFile(drive.Get(), half.data(), 256, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(LinuxMachine, WritesLandAtTheirOffsetsAndTheJournalNamesTheStickAlone) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    auto before = loop.ReadBacking(0, 4 * kMiB);

    Handle volume = Open("\\\\.\\" + letters[0], kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(volume.Get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                                nullptr))
        << GetLastError();
    auto onVolume = Pattern(8 * 512, 0x52);
    ASSERT_TRUE(WriteAt(volume.Get(), 10 * 512, onVolume)) << GetLastError();
    // Past the end of the volume nothing is written.
    EXPECT_FALSE(WriteAt(volume.Get(), 32 * kMiB - kFirst * 512 - 512, Pattern(1024, 1)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTOR_NOT_FOUND));
    volume.Close();

    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    auto onDisk = Pattern(512, 0x77);
    ASSERT_TRUE(WriteAt(drive.Get(), 100 * 512, onDisk)) << GetLastError();
    drive.Close();

    // The file behind the stand-in is the stick: never a plain file, which
    // would be written past the guard and the journal.
    for (DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{CREATE_ALWAYS}}) {
        Handle backing(CreateFileA(loop.BackingFile().c_str(), kReadWrite, 0, nullptr, disposition,
                                   0, nullptr));
        EXPECT_FALSE(backing.Valid());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }

    auto after = loop.ReadBacking(0, 4 * kMiB);
    auto expected = before;
    std::copy(onVolume.begin(), onVolume.end(), expected.begin() + (kFirst + 10) * 512);
    std::copy(onDisk.begin(), onDisk.end(), expected.begin() + 100 * 512);
    EXPECT_TRUE(after == expected) << "bytes changed beyond the two writes";

    auto journal = sim::Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].disk, "test-disk-" + loop.KernelName());
    EXPECT_EQ(journal[0].offset, (kFirst + 10) * 512u);
    EXPECT_EQ(journal[0].length, onVolume.size());
    EXPECT_TRUE(journal[0].completed);
    EXPECT_EQ(journal[1].disk, "test-disk-" + loop.KernelName());
    EXPECT_EQ(journal[1].offset, 100u * 512);
    EXPECT_EQ(journal[1].via, "WriteFile");
}

// The drive layout a library sets: slot 1 empty, a FAT16 partition, one of
// a type the system does not mount and a FAT32 one. The volumes are those
// of the new table, numbered as the system numbers partitions: each entry
// that holds one counts, mounted or not.
TEST_F(LinuxMachine, ANewDriveLayoutGivesTheVolumesOfTheNewTable) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    ASSERT_EQ(LettersOf(standIn->disk).size(), 1u);
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();

    constexpr DWORD kSize = DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX);
    std::vector<BYTE> buffer(kSize);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    layout->Mbr.Signature = 0x1A2B3C4D;
    struct Wanted {
        uint8_t type;
        uint64_t first, sectors;
    };
    const Wanted wanted[4] = {
        {0, 0, 0}, {0x0E, 2048, 8192}, {0x83, 10240, 8192}, {0x0C, 18432, 32 * 2048 - 18432}};
    for (int i = 0; i < 4; ++i) {
        auto& entry = layout->PartitionEntry[i];
        entry.PartitionStyle = PARTITION_STYLE_MBR;
        entry.StartingOffset.QuadPart = static_cast<LONGLONG>(wanted[i].first * 512);
        entry.PartitionLength.QuadPart = static_cast<LONGLONG>(wanted[i].sectors * 512);
        entry.Mbr.PartitionType = wanted[i].type;
        entry.RewritePartition = TRUE;
    }
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), kSize,
                                nullptr, 0, &returned, nullptr))
        << GetLastError();

    // On the stick itself: the signature and the entries, little-endian.
    auto sector0 = loop.ReadBacking(0, 512);
    EXPECT_EQ(std::to_integer<int>(sector0[440]), 0x4D);
    EXPECT_EQ(std::to_integer<int>(sector0[446 + 4]), 0);
    EXPECT_EQ(std::to_integer<int>(sector0[446 + 16 + 4]), 0x0E);
    EXPECT_EQ(std::to_integer<int>(sector0[446 + 48 + 4]), 0x0C);

    std::vector<BYTE> readBack(kSize + 1024);
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                readBack.data(), static_cast<DWORD>(readBack.size()), &returned,
                                nullptr));
    auto* read = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(readBack.data());
    EXPECT_EQ(read->Mbr.Signature, 0x1A2B3C4Du);
    ASSERT_EQ(read->PartitionCount, 4u);
    std::vector<DWORD> numbers;
    for (DWORD i = 0; i < 4; ++i) numbers.push_back(read->PartitionEntry[i].PartitionNumber);
    EXPECT_THAT(numbers, ElementsAre(0u, 1u, 2u, 3u));

    // Volumes for the two FAT partitions: numbers 1 and 3, at their places.
    using Extent = std::pair<uint64_t, uint64_t>;
    std::vector<std::pair<uint32_t, Extent>> volumes;
    for (const auto& volume : LetteredVolumes()) {
        if (volume.error != ERROR_SUCCESS || volume.disk != standIn->disk) continue;
        auto extent = ExtentOf(volume.letter);
        ASSERT_TRUE(extent) << volume.letter;
        volumes.emplace_back(volume.partition, *extent);
    }
    std::sort(volumes.begin(), volumes.end());
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].first, 1u);
    EXPECT_EQ(volumes[0].second, Extent(2048 * 512, 8192 * 512));
    EXPECT_EQ(volumes[1].first, 3u);
    EXPECT_EQ(volumes[1].second, Extent(18432 * 512, (32 * 2048 - 18432) * 512ull));

    auto journal = sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].disk, "test-disk-" + loop.KernelName());
    EXPECT_EQ(journal[0].via, "drive layout");
    EXPECT_EQ(journal[0].offset, 0u);
}

// One SCSI command through IOCTL_SCSI_PASS_THROUGH_DIRECT.
struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT request;
    ULONG filler;
    BYTE sense[32];
};

bool SendCommand(HANDLE handle, std::vector<BYTE> cdb, UCHAR direction, std::vector<BYTE>& data,
                 PassThrough* record, UCHAR target = 0) {
    *record = PassThrough{};
    record->request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record->request.TargetId = target;
    record->request.CdbLength = static_cast<UCHAR>(cdb.size());
    record->request.SenseInfoLength = sizeof record->sense;
    record->request.SenseInfoOffset = offsetof(PassThrough, sense);
    record->request.DataIn = direction;
    record->request.DataTransferLength = static_cast<ULONG>(data.size());
    record->request.DataBuffer = data.empty() ? nullptr : data.data();
    record->request.TimeOutValue = 10;
    std::memcpy(record->request.Cdb, cdb.data(), cdb.size());
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, record, sizeof *record, record,
                           sizeof *record, &returned, nullptr);
}

TEST_F(LinuxMachine, TheStandInAnswersScsiCommandsAsAUsbStick) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    PassThrough record{};

    std::vector<BYTE> inquiry(36);
    ASSERT_TRUE(
        SendCommand(drive.Get(), {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, &record))
        << GetLastError();
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(inquiry[0] & 0x1F, 0);     // a disk
    EXPECT_EQ(inquiry[1] & 0x80, 0x80);  // removable
    std::string identity(reinterpret_cast<const char*>(&inquiry[8]), 24);
    EXPECT_THAT(identity, HasSubstr("Larkin")) << identity;

    std::vector<BYTE> capacity(8);
    ASSERT_TRUE(SendCommand(drive.Get(), {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN,
                            capacity, &record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    auto be32 = [&](size_t at) {
        return uint32_t{capacity[at]} << 24 | uint32_t{capacity[at + 1]} << 16 |
               uint32_t{capacity[at + 2]} << 8 | capacity[at + 3];
    };
    EXPECT_EQ(be32(0), 16 * 2048u - 1);  // the last block
    EXPECT_EQ(be32(4), 512u);

    std::vector<BYTE> sectors(1024);
    ASSERT_TRUE(SendCommand(drive.Get(), {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, SCSI_IOCTL_DATA_IN,
                            sectors, &record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    auto backing = loop.ReadBacking(0, 1024);
    EXPECT_EQ(std::memcmp(sectors.data(), backing.data(), 1024), 0);

    auto written = Pattern(512, 0x44);
    std::vector<BYTE> out(512);
    std::memcpy(out.data(), written.data(), 512);
    ASSERT_TRUE(SendCommand(drive.Get(), {0x2A, 0, 0, 0, 0, 60, 0, 0, 1, 0}, SCSI_IOCTL_DATA_OUT,
                            out, &record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(loop.ReadBacking(60 * 512, 512), written);
    // A block past the end is the target's CHECK CONDITION, nothing written.
    ASSERT_TRUE(SendCommand(drive.Get(), {0x28, 0, 0, 0, 0x80, 0, 0, 0, 1, 0}, SCSI_IOCTL_DATA_IN,
                            out, &record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_GE(record.request.SenseInfoLength, 14);
    EXPECT_EQ(record.sense[2] & 0x0F, 0x05);  // ILLEGAL REQUEST

    auto journal = sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].disk, "test-disk-" + loop.KernelName());
    EXPECT_EQ(journal[0].offset, 60u * 512);
    EXPECT_EQ(journal[0].length, 512u);
    EXPECT_EQ(journal[0].via, "SCSI WRITE(10)");

    // ASPI reaches the same target through its host.
    ASSERT_GE(LarkinScsiHostCount(), 1u);
    bool answered = false;
    for (DWORD host = 0; host < LarkinScsiHostCount(); ++host) {
        std::vector<BYTE> again(36);
        BYTE cdb[6] = {0x12, 0, 0, 0, 36, 0};
        BYTE status = 0xFF;
        if (LarkinScsiExecute(host, 0, 0, cdb, 6, LARKIN_SCSI_DATA_IN, again.data(), 36, nullptr, 0,
                              &status) == ERROR_SUCCESS &&
            again == inquiry)
            answered = status == SCSISTAT_GOOD;
    }
    EXPECT_TRUE(answered);
}

// The stand-ins' letters, read through the API.
std::vector<std::string> LettersOfStick(const LoopDevice& loop) {
    auto standIn = FindStandIn(loop);
    return standIn ? LettersOf(standIn->disk) : std::vector<std::string>{};
}

TEST_F(LinuxMachine, LettersStayWithTheirSticksWhileOthersComeAndGo) {
    LoopDevice first;
    LARKIN_ATTACH_LOOP(first, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(first, "FIRST");
    LARKIN_START_MACHINE(machine_, &first);
    auto letters = LettersOfStick(first);
    ASSERT_EQ(letters.size(), 1u);
    const std::string letter = letters[0];

    std::string secondLetter;
    // A stand-in is known by its loop device's number: the second stays
    // attached (but unlisted) so that no later stick of this test takes its
    // number and, with it, its identity.
    LoopDevice second;
    {
        LARKIN_ATTACH_LOOP(second, LoopOptions{.size = 16 * kMiB});
        MakeShopStick(second, "SECOND");
        LARKIN_START_MACHINE(machine_, &second, &first);
        EXPECT_THAT(LettersOfStick(first), ElementsAre(letter));
        auto seconds = LettersOfStick(second);
        ASSERT_EQ(seconds.size(), 1u);
        secondLetter = seconds[0];
        EXPECT_NE(secondLetter, letter);
        LARKIN_START_MACHINE(machine_);  // every handle on the second closed
    }
    // The second stick is gone; the first keeps its letter, listed alone or
    // with a third.
    LARKIN_START_MACHINE(machine_, &first);
    EXPECT_THAT(LettersOfStick(first), ElementsAre(letter));
    LoopDevice third;
    LARKIN_ATTACH_LOOP(third, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(third, "THIRD");
    LARKIN_START_MACHINE(machine_, &third, &first);
    EXPECT_THAT(LettersOfStick(first), ElementsAre(letter));
    auto thirds = LettersOfStick(third);
    ASSERT_EQ(thirds.size(), 1u);
    EXPECT_NE(thirds[0], letter);

    // The first stick away while the third stays, then back: its letter
    // waited for it, and the third's did not move.
    LARKIN_START_MACHINE(machine_, &third);
    EXPECT_FALSE(FindStandIn(first));
    EXPECT_THAT(LettersOfStick(third), ElementsAre(thirds[0]));
    LARKIN_START_MACHINE(machine_, &third, &first);
    EXPECT_THAT(LettersOfStick(first), ElementsAre(letter));
    EXPECT_THAT(LettersOfStick(third), ElementsAre(thirds[0]));

    // A stick of 25 volumes while the others are away takes the free letters
    // only: a letter never moves to another stick, whatever comes.
    LoopDevice many;
    LARKIN_ATTACH_LOOP(many, LoopOptions{.size = 64 * kMiB});
    std::string table = "label: dos\\n,1M,e\\n,1M,e\\n,1M,e\\n,,5\\n";
    for (int i = 0; i < 22; ++i) table += ",1M,e\\n";
    Outcome made = Shell("printf '" + table + "' | sfdisk -q " + many.BackingFile());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    LARKIN_START_MACHINE(machine_, &many);
    auto manys = LettersOfStick(many);
    EXPECT_LT(manys.size(), 25u);
    EXPECT_THAT(manys, Not(AnyOf(Contains(letter), Contains(secondLetter), Contains(thirds[0]))));
    LARKIN_START_MACHINE(machine_, &many, &third, &first);
    EXPECT_THAT(LettersOfStick(first), ElementsAre(letter));
    EXPECT_THAT(LettersOfStick(third), ElementsAre(thirds[0]));
}

// The block devices this process has open for writing, by device number.
std::set<dev_t> DevicesOpenForWriting() {
    std::set<dev_t> devices;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string field;
        unsigned long flags = 0;
        while (info >> field)
            if (field == "flags:") info >> std::oct >> flags >> std::dec;
        if ((flags & O_ACCMODE) != O_RDONLY) devices.insert(status.st_rdev);
    }
    return devices;
}

// A reader, by disk or by volume, holds the stick read-only: it never stands
// in the way of the system's own use of it. A writer holds it for writing.
TEST_F(LinuxMachine, HandlesThatOnlyReadHoldTheStickReadOnly) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    struct stat node {};
    ASSERT_EQ(::stat(loop.Node().c_str(), &node), 0);

    std::string driveName = "\\\\.\\PhysicalDrive" + std::to_string(standIn->disk);
    Handle drive = Open(driveName, GENERIC_READ);
    Handle volume = Open("\\\\.\\" + letters[0], GENERIC_READ);
    ASSERT_TRUE(drive.Valid() && volume.Valid()) << GetLastError();
    EXPECT_EQ(DevicesOpenForWriting().count(node.st_rdev), 0u);
    Handle writer = Open(driveName, kReadWrite);
    ASSERT_TRUE(writer.Valid()) << GetLastError();
    EXPECT_EQ(DevicesOpenForWriting().count(node.st_rdev), 1u);
}

// The interface paths of every disk SetupDi lists.
std::vector<std::string> DiskInterfacePaths() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, i, &data);
         ++i) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<char> buffer(
            std::max<DWORD>(needed, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// The computer's own disks are listed, and never opened for writing,
// whichever way a program asks. (Where the system lets this process read
// them, they are read.)
TEST_F(LinuxMachine, TheComputersOwnDisksAreListedAndNeverOpenedForWriting) {
    LARKIN_START_MACHINE(machine_);
    auto disks = DiskInterfacePaths();
    if (disks.empty()) GTEST_SKIP() << "this computer shows no disks";
    std::vector<Handle> readers;
    for (const auto& path : disks) {
        Handle writer = Open(path, kReadWrite);
        EXPECT_FALSE(writer.Valid()) << path << " was opened for writing";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        Handle reader = Open(path, GENERIC_READ);
        if (!reader.Valid()) continue;
        std::vector<BYTE> geometry(256);
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(reader.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                    geometry.data(), 256, &returned, nullptr));
        readers.push_back(std::move(reader));
    }
    EXPECT_TRUE(DevicesOpenForWriting().empty());

    // The running system's volume is C:, fixed, refused to outside tools.
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    Handle system = Open("\\\\.\\C:", kReadWrite);
    EXPECT_FALSE(system.Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    LARKIN_TOOL_VOLUME where{};
    EXPECT_EQ(LarkinOpenVolumeForTool("C:", "mkfs.fat", TRUE, &where), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // A write command through any SCSI port is refused before it leaves
    // (of no blocks, so that not even a fault here could change a thing).
    int refused = 0;
    for (int port = 0; port < 32; ++port) {
        Handle scsi = Open("\\\\.\\scsi" + std::to_string(port) + ":", kReadWrite);
        if (!scsi.Valid()) continue;
        for (UCHAR target = 0; target < 2; ++target) {
            std::vector<BYTE> none;
            PassThrough record{};
            if (SendCommand(scsi.Get(), {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_OUT,
                            none, &record, target))
                ADD_FAILURE() << "a write went to port " << port << " target " << int(target);
            else if (GetLastError() == ERROR_ACCESS_DENIED)
                ++refused;
        }
    }
    EXPECT_GE(refused, 1) << "no SCSI port reaches a disk of this computer";
    EXPECT_TRUE(DevicesOpenForWriting().empty());
    EXPECT_TRUE(sim::Journal().empty());
}

}  // namespace
}  // namespace larkin::test
