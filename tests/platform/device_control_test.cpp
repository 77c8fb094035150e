// Disk and SCSI requests on the simulated machine beyond the rules every
// backend keeps: what the machine file sets, layouts of logical drives and
// the sizing of their buffers, sense data.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TestMachine;

using larkin::test::Handle;
using larkin::test::Open;

DWORD Control(const Handle& handle, DWORD code, void* out, DWORD outSize) {
    return larkin::test::Control(handle.Get(), code, nullptr, 0, out, outSize) ? ERROR_SUCCESS
                                                                               : GetLastError();
}

// What the machine file says of a disk, beyond what every backend shows
// (the conformance suite): its geometry and its device texts.
TEST(Identity, TheMachineFilesGeometryAndDeviceTexts) {
    TestMachine machine(MachineText("platform-two-sticks"));
    Handle disk = Open("\\\\.\\PhysicalDrive1");
    std::array<BYTE, 120> buffer{};
    ASSERT_EQ(Control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buffer.data(), 120), ERROR_SUCCESS);
    auto* geometry = reinterpret_cast<DISK_GEOMETRY_EX*>(buffer.data());
    EXPECT_EQ(geometry->Geometry.SectorsPerTrack, 32u);
    EXPECT_EQ(geometry->Geometry.TracksPerCylinder, 64u);
    EXPECT_EQ(Control(disk, 0x00123456, buffer.data(), 120), ERROR_INVALID_FUNCTION);
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_EQ(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number),
              ERROR_SUCCESS);
    EXPECT_EQ(number.DeviceType, FILE_DEVICE_DISK);
    EXPECT_EQ(number.PartitionNumber, 0u);
    EXPECT_EQ(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, 8),
              ERROR_INSUFFICIENT_BUFFER);

    // The serial tells twin sticks apart.
    STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
    alignas(8) std::array<BYTE, 256> descriptor{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(disk.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 256, &returned, nullptr));
    const auto* device = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data());
    ASSERT_EQ(returned, device->Size);
    EXPECT_STREQ(reinterpret_cast<const char*>(&descriptor[device->VendorIdOffset]), "SanDisk");
    EXPECT_STREQ(reinterpret_cast<const char*>(&descriptor[device->SerialNumberOffset]),
                 "AA11BB22CC33");
    EXPECT_EQ(device->BusType, BusTypeUsb);
    EXPECT_TRUE(DeviceIoControl(disk.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 8, &returned, nullptr));
    EXPECT_EQ(returned, 8u) << "a header-sized buffer learns the size";

    // The machine file's partition, as the drive layout shows it.
    std::vector<BYTE> layoutBuffer(2496);
    ASSERT_EQ(Control(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, layoutBuffer.data(), 2496),
              ERROR_SUCCESS);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(layoutBuffer.data());
    EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_MBR));
    ASSERT_EQ(layout->PartitionCount, 4u);
    const auto& first = layout->PartitionEntry[0];
    EXPECT_EQ(first.StartingOffset.QuadPart, 32 * 512);
    EXPECT_EQ(first.Mbr.PartitionType, 0x0E);
    EXPECT_EQ(first.Mbr.HiddenSectors, 32u);
    EXPECT_EQ(first.PartitionNumber, 1u);
    EXPECT_FALSE(first.Mbr.BootIndicator);
    EXPECT_EQ(layout->PartitionEntry[1].Mbr.PartitionType, 0);
}

// A command that moves data in, and its record.
larkin::test::PassThrough record;
DWORD Scsi(const Handle& handle, std::vector<BYTE> cdb, std::vector<BYTE>& data) {
    return larkin::test::SendCommand(handle.Get(), std::move(cdb), SCSI_IOCTL_DATA_IN, data, record)
               ? ERROR_SUCCESS
               : GetLastError();
}

// INQUIRY and mode page 5 say what the machine file sets; a command the
// stick does not answer is CHECK CONDITION, its sense repeated once by
// REQUEST SENSE.
TEST(PassThroughDirect, AnswersAsTheMachineFileSays) {
    TestMachine machine(MachineText("platform-two-sticks"));
    Handle stick = Open("\\\\.\\PhysicalDrive1");
    std::vector<BYTE> data(255), sense(32);
    ASSERT_EQ(Scsi(stick, {0x12, 0, 0, 0, 0xFF, 0}, data), ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[8]), 36),
              "SanDisk Cruzer          1.00AA11BB22");
    EXPECT_EQ(data[1], 0x80);  // removable

    std::fill(data.begin(), data.end(), 0);
    ASSERT_EQ(Scsi(stick, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data), ERROR_SUCCESS);
    EXPECT_EQ(data[8], 0x05);
    EXPECT_EQ(data[12], 64);  // heads
    EXPECT_EQ(data[13], 32);  // sectors per track
    EXPECT_EQ((data[16] << 8) | data[17], 16 * 1024 * 1024 / 512 / (64 * 32));

    stick = Open("\\\\.\\PhysicalDrive2");  // does not answer mode page 5
    ASSERT_EQ(Scsi(stick, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data), ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(record.sense[0], 0x70);
    EXPECT_EQ(record.sense[2], 0x05);  // ILLEGAL REQUEST
    EXPECT_EQ(record.sense[12], 0x24);
    ASSERT_EQ(Scsi(stick, {0x03, 0, 0, 0, 32, 0}, sense), ERROR_SUCCESS);
    EXPECT_EQ(record.request.ScsiStatus, 0);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x24);
    ASSERT_EQ(Scsi(stick, {0x03, 0, 0, 0, 32, 0}, sense), ERROR_SUCCESS);
    EXPECT_EQ(sense[2], 0x00);  // reported once, then gone
}

}  // namespace
