// The snapshot: which adapters a filter walks, their drives, the library's
// own properties and the registry's properties as text.
#include <cstring>

#include "verran_test_support.h"

namespace verran::test {
namespace {

using ::testing::ElementsAre;

class VerranSnapshot : public VerranTest {};

TEST_F(VerranSnapshot, NoSnapshotBeforeInitializeAndAfterDestroy) {
    Destroy();
    EXPECT_EQ(GetAdapterCount(), 0u);
    EXPECT_EQ(GetDriveCount(0), 0u);
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_GT(GetAdapterCount(), 0u);
    Destroy();
    EXPECT_EQ(GetAdapterCount(), 0u);
    EXPECT_STREQ(GetAdapterName(0), "");
    Destroy();  // twice is harmless
    EXPECT_EQ(GetAdapterCount(), 0u);
}

TEST_F(VerranSnapshot, NullEmptyAndStarFiltersWalkEveryClassInTableOrder) {
    const std::vector<std::string> all = {"ATA", "SCSIADAPTER", "SCSI", "USB", "USB", "USB", "USB"};
    for (const char* filter : {static_cast<const char*>(nullptr), "", "*", "*anything", " \t*\n"}) {
        SCOPED_TRACE(filter ? filter : "(null)");
        ASSERT_EQ(Initialize(filter), 0);
        EXPECT_EQ(Interfaces(), all);
    }
}

TEST_F(VerranSnapshot, FilterTokensAreCaseBlindOrderedAndRepeatable) {
    ASSERT_EQ(Initialize("usb"), 0);
    EXPECT_THAT(Interfaces(), ElementsAre("USB", "USB", "USB", "USB"));

    ASSERT_EQ(Initialize("USB,ATA"), 0);
    EXPECT_THAT(Interfaces(), ElementsAre("USB", "USB", "USB", "USB", "ATA"));

    ASSERT_EQ(Initialize("USB USB"), 0);
    ASSERT_EQ(GetAdapterCount(), 8u);
    for (DWORD a = 0; a < 4; ++a) EXPECT_STREQ(GetAdapterName(a), GetAdapterName(a + 4));

    ASSERT_EQ(Initialize(",,scsi\tAta\n"), 0);
    EXPECT_THAT(Interfaces(), ElementsAre("SCSI", "ATA"));

    ASSERT_EQ(Initialize("FLOPPY, US"), 0);
    EXPECT_EQ(GetAdapterCount(), 0u);
}

TEST_F(VerranSnapshot, SecondInitializeReplacesTheFirst) {
    ASSERT_EQ(Initialize("ATA"), 0);
    ASSERT_EQ(GetAdapterCount(), 1u);
    EXPECT_STREQ(GetDriveInfo(0, 0, "FRIENDLYNAME"), "System Disk ATA Device");
    ASSERT_EQ(Initialize("SCSIADAPTER"), 0);
    ASSERT_EQ(GetAdapterCount(), 1u);
    EXPECT_STREQ(GetDriveInfo(0, 0, "FRIENDLYNAME"), "Seagate Cheetah SCSI Disk Device");
    EXPECT_EQ(GetDriveCount(1), 0u);
}

TEST_F(VerranSnapshot, HubIsListedWithoutPortAndWithoutDrives) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto hub = FindAdapter("SERVICE", "usbhub");
    ASSERT_TRUE(hub);
    EXPECT_STREQ(GetAdapterName(*hub), "");
    EXPECT_EQ(GetDriveCount(*hub), 0u);
    EXPECT_STREQ(GetAdapterInterfaceType(*hub), "USB");
    EXPECT_STREQ(GetAdapterDescription(*hub), "Generic USB Hub");
}

TEST_F(VerranSnapshot, AdaptersCarryTheirPortPathAndDrivesInChildOrder) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto adapter = FindAdapter("HARDWAREID", "USB\\VID_1234&PID_0002&REV_0100");
    ASSERT_TRUE(adapter);
    std::string port = GetAdapterName(*adapter);
    EXPECT_EQ(port.rfind("\\\\?\\usb#vid_1234&pid_0002#adapterthree#{2accfe60", 0), 0u) << port;
    ASSERT_EQ(GetDriveCount(*adapter), 2u);
    EXPECT_STREQ(GetDriveInfo(*adapter, 0, "FRIENDLYNAME"), "Pair Alpha USB Device");
    EXPECT_STREQ(GetDriveInfo(*adapter, 1, "FRIENDLYNAME"), "Pair Beta USB Device");
    EXPECT_STREQ(GetDriveInfo(*adapter, 0, "DEVICE_NUMBER"), "3");
    EXPECT_STREQ(GetDriveInfo(*adapter, 1, "DEVICE_NUMBER"), "4");
    EXPECT_EQ(GetDriveCount(GetAdapterCount()), 0u);
}

TEST_F(VerranSnapshot, DriveKnowsItsPathNumberAndLetters) {
    ASSERT_EQ(Initialize(nullptr), 0);
    auto twin = FindDrive("Twin Stick USB Device");
    ASSERT_TRUE(twin);
    std::string path = GetDriveName(twin->first, twin->second);
    EXPECT_EQ(path.rfind("\\\\?\\usbstor#disk&ven_twin&prod_stick", 0), 0u) << path;
    EXPECT_NE(path.find("{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), std::string::npos) << path;
    EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "DEVICE_NUMBER"), "1");
    EXPECT_STREQ(GetDriveInfo(twin->first, twin->second, "MOUNT_INFO"), "E:;F:");
    EXPECT_STREQ(GetDriveDescription(twin->first, twin->second), "E:;F:");

    auto system = FindDrive("System Disk ATA Device");
    ASSERT_TRUE(system);
    EXPECT_STREQ(GetDriveInfo(system->first, system->second, "MOUNT_INFO"), "C:");

    auto blank = FindDrive("Blank Stick USB Device");
    ASSERT_TRUE(blank);
    EXPECT_STREQ(GetDriveInfo(blank->first, blank->second, "DEVICE_NUMBER"), "2");
    EXPECT_STREQ(GetDriveInfo(blank->first, blank->second, "MOUNT_INFO"), "");
    EXPECT_STREQ(GetDriveDescription(blank->first, blank->second), "Blank Stick USB Device");
}

TEST_F(VerranSnapshot, ScsiClassIsWalkedTwiceUnderStar) {
    ASSERT_EQ(Initialize("*"), 0);
    ASSERT_STREQ(GetAdapterInterfaceType(1), "SCSIADAPTER");
    ASSERT_STREQ(GetAdapterInterfaceType(2), "SCSI");
    EXPECT_STREQ(GetAdapterName(1), GetAdapterName(2));
    EXPECT_NE(std::string(GetAdapterName(1)), "");
    ASSERT_EQ(GetDriveCount(2), 1u);
    EXPECT_STREQ(GetDriveInfo(2, 0, "MOUNT_INFO"), "G:");
}

TEST_F(VerranSnapshot, RegistryDataReadsAsTextOrHex) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto usb1 = FindAdapter("HARDWAREID", "USB\\VID_0781&PID_5567&REV_0100");
    ASSERT_TRUE(usb1);
    EXPECT_STREQ(GetAdapterInfo(*usb1, "CAPABILITIES"), "84 00 00 00");
    EXPECT_STREQ(GetAdapterInfo(*usb1, "UI_NUMBER_DESC_FORMAT"), "01 02 ff");
    EXPECT_STREQ(GetAdapterInfo(*usb1, "BUSTYPEGUID"),
                 "bc eb 7d 9d 5d c8 d1 11 9e b4 00 60 08 c3 a1 9a");
    EXPECT_STREQ(GetAdapterInfo(*usb1, "COMPATIBLEIDS"), "USB\\Class_08&SubClass_06&Prot_50");
    EXPECT_STREQ(GetAdapterInfo(*usb1, "INTERFACE"), "USB");

    auto usb3 = FindAdapter("HARDWAREID", "USB\\VID_1234&PID_0002&REV_0100");
    ASSERT_TRUE(usb3);
    EXPECT_STREQ(GetAdapterInfo(*usb3, "UPPERFILTERS"), "first");
    // A number made only of zero bytes passes as text: present but empty.
    const char* uiNumber = GetAdapterInfo(*usb3, "UI_NUMBER");
    EXPECT_STREQ(uiNumber, "");
    EXPECT_NE(std::strstr(GetAdapterInfo(*usb3, nullptr), "UI_NUMBER"), nullptr);

    // Properties the registry does not deliver are left out.
    EXPECT_STREQ(GetAdapterInfo(*usb1, "MFG"), "");
    EXPECT_STREQ(GetAdapterInfo(*usb1, "SECURITY"), "");
}

}  // namespace
}  // namespace verran::test
