// Failures during the walk: which ones end Initialize with the platform's
// code, and which ones only leave something out of the snapshot.
#include "verran_test_support.h"

namespace verran::test {
namespace {

using larkin::sim::Fault;
using larkin::sim::InjectFault;

class VerranWalkFaults : public VerranTest {};

TEST_F(VerranWalkFaults, ClassSetThatCannotBeMadeEndsInitializeKeepingEarlierAdapters) {
    InjectFault({"SetupDiGetClassDevsA", "{36fc9e60", 0, 0, 1, ERROR_ACCESS_DENIED});
    EXPECT_EQ(Initialize("ATA USB"), static_cast<INT>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(GetAdapterCount(), 1u);
    EXPECT_STREQ(GetAdapterInterfaceType(0), "ATA");
    EXPECT_STREQ(GetDriveInfo(0, 0, "MOUNT_INFO"), "C:");
}

TEST_F(VerranWalkFaults, AdapterFailuresEndInitializeWithTheirCode) {
    struct Case {
        const char* what;
        Fault fault;
        INT expected;
    } cases[] = {
        {"listing the class",
         {"SetupDiEnumDeviceInfo", "ADAPTERTWO", 0, 0, 1, ERROR_GEN_FAILURE},
         31},
        {"instance id", {"CM_Get_Device_IDA", "ADAPTERTWO", 0, 0, 1, CR_OUT_OF_MEMORY}, 2},
        {"port interface set",
         {"SetupDiGetClassDevsA", "ADAPTERTWO", 0, 0, 1, ERROR_NOT_READY},
         21},
        {"port interface",
         {"SetupDiEnumDeviceInterfaces", "ADAPTERTWO", 0, 0, 1, ERROR_IO_DEVICE},
         1117},
        {"port path",
         {"SetupDiGetDeviceInterfaceDetailA", "adaptertwo#", 0, 0, 1, ERROR_ACCESS_DENIED},
         5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        larkin::sim::ClearFaults();
        InjectFault(c.fault);
        EXPECT_EQ(Initialize("USB"), c.expected);
        // The hub came first and stays; the failing adapter is dropped.
        ASSERT_EQ(GetAdapterCount(), 1u);
        EXPECT_STREQ(GetAdapterInfo(0, "SERVICE"), "usbhub");
    }
}

TEST_F(VerranWalkFaults, ChildWalkFailuresSkipTheRestOfThatAdapterOnly) {
    struct Case {
        const char* what;
        Fault fault;
        DWORD drivesLeft;
    } cases[] = {
        {"first child", {"CM_Get_Child", "ADAPTERTHREE", 0, 0, 1, CR_FAILURE}, 0},
        {"next sibling", {"CM_Get_Sibling", "PAIRALPHA", 0, 0, 1, CR_FAILURE}, 1},
        {"child id", {"CM_Get_Device_IDA", "PAIRBETA", 0, 0, 1, CR_FAILURE}, 1},
        {"disk interface set", {"SetupDiGetClassDevsA", "PAIRALPHA", 0, 0, 1, ERROR_NOT_READY}, 0},
        {"disk interface",
         {"SetupDiEnumDeviceInterfaces", "PAIRALPHA", 0, 0, 1, ERROR_GEN_FAILURE},
         0},
        {"disk path",
         {"SetupDiGetDeviceInterfaceDetailA", "prod_beta", 0, 0, 1, ERROR_GEN_FAILURE},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        larkin::sim::ClearFaults();
        InjectFault(c.fault);
        ASSERT_EQ(Initialize("USB"), 0);
        auto usb3 = FindAdapter("HARDWAREID", "USB\\VID_1234&PID_0002&REV_0100");
        ASSERT_TRUE(usb3);
        EXPECT_EQ(GetDriveCount(*usb3), c.drivesLeft);
        if (c.drivesLeft == 1) {
            EXPECT_STREQ(GetDriveInfo(*usb3, 0, "FRIENDLYNAME"), "Pair Alpha USB Device");
        }
        // Adapters after it are walked as usual.
        EXPECT_TRUE(FindDrive("Twin Stick USB Device"));
    }
}

TEST_F(VerranWalkFaults, DiskThatCannotBeAskedIsKeptWithoutNumberAndLetters) {
    for (const Fault& fault : {Fault{"CreateFileA", "ven_twin", 0, 0, 1, ERROR_SHARING_VIOLATION},
                               Fault{"DeviceIoControl", "ven_twin", IOCTL_STORAGE_GET_DEVICE_NUMBER,
                                     0, 1, ERROR_NOT_READY}}) {
        SCOPED_TRACE(fault.call);
        larkin::sim::ClearFaults();
        InjectFault(fault);
        ASSERT_EQ(Initialize("USB"), 0);
        auto twin = FindDrive("Twin Stick USB Device");
        ASSERT_TRUE(twin);
        EXPECT_STRNE(GetDriveName(twin->first, twin->second), "");
        EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "DEVICE_NUMBER"), "");
        EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "MOUNT_INFO"), "");
        EXPECT_STREQ(GetDriveDescription(twin->first, twin->second), "Twin Stick USB Device");
    }
}

TEST_F(VerranWalkFaults, VolumeThatCannotBeOpenedLosesOnlyItsLetter) {
    InjectFault({"CreateFileA", "\\\\.\\E:", 0, 0, 1, ERROR_ACCESS_DENIED});
    ASSERT_EQ(Initialize(nullptr), 0);
    auto twin = FindDrive("Twin Stick USB Device");
    auto scsi = FindDrive("Seagate Cheetah SCSI Disk Device");
    ASSERT_TRUE(twin && scsi);
    EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "MOUNT_INFO"), "F:");
    EXPECT_STREQ(GetDriveInfo(scsi->first, scsi->second, "MOUNT_INFO"), "G:");
}

TEST_F(VerranWalkFaults, UnreadableExtentsEndTheLetterScan) {
    InjectFault({"DeviceIoControl", "\\\\.\\E:", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0, 1,
                 ERROR_NOT_READY});
    ASSERT_EQ(Initialize(nullptr), 0);
    auto system = FindDrive("System Disk ATA Device");
    auto twin = FindDrive("Twin Stick USB Device");
    auto scsi = FindDrive("Seagate Cheetah SCSI Disk Device");
    ASSERT_TRUE(system && twin && scsi);
    EXPECT_STREQ(GetDriveInfo(system->first, system->second, "MOUNT_INFO"), "C:");
    EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "MOUNT_INFO"), "");
    EXPECT_STREQ(GetDriveInfo(scsi->first, scsi->second, "MOUNT_INFO"), "");
    EXPECT_STREQ(GetDriveInfo(scsi->first, scsi->second, "DEVICE_NUMBER"), "5");
}

TEST_F(VerranWalkFaults, UnreadableRegistryPropertyIsLeftOut) {
    InjectFault({"SetupDiGetDeviceRegistryPropertyA", "PAIRALPHA", SPDRP_FRIENDLYNAME, 0, 0,
                 ERROR_INVALID_DATA});
    ASSERT_EQ(Initialize("USB"), 0);
    auto usb3 = FindAdapter("HARDWAREID", "USB\\VID_1234&PID_0002&REV_0100");
    ASSERT_TRUE(usb3);
    ASSERT_EQ(GetDriveCount(*usb3), 2u);
    EXPECT_STREQ(GetDriveInfo(*usb3, 0, "FRIENDLYNAME"), "");
    EXPECT_STREQ(GetDriveInfo(*usb3, 0, "SERVICE"), "disk");
    EXPECT_STREQ(GetDriveDescription(*usb3, 0), "Disk drive");
    EXPECT_STREQ(GetDriveInfo(*usb3, 1, "FRIENDLYNAME"), "Pair Beta USB Device");
}

TEST_F(VerranWalkFaults, FailedBusRescanIsIgnored) {
    for (const Fault& fault :
         {Fault{"CreateFileA", "scsizero#{2accfe60", 0, 0, 1, ERROR_ACCESS_DENIED},
          Fault{"DeviceIoControl", "scsizero", IOCTL_SCSI_RESCAN_BUS, 0, 1, ERROR_IO_DEVICE}}) {
        SCOPED_TRACE(fault.call);
        larkin::sim::ClearFaults();
        InjectFault(fault);
        ASSERT_EQ(Initialize("SCSI"), 0);
        ASSERT_EQ(GetAdapterCount(), 1u);
        EXPECT_EQ(GetDriveCount(0), 1u);
    }
}

// A card-reader slot without media has a letter whose extents cannot be
// read; the letters after it are never scanned.
constexpr const char* kCardReader = R"(
[machine]
time_scale = 0
[[adapter]]
id = "reader"
class = "USB"
[[adapter.disk]]
id = "slot"
size = "1MiB"
friendly_name = "Card Reader Slot USB Device"
media = false
letters = ["D:"]
[[adapter]]
id = "stick"
class = "USB"
[[adapter.disk]]
id = "stick"
size = "4MiB"
friendly_name = "Stick USB Device"
letters = ["E:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
)";

class VerranEmptySlot : public VerranTest {
  protected:
    VerranEmptySlot() : VerranTest(kCardReader) {}
};

TEST_F(VerranEmptySlot, EndsTheLetterScan) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto slot = FindDrive("Card Reader Slot USB Device");
    auto stick = FindDrive("Stick USB Device");
    ASSERT_TRUE(slot && stick);
    EXPECT_STREQ(GetDriveInfo(slot->first, slot->second, "MOUNT_INFO"), "");
    EXPECT_STREQ(GetDriveInfo(stick->first, stick->second, "MOUNT_INFO"), "");
    EXPECT_STREQ(GetDriveInfo(stick->first, stick->second, "DEVICE_NUMBER"), "1");
}

}  // namespace
}  // namespace verran::test
