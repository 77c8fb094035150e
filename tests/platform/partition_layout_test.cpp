// One partition model under the drive layout and the volumes: logical
// drives, CHS fields clamped past cylinder 1023, and an extended chain that
// loops read once.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TestMachine;

// A disk opened for reading and writing, its sectors 512 bytes.
class Disk : public larkin::test::Handle {
  public:
    explicit Disk(const char* name) : Handle(larkin::test::Open(name)) {}

    void WriteSector(uint64_t lba, std::array<BYTE, 512> sector) {
        sector[510] = 0x55;
        sector[511] = 0xAA;
        ASSERT_TRUE(larkin::test::WriteAt(Get(), lba * 512, sector)) << GetLastError();
    }
    // The layout as the system reads it after the table changed.
    std::vector<PARTITION_INFORMATION_EX> Layout() {
        larkin::test::Control(Get(), IOCTL_DISK_UPDATE_PROPERTIES);
        std::vector<BYTE> buffer(64 * 1024);
        EXPECT_TRUE(larkin::test::Control(Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                          buffer.data(), static_cast<DWORD>(buffer.size())))
            << GetLastError();
        auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
        return {layout->PartitionEntry, layout->PartitionEntry + layout->PartitionCount};
    }
};

void Entry(BYTE* at, BYTE type, uint32_t first, uint32_t count) {
    at[4] = type;
    std::memcpy(at + 8, &first, 4);
    std::memcpy(at + 12, &count, 4);
}

// Partition numbers of the volumes on disk, in the order the system lists them.
std::vector<DWORD> VolumeNumbers(DWORD disk) {
    std::vector<DWORD> numbers;
    char name[MAX_PATH];
    HANDLE search = FindFirstVolumeA(name, sizeof name);
    if (search == INVALID_HANDLE_VALUE) return numbers;
    do {
        std::string path(name);
        path.pop_back();  // no trailing backslash to open it
        if (auto number = larkin::test::DeviceNumber(path); number && number->DeviceNumber == disk)
            numbers.push_back(number->PartitionNumber);
    } while (FindNextVolumeA(search, name, sizeof name));
    FindVolumeClose(search);
    return numbers;
}

// Each logical drive adds four entries to the layout, more than 2,496
// bytes hold for six of them, and takes the next number; an extended chain
// that loops is read once. (How primary entries are numbered is the
// conformance suite's.)
TEST(PartitionModel, ExtendedChains) {
    TestMachine machine(MachineText("platform-two-sticks"));
    Disk stick("\\\\.\\PhysicalDrive2");
    ASSERT_TRUE(stick.Valid());
    std::array<BYTE, 512> mbr{};
    Entry(&mbr[446], 0x05, 2048, 12000);
    Entry(&mbr[462], 0x06, 100, 0);  // a type but no sectors: no partition, no number
    stick.WriteSector(0, mbr);
    for (uint32_t i = 0; i < 6; ++i) {
        std::array<BYTE, 512> ebr{};
        Entry(&ebr[446], 0x06, 63, 1000);
        if (i < 5) Entry(&ebr[462], 0x05, (i + 1) * 2000, 2000);
        stick.WriteSector(2048 + i * 2000, ebr);
    }
    std::vector<BYTE> buffer(2496 + 576 * 3);
    for (DWORD tooSmall : {2496u, 2496u + 576 * 2})
        LARKIN_EXPECT_FAILS(larkin::test::Control(stick.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX,
                                                  nullptr, 0, buffer.data(), tooSmall),
                            ERROR_INSUFFICIENT_BUFFER);
    auto layout = stick.Layout();
    ASSERT_EQ(layout.size(), 28u);
    EXPECT_EQ(layout[4].PartitionNumber, 1u);  // the first logical drive
    EXPECT_EQ(layout[4].StartingOffset.QuadPart, (2048 + 63) * 512);
    EXPECT_EQ(layout[4].Mbr.HiddenSectors, 63u);

    // 2048 -> 4048 -> 6048 -> back to 4048.
    std::array<BYTE, 512> ebr{};
    Entry(&ebr[446], 0x06, 63, 1000);
    Entry(&ebr[462], 0x05, 2000, 2000);
    stick.WriteSector(6048, ebr);
    layout = stick.Layout();
    ASSERT_EQ(layout.size(), 4u + 3 * 4);
    EXPECT_EQ(layout[4].PartitionNumber, 1u);
    EXPECT_EQ(layout[12].PartitionNumber, 3u);
    EXPECT_EQ(VolumeNumbers(2), (std::vector<DWORD>{1, 2, 3}));
}

TEST(PartitionModel, ChsFieldsStopAtCylinder1023) {
    TestMachine machine(MachineText("platform-2gib-disk"));
    Disk disk("\\\\.\\PhysicalDrive0");
    ASSERT_TRUE(disk.Valid());
    std::vector<BYTE> buffer(DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX));
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    auto& first = layout->PartitionEntry[0];
    first.StartingOffset.QuadPart = 63 * 512;
    first.PartitionLength.QuadPart = (2048LL << 20) - 63 * 512;
    first.Mbr.PartitionType = 0x0E;
    first.Mbr.BootIndicator = TRUE;
    ASSERT_TRUE(larkin::test::Control(disk.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(),
                                      static_cast<DWORD>(buffer.size())))
        << GetLastError();
    auto mbr = larkin::test::ReadAt(disk.Get(), 0, 512);
    ASSERT_TRUE(mbr);
    // Start: cylinder 0, head 1, sector 1 (LBA 63 on 16 heads of 63 sectors);
    // end: cylinder 4161 lies past 1023, so the highest CHS address there is.
    EXPECT_EQ(std::vector<std::byte>(mbr->begin() + 447, mbr->begin() + 454),
              (std::vector<std::byte>{std::byte{1}, std::byte{1}, std::byte{0}, std::byte{0x0E},
                                      std::byte{15}, std::byte{0xFF}, std::byte{0xFF}}));
}

}  // namespace
