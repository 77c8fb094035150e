// Disk, volume, storage and SCSI requests: sizing, identities, layouts and
// the volumes that follow a re-read.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "machines.h"
#include "test_machine.h"

namespace {

using larkin::test::TestMachine;

HANDLE Open(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

DWORD Control(HANDLE handle, DWORD code, void* out, DWORD outSize, DWORD* returned = nullptr) {
    DWORD ignored = 0;
    return DeviceIoControl(handle, code, nullptr, 0, out, outSize, returned ? returned : &ignored,
                           nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

std::vector<std::string> Letters() {
    std::vector<std::string> letters;
    DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
        if (mask & (1u << i)) letters.push_back(std::string(1, static_cast<char>('A' + i)) + ":");
    return letters;
}

TEST(Geometry, ReportsTheDiskAndRefusesSmallBuffers) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive1");
    std::array<BYTE, 120> buffer{};
    DWORD returned = 0;
    ASSERT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buffer.data(), 120, &returned),
              ERROR_SUCCESS);
    auto* geometry = reinterpret_cast<DISK_GEOMETRY_EX*>(buffer.data());
    EXPECT_EQ(geometry->DiskSize.QuadPart, 16 * 1024 * 1024);
    EXPECT_EQ(geometry->Geometry.SectorsPerTrack, 32u);
    EXPECT_EQ(geometry->Geometry.TracksPerCylinder, 64u);
    EXPECT_EQ(geometry->Geometry.BytesPerSector, 512u);
    EXPECT_EQ(geometry->Geometry.MediaType, static_cast<DWORD>(RemovableMedia));
    EXPECT_GE(returned, offsetof(DISK_GEOMETRY_EX, Data));
    EXPECT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buffer.data(), 16),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Control(stick, 0x00123456, buffer.data(), 120), ERROR_INVALID_FUNCTION);
    CloseHandle(stick);
}

TEST(Identity, AVolumeAndItsDiskShareTheDiskNumber) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE disk = Open("\\\\.\\PhysicalDrive1");
    HANDLE volume = Open("\\\\.\\E:");
    STORAGE_DEVICE_NUMBER diskNumber{}, volumeNumber{};
    ASSERT_EQ(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &diskNumber, sizeof diskNumber),
              ERROR_SUCCESS);
    ASSERT_EQ(Control(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, &volumeNumber, sizeof volumeNumber),
              ERROR_SUCCESS);
    EXPECT_EQ(diskNumber.DeviceType, FILE_DEVICE_DISK);
    EXPECT_EQ(diskNumber.DeviceNumber, 1u);
    EXPECT_EQ(diskNumber.PartitionNumber, 0u);
    EXPECT_EQ(volumeNumber.DeviceType, diskNumber.DeviceType);
    EXPECT_EQ(volumeNumber.DeviceNumber, diskNumber.DeviceNumber);
    EXPECT_EQ(volumeNumber.PartitionNumber, 1u);
    EXPECT_EQ(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &diskNumber, 8),
              ERROR_INSUFFICIENT_BUFFER);

    // The device's own texts: the serial tells twin sticks apart.
    STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
    alignas(8) std::array<BYTE, 256> descriptor{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 256, &returned, nullptr));
    const auto* device = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data());
    ASSERT_EQ(returned, device->Size);
    EXPECT_STREQ(reinterpret_cast<const char*>(&descriptor[device->VendorIdOffset]), "SanDisk");
    EXPECT_STREQ(reinterpret_cast<const char*>(&descriptor[device->SerialNumberOffset]),
                 "AA11BB22CC33");
    EXPECT_EQ(device->BusType, BusTypeUsb);
    EXPECT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 8, &returned, nullptr));
    EXPECT_EQ(returned, 8u) << "a header-sized buffer learns the size";

    std::array<BYTE, 1024> buffer{};
    ASSERT_EQ(Control(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, buffer.data(), 1024),
              ERROR_SUCCESS);
    auto* extents = reinterpret_cast<VOLUME_DISK_EXTENTS*>(buffer.data());
    ASSERT_EQ(extents->NumberOfDiskExtents, 1u);
    EXPECT_EQ(extents->Extents[0].DiskNumber, 1u);
    EXPECT_EQ(extents->Extents[0].StartingOffset.QuadPart, 32 * 512);
    CloseHandle(volume);
    CloseHandle(disk);
}

TEST(Layout, GrowsTheBufferUntilTheLayoutFits) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive1");
    std::vector<BYTE> small(DRIVE_LAYOUT_HEADER_SIZE + 2 * sizeof(PARTITION_INFORMATION_EX));
    EXPECT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, small.data(),
                      static_cast<DWORD>(small.size())),
              ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(2496);
    ASSERT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(), 2496), ERROR_SUCCESS);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_MBR));
    ASSERT_EQ(layout->PartitionCount, 4u);
    const auto& first = layout->PartitionEntry[0];
    EXPECT_EQ(first.StartingOffset.QuadPart, 32 * 512);
    EXPECT_EQ(first.Mbr.PartitionType, 0x0E);
    EXPECT_EQ(first.Mbr.HiddenSectors, 32u);
    EXPECT_EQ(first.PartitionNumber, 1u);
    EXPECT_FALSE(first.Mbr.BootIndicator);
    EXPECT_EQ(layout->PartitionEntry[1].Mbr.PartitionType, 0);
    CloseHandle(stick);
}

// A disk with an extended partition holding six logical drives reports
// 4 + 6 x 4 entries, more than 2,496 bytes hold.
TEST(Layout, LogicalDrivesAddFourEntriesEach) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive2");
    std::array<BYTE, 512> sector{};
    auto entry = [&](BYTE* at, BYTE type, uint32_t first, uint32_t count) {
        at[4] = type;
        std::memcpy(at + 8, &first, 4);
        std::memcpy(at + 12, &count, 4);
    };
    auto writeSector = [&](uint64_t lba) {
        sector[510] = 0x55;
        sector[511] = 0xAA;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(lba * 512);
        DWORD done = 0;
        SetFilePointerEx(stick, at, nullptr, FILE_BEGIN);
        ASSERT_TRUE(WriteFile(stick, sector.data(), 512, &done, nullptr));
    };
    entry(&sector[446], 0x05, 2048, 12000);
    writeSector(0);
    for (int i = 0; i < 6; ++i) {
        sector.fill(0);
        uint32_t ebr = 2048 + i * 2000;
        entry(&sector[446], 0x06, 63, 1000);
        if (i < 5) entry(&sector[462], 0x05, (i + 1) * 2000, 2000);
        writeSector(ebr);
    }
    std::vector<BYTE> buffer(2496);
    EXPECT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(), 2496),
              ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(2496 + 576 * 2);
    EXPECT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(),
                      static_cast<DWORD>(buffer.size())),
              ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(2496 + 576 * 3);
    ASSERT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(),
                      static_cast<DWORD>(buffer.size())),
              ERROR_SUCCESS);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    EXPECT_EQ(layout->PartitionCount, 28u);
    EXPECT_EQ(layout->PartitionEntry[4].PartitionNumber, 1u);  // the first logical drive
    EXPECT_EQ(layout->PartitionEntry[4].StartingOffset.QuadPart, (2048 + 63) * 512);
    EXPECT_EQ(layout->PartitionEntry[4].Mbr.HiddenSectors, 63u);
    CloseHandle(stick);
}

TEST(Layout, ANewTableGivesNewVolumesAndLettersAfterTheReRead) {
    TestMachine machine(larkin::test::kTwoSticks);
    EXPECT_EQ(Letters(), (std::vector<std::string>{"C:", "E:"}));
    HANDLE stick = Open("\\\\.\\PhysicalDrive2");  // blank, letter F: reserved
    std::array<BYTE, 512> mbr{};
    mbr[446 + 4] = 0x0E;
    uint32_t first = 63, count = 8000;
    std::memcpy(&mbr[446 + 8], &first, 4);
    std::memcpy(&mbr[446 + 12], &count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(stick, mbr.data(), 512, &done, nullptr));
    // Written but not yet read by the system: no volume.
    EXPECT_EQ(Letters(), (std::vector<std::string>{"C:", "E:"}));
    ASSERT_EQ(Control(stick, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Letters(), (std::vector<std::string>{"C:", "E:", "F:"}));

    // Rewrite entry 0 through the layout: bootable, FAT16, longer.
    std::vector<BYTE> buffer(2496);
    ASSERT_EQ(Control(stick, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(), 2496), ERROR_SUCCESS);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionEntry[0].Mbr.BootIndicator = TRUE;
    layout->PartitionEntry[0].PartitionLength.QuadPart = 16000 * 512;
    layout->PartitionEntry[0].RewritePartition = TRUE;
    ASSERT_TRUE(DeviceIoControl(stick, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), 2496, nullptr,
                                0, &done, nullptr));
    HANDLE volume = Open("\\\\.\\F:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    GET_LENGTH_INFORMATION length{};
    ASSERT_EQ(Control(volume, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length), ERROR_SUCCESS);
    EXPECT_EQ(length.Length.QuadPart, 16000 * 512);
    LARGE_INTEGER zero{};
    SetFilePointerEx(stick, zero, nullptr, FILE_BEGIN);
    ASSERT_TRUE(ReadFile(stick, mbr.data(), 512, &done, nullptr));
    EXPECT_EQ(mbr[446], 0x80);
    EXPECT_EQ(mbr[446 + 4], 0x0E);
    CloseHandle(volume);

    // A layout that reaches past the disk is refused and changes nothing.
    layout->PartitionEntry[0].PartitionLength.QuadPart = 1LL << 40;
    EXPECT_FALSE(DeviceIoControl(stick, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), 2496,
                                 nullptr, 0, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(stick);
}

TEST(VolumeLock, ASecondLockAndOtherWritersAreRefused) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE first = Open("\\\\.\\E:");
    HANDLE second = Open("\\\\.\\E:");
    ASSERT_EQ(Control(first, FSCTL_LOCK_VOLUME, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Control(second, FSCTL_LOCK_VOLUME, nullptr, 0), ERROR_ACCESS_DENIED);
    BYTE sector[512] = {};
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(second, sector, 512, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(WriteFile(first, sector, 512, &done, nullptr));
    EXPECT_EQ(Open("\\\\.\\E:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(second, FSCTL_UNLOCK_VOLUME, nullptr, 0), 158u);  // not its lock
    ASSERT_EQ(Control(first, FSCTL_UNLOCK_VOLUME, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Control(second, FSCTL_LOCK_VOLUME, nullptr, 0), ERROR_SUCCESS);
    CloseHandle(second);  // closing releases the lock
    EXPECT_EQ(Control(first, FSCTL_LOCK_VOLUME, nullptr, 0), ERROR_SUCCESS);
    CloseHandle(first);
}

struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT request;
    ULONG filler;
    BYTE sense[32];
};

DWORD Scsi(HANDLE handle, std::initializer_list<BYTE> cdb, BYTE* data, ULONG length,
           PassThrough* record, UCHAR direction = SCSI_IOCTL_DATA_IN) {
    std::memset(record, 0, sizeof *record);
    record->request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record->request.CdbLength = static_cast<UCHAR>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), record->request.Cdb);
    record->request.SenseInfoLength = 32;
    record->request.SenseInfoOffset = offsetof(PassThrough, sense);
    record->request.DataIn = length ? direction : SCSI_IOCTL_DATA_UNSPECIFIED;
    record->request.DataTransferLength = length;
    record->request.DataBuffer = length ? data : nullptr;
    record->request.TimeOutValue = 10;
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, record, sizeof *record, record,
                           sizeof *record, &returned, nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

TEST(PassThroughDirect, AnswersTheBlockCommands) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive1");
    PassThrough record;
    std::array<BYTE, 255> data{};
    ASSERT_EQ(Scsi(stick, {0x12, 0, 0, 0, 0xFF, 0}, data.data(), 255, &record), ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[8]), 8), "SanDisk ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[16]), 16), "Cruzer          ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[32]), 4), "1.00");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[36]), 8), "AA11BB22");
    EXPECT_EQ(data[1], 0x80);  // removable

    data.fill(0);
    ASSERT_EQ(Scsi(stick, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data.data(), 32, &record),
              ERROR_SUCCESS);
    uint32_t last = (data[0] << 24) | (data[1] << 16) | (data[2] << 8) | data[3];
    EXPECT_EQ(last, 16u * 1024 * 1024 / 512 - 1);

    data.fill(0);
    ASSERT_EQ(Scsi(stick, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data.data(), 255, &record),
              ERROR_SUCCESS);
    EXPECT_EQ(data[8], 0x05);
    EXPECT_EQ(data[12], 64);  // heads
    EXPECT_EQ(data[13], 32);  // sectors per track
    EXPECT_EQ((data[16] << 8) | data[17], 16 * 1024 * 1024 / 512 / (64 * 32));
    CloseHandle(stick);
}

TEST(PassThroughDirect, CheckConditionCarriesSenseAndRequestSenseRepeatsIt) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive2");  // does not answer mode page 5
    PassThrough record;
    std::array<BYTE, 255> data{};
    ASSERT_EQ(Scsi(stick, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data.data(), 255, &record),
              ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(record.sense[0], 0x70);
    EXPECT_EQ(record.sense[2], 0x05);  // ILLEGAL REQUEST
    EXPECT_EQ(record.sense[12], 0x24);

    ASSERT_EQ(Scsi(stick, {0x03, 0, 0, 0, 32, 0}, data.data(), 32, &record), ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, 0);
    EXPECT_EQ(data[2], 0x05);
    EXPECT_EQ(data[12], 0x24);
    ASSERT_EQ(Scsi(stick, {0x03, 0, 0, 0, 32, 0}, data.data(), 32, &record), ERROR_SUCCESS);
    EXPECT_EQ(data[2], 0x00);  // reported once, then gone
    CloseHandle(stick);
}

TEST(PassThroughDirect, WritesGoToTheDiskAndTheJournal) {
    TestMachine machine(larkin::test::kTwoSticks);
    larkin::sim::ClearJournal();
    HANDLE stick = Open("\\\\.\\PhysicalDrive1");
    std::array<BYTE, 1024> data{};
    data.fill(0x5C);
    PassThrough record;
    ASSERT_EQ(Scsi(stick, {0x2A, 0, 0, 0, 0, 10, 0, 0, 2, 0}, data.data(), 1024, &record,
                   SCSI_IOCTL_DATA_OUT),
              ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, 0);
    auto journal = larkin::sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].offset, 10u * 512);
    EXPECT_EQ(journal[0].length, 1024u);
    EXPECT_EQ(journal[0].via, "SCSI WRITE(10)");
    std::array<BYTE, 512> back{};
    LARGE_INTEGER at{};
    at.QuadPart = 11 * 512;
    SetFilePointerEx(stick, at, nullptr, FILE_BEGIN);
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(stick, back.data(), 512, &done, nullptr));
    EXPECT_EQ(back[0], 0x5C);
    CloseHandle(stick);
}

TEST(PassThroughDirect, RefusesMoreThanSixteenCommandBytes) {
    TestMachine machine(larkin::test::kTwoSticks);
    HANDLE stick = Open("\\\\.\\PhysicalDrive1");
    PassThrough record;
    std::array<BYTE, 255> data{};
    std::memset(&record, 0, sizeof record);
    record.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record.request.CdbLength = 18;
    record.request.DataIn = SCSI_IOCTL_DATA_IN;
    record.request.DataTransferLength = 255;
    record.request.DataBuffer = data.data();
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(stick, IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record,
                                 &record, sizeof record, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(stick);
}

}  // namespace
