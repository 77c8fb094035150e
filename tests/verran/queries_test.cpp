// Queries by index and name, the property-name list and the description
// fallbacks.
#include <string>

#include "verran_test_support.h"

namespace verran::test {
namespace {

class VerranQueries : public VerranTest {};

constexpr const char* kNameList =
    "DEVICE_NAME, DEVICE_NUMBER, INTERFACE, DEVICEDESC, MOUNT_INFO, HARDWAREID, COMPATIBLEIDS, "
    "UNUSED0, SERVICE, UNUSED1, UNUSED2, CLASS, CLASSGUID, DRIVER, CONFIGFLAGS, MFG, "
    "FRIENDLYNAME, LOCATION_INFORMATION, PHYSICAL_DEVICE_OBJECT_NAME, CAPABILITIES, UI_NUMBER, "
    "UPPERFILTERS, LOWERFILTERS, BUSTYPEGUID, LEGACYBUSTYPE, BUSNUMBER, ENUMERATOR_NAME, "
    "SECURITY, SECURITY_SDS, DEVTYPE, EXCLUSIVE, CHARACTERISTICS, ADDRESS, "
    "UI_NUMBER_DESC_FORMAT, DEVICE_POWER_DATA, REMOVAL_POLICY, REMOVAL_POLICY_HW_DEFAULT, "
    "REMOVAL_POLICY_OVERRIDE, INSTALL_STATE";

TEST_F(VerranQueries, NullNameGivesTheSharedNameListForValidIndexesOnly) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto twin = FindDrive("Twin Stick USB Device");
    ASSERT_TRUE(twin);
    const char* adapterList = GetAdapterInfo(0, nullptr);
    const char* driveList = GetDriveInfo(twin->first, twin->second, nullptr);
    EXPECT_STREQ(adapterList, kNameList);
    EXPECT_EQ(adapterList, driveList);

    EXPECT_STREQ(GetAdapterInfo(GetAdapterCount(), nullptr), "");
    EXPECT_STREQ(GetDriveInfo(twin->first, GetDriveCount(twin->first), nullptr), "");
    EXPECT_STREQ(GetDriveInfo(GetAdapterCount(), 0, nullptr), "");
}

TEST_F(VerranQueries, NamesMatchExactly) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto twin = FindDrive("Twin Stick USB Device");
    ASSERT_TRUE(twin);
    auto [a, d] = *twin;
    EXPECT_STREQ(GetDriveInfo(a, d, "MOUNT_INFO"), "E:;F:");
    for (const char* near :
         {"Mount_Info", "mount_info", "MOUNT_INFO ", "MOUNT", "", "FriendlyName"})
        EXPECT_STREQ(GetDriveInfo(a, d, near), "") << near;
    EXPECT_STREQ(GetAdapterInfo(a, "interface"), "");
    EXPECT_STREQ(GetAdapterInfo(a, "INTERFACE"), "USB");
}

TEST_F(VerranQueries, EveryResultIsTextEvenWithoutSnapshot) {
    Destroy();
    for (DWORD i : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(GetAdapterInfo(i, "DEVICE_NAME"), "");
        EXPECT_STREQ(GetAdapterInfo(i, nullptr), "");
        EXPECT_STREQ(GetDriveInfo(i, i, nullptr), "");
        EXPECT_STREQ(GetAdapterName(i), "");
        EXPECT_STREQ(GetAdapterInterfaceType(i), "");
        EXPECT_STREQ(GetDriveName(i, 0), "");
        EXPECT_STREQ(GetAdapterDescription(i), "<Unknown>");
        EXPECT_STREQ(GetDriveDescription(i, 0), "<Unknown>");
    }
}

// Adapters whose properties peel away one fallback at a time; the drive of
// the last has letters, the others none.
constexpr const char* kFallbacks = R"(
[machine]
time_scale = 0
[[adapter]]
id = "named"
class = "USB"
instance_id = "USB\\VID_0001&PID_0001\\NAMED"
properties = { FRIENDLYNAME = "Named Reader" }
[[adapter.disk]]
id = "plain"
size = "1MiB"
friendly_name = "Plain Disk"
[[adapter]]
id = "described"
class = "USB"
instance_id = "USB\\VID_0001&PID_0002\\DESCRIBED"
description = "Described Reader"
properties = { FRIENDLYNAME = "" }
[[adapter.disk]]
id = "nameless"
size = "1MiB"
properties = { FRIENDLYNAME = { absent = true } }
[[adapter]]
id = "classed"
class = "USB"
instance_id = "USB\\VID_0001&PID_0003\\CLASSED"
properties = { DEVICEDESC = { absent = true } }
[[adapter.disk]]
id = "classonly"
size = "1MiB"
properties = { FRIENDLYNAME = "", DEVICEDESC = { absent = true } }
[[adapter]]
id = "guided"
class = "USB"
instance_id = "USB\\VID_0001&PID_0004\\GUIDED"
properties = { DEVICEDESC = { absent = true }, CLASS = { absent = true } }
[[adapter.disk]]
id = "guidonly"
size = "1MiB"
properties = { FRIENDLYNAME = { absent = true }, DEVICEDESC = { absent = true }, CLASS = "" }
[[adapter]]
id = "bare"
class = "USB"
instance_id = "USB\\VID_0001&PID_0005\\BARE"
properties = { DEVICEDESC = { absent = true }, CLASS = { absent = true }, CLASSGUID = { absent = true } }
[[adapter.disk]]
id = "bare"
size = "1MiB"
letters = ["E:"]
properties = { FRIENDLYNAME = { absent = true }, DEVICEDESC = { absent = true }, CLASS = { absent = true }, CLASSGUID = { absent = true } }
[[adapter.disk.partition]]
type = 0x06
start = 63
)";

class VerranDescriptions : public VerranTest {
  protected:
    VerranDescriptions() : VerranTest(kFallbacks) {}
};

TEST_F(VerranDescriptions, FallBackToTheFirstNonEmptyValue) {
    ASSERT_EQ(Initialize("USB"), 0);
    ASSERT_EQ(GetAdapterCount(), 5u);
    EXPECT_STREQ(GetAdapterDescription(0), "Named Reader");
    EXPECT_STREQ(GetAdapterDescription(1), "Described Reader");
    EXPECT_STREQ(GetAdapterDescription(2), "USB");
    EXPECT_STREQ(GetAdapterDescription(3), "{36fc9e60-c465-11cf-8056-444553540000}");
    EXPECT_STREQ(GetAdapterDescription(4), "<Unknown>");

    EXPECT_STREQ(GetDriveDescription(0, 0), "Plain Disk");
    EXPECT_STREQ(GetDriveDescription(1, 0), "Disk drive");
    EXPECT_STREQ(GetDriveDescription(2, 0), "DiskDrive");
    EXPECT_STREQ(GetDriveDescription(3, 0), "{4d36e967-e325-11ce-bfc1-08002be10318}");
    EXPECT_STREQ(GetDriveDescription(4, 0), "E:");
    EXPECT_STREQ(GetDriveDescription(4, 1), "<Unknown>");
}

}  // namespace
}  // namespace verran::test
