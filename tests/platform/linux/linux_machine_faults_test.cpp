// Sticks that fail on this computer's hardware, seen through the Windows
// API: pulled out while open, write-protected, with 4096-byte sectors,
// empty, or gone between the listing and the open. Each gives the Windows
// error the libraries look for, nothing crashes, and nothing is written
// anywhere else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <span>
#include <thread>

#include "hardware_machine.h"
#include "larkin/simulation.h"

namespace larkin::test {
namespace {

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::Field;

constexpr uint64_t kMiB = 1ull << 20;

// Long enough for the platform to look at the hardware again by itself.
void AwaitNextLook() {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// An MBR with one FAT partition from the second MiB, formatted through the
// backing file (so that a write-protected stick can have one too).
void MakeShopStick(const LoopDevice& loop) {
    uint32_t sectorSize = loop.Options().sectorSize;
    uint64_t sectors = loop.Options().size / sectorSize;
    uint32_t first = static_cast<uint32_t>(kMiB / sectorSize);
    loop.WriteBacking(0, Mbr({{0, 0x0C, first, static_cast<uint32_t>(sectors - first)}}));
    Outcome mkfs = Shell("mkfs.fat -S " + std::to_string(sectorSize) + " -n SHOPSTICK --offset " +
                         std::to_string(kMiB / 512) + " " + loop.BackingFile() + " " +
                         std::to_string((loop.Options().size - kMiB) / 1024));
    ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
}

bool Lock(HANDLE volume) {
    DWORD returned = 0;
    return DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
}

class LinuxMachineFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Have("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing (scripts/install-deps)";
    }
};

TEST_F(LinuxMachineFaults, AStickPulledOutWhileOpenFailsAsNotReady) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    Handle volume = Open("\\\\.\\" + letters[0], kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();
    ASSERT_TRUE(Lock(volume.Get())) << GetLastError();
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    ASSERT_TRUE(WriteAt(volume.Get(), 0, Pattern(4096, 1))) << GetLastError();

    loop.Detach();
    EXPECT_FALSE(WriteAt(volume.Get(), 4096, Pattern(4096, 2)));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 3)));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(ReadAt(drive.Get(), 0, 512));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    std::vector<BYTE> layout(4096);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                 layout.data(), 4096, &returned, nullptr));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));

    // The one write that reached the stick is the one on record as done;
    // whatever began after it is on record as unfinished.
    auto journal = sim::Journal();
    ASSERT_GE(journal.size(), 1u);
    EXPECT_THAT(journal, Each(Field(&sim::JournalEntry::disk, "test-disk-" + loop.KernelName())));
    EXPECT_TRUE(journal[0].completed);
    for (size_t i = 1; i < journal.size(); ++i) EXPECT_FALSE(journal[i].completed);
    // An empty slot is all that is left of it.
    EXPECT_THAT(LettersOf(standIn->disk), ::testing::IsEmpty());
}

TEST_F(LinuxMachineFaults, AWriteProtectedStickIsReadAndLockedButNeverWritten) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB, .readOnly = true});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    auto before = loop.ReadBacking(0, 2 * kMiB);

    Handle volume = Open("\\\\.\\" + letters[0], kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();
    EXPECT_TRUE(Lock(volume.Get())) << GetLastError();
    EXPECT_EQ(ReadAt(volume.Get(), 0, 512), loop.ReadBacking(kMiB, 512));
    EXPECT_FALSE(WriteAt(volume.Get(), 0, Pattern(512, 4)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));

    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 5)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    std::vector<BYTE> layout(DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX));
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                layout.data(), static_cast<DWORD>(layout.size()), &returned,
                                nullptr));
    EXPECT_FALSE(DeviceIoControl(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(),
                                 static_cast<DWORD>(layout.size()), nullptr, 0, &returned,
                                 nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    // The SCSI target says DATA PROTECT, as a stick with its switch set.
    bool reached = false;
    for (DWORD host = 0; host < LarkinScsiHostCount(); ++host) {
        std::vector<BYTE> sector(512, 0xEE);
        BYTE write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        BYTE sense[18] = {};
        BYTE status = 0xFF;
        DWORD error = LarkinScsiExecute(host, 0, 0, write, 10, LARKIN_SCSI_DATA_OUT, sector.data(),
                                        512, sense, sizeof sense, &status);
        if (error != ERROR_SUCCESS) continue;
        reached = true;
        EXPECT_EQ(status, SCSISTAT_CHECK_CONDITION);
        EXPECT_EQ(sense[2] & 0x0F, 0x07);
        EXPECT_EQ(sense[12], 0x27);  // WRITE PROTECTED
    }
    EXPECT_TRUE(reached);
    EXPECT_TRUE(loop.ReadBacking(0, 2 * kMiB) == before);
    for (const auto& entry : sim::Journal()) {
        EXPECT_EQ(entry.disk, "test-disk-" + loop.KernelName());
        EXPECT_FALSE(entry.completed) << entry.via;
    }
}

TEST_F(LinuxMachineFaults, A4096ByteSectorStickMovesWholeSectorsOfItsOwnSize) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB, .sectorSize = 4096});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();

    std::vector<BYTE> buffer(256);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                buffer.data(), 256, &returned, nullptr));
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    EXPECT_EQ(geometry.Geometry.BytesPerSector, 4096u);
    EXPECT_EQ(geometry.DiskSize.QuadPart, static_cast<LONGLONG>(16 * kMiB));

    auto before = loop.ReadBacking(0, 2 * kMiB);
    EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 6)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadAt(drive.Get(), 512, 512));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(loop.ReadBacking(0, 2 * kMiB) == before);
    ASSERT_TRUE(WriteAt(drive.Get(), 4 * 4096, Pattern(8192, 7))) << GetLastError();
    EXPECT_EQ(loop.ReadBacking(4 * 4096, 8192), Pattern(8192, 7));

    // The volume lies where the table says, counted in the stick's sectors.
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    auto extent = ExtentOf(letters[0]);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->first, kMiB);
    EXPECT_EQ(extent->second, 15 * kMiB);
}

// A drive layout counts bytes; the table on a stick of 4096-byte sectors
// counts its own sectors, as the system reads it.
TEST_F(LinuxMachineFaults, A4096ByteSectorStickTakesALayoutInItsOwnSectors) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB, .sectorSize = 4096});
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();

    constexpr DWORD kSize = DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX);
    std::vector<BYTE> buffer(kSize);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    for (auto& entry : std::span(layout->PartitionEntry, 4)) {
        entry.PartitionStyle = PARTITION_STYLE_MBR;
        entry.RewritePartition = TRUE;
    }
    layout->PartitionEntry[0].StartingOffset.QuadPart = static_cast<LONGLONG>(kMiB);
    layout->PartitionEntry[0].PartitionLength.QuadPart = static_cast<LONGLONG>(4 * kMiB);
    layout->PartitionEntry[0].Mbr.PartitionType = 0x0C;
    DWORD returned = 0;
    // Not a whole number of the stick's sectors.
    layout->PartitionEntry[0].StartingOffset.QuadPart += 512;
    EXPECT_FALSE(DeviceIoControl(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), kSize,
                                 nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    layout->PartitionEntry[0].StartingOffset.QuadPart -= 512;
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), kSize,
                                nullptr, 0, &returned, nullptr))
        << GetLastError();

    auto sector0 = loop.ReadBacking(0, 512);
    auto le32 = [&](size_t at) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | std::to_integer<uint32_t>(sector0[at + i]);
        return value;
    };
    EXPECT_EQ(le32(446 + 8), kMiB / 4096);
    EXPECT_EQ(le32(446 + 12), 4 * kMiB / 4096);

    std::vector<BYTE> readBack(kSize);
    ASSERT_TRUE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                readBack.data(), kSize, &returned, nullptr));
    auto* read = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(readBack.data());
    EXPECT_EQ(read->PartitionEntry[0].StartingOffset.QuadPart, static_cast<LONGLONG>(kMiB));
    EXPECT_EQ(read->PartitionEntry[0].PartitionLength.QuadPart, static_cast<LONGLONG>(4 * kMiB));
    EXPECT_EQ(read->PartitionEntry[0].Mbr.HiddenSectors, kMiB / 4096);

    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    auto extent = ExtentOf(letters[0]);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->first, kMiB);
    EXPECT_EQ(extent->second, 4 * kMiB);
}

TEST_F(LinuxMachineFaults, AnEmptyStickIsAnEmptySlot) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 0});
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    ASSERT_TRUE(drive.Valid()) << GetLastError();
    EXPECT_FALSE(ReadAt(drive.Get(), 0, 512));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 8)));
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    std::vector<BYTE> layout(4096);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                 layout.data(), 4096, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));

    // Its slot has a letter, and the letter no media.
    std::vector<LetteredVolume> slots;
    for (const auto& volume : LetteredVolumes())
        if (volume.error == ERROR_NOT_READY) slots.push_back(volume);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_FALSE(ExtentOf(slots[0].letter));
    Handle slot = Open("\\\\.\\" + slots[0].letter, kReadWrite);
    ASSERT_TRUE(slot.Valid()) << GetLastError();
    EXPECT_FALSE(ReadAt(slot.Get(), 0, 512));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(WriteAt(slot.Get(), 0, Pattern(512, 9)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    slot.Close();
    LARKIN_TOOL_VOLUME where{};
    EXPECT_EQ(LarkinOpenVolumeForTool(slots[0].letter.c_str(), "mkfs.fat", TRUE, &where),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(sim::Journal().empty() ||
                std::none_of(sim::Journal().begin(), sim::Journal().end(),
                             [](const auto& entry) { return entry.completed; }));
}

TEST_F(LinuxMachineFaults, AStickGoneBetweenTheListingAndTheOpen) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);

    const std::string node = loop.Node();
    ASSERT_TRUE(loop.Vanish()) << node << " could not be taken away";
    // Before the platform looks again the open may still succeed (then
    // nothing can be written), or be refused.
    Handle volume = Open("\\\\.\\" + letters[0], kReadWrite);
    if (volume.Valid()) {
        EXPECT_FALSE(WriteAt(volume.Get(), 0, Pattern(512, 10)));
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    } else {
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_FILE_NOT_FOUND));
    }
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    if (drive.Valid()) {
        EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 11)));
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    } else {
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_FILE_NOT_FOUND));
    }
    volume.Close();
    drive.Close();
    // Once the platform looks again, the stick is not there at all.
    AwaitNextLook();
    EXPECT_FALSE(FindStandIn(loop));
    EXPECT_FALSE(Open("\\\\.\\" + letters[0], GENERIC_READ).Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Open(standIn->interfacePath, GENERIC_READ).Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (const auto& entry : sim::Journal()) EXPECT_FALSE(entry.completed);

    // Plugged in again on its number, it comes back with its letter.
    ASSERT_EQ(loop.Replug(), "");
    if (loop.Node() != node) GTEST_SKIP() << node << " was taken meanwhile";
    AwaitNextLook();
    auto back = FindStandIn(loop);
    ASSERT_TRUE(back);
    EXPECT_EQ(LettersOf(back->disk), letters);
}

}  // namespace
}  // namespace larkin::test
