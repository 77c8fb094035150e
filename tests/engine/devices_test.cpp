// The device tables: filling them through Corvid and Verran, reading them,
// and what happens with bad indexes, bad pointers and too much input.
#include <cstring>
#include <string>

#include "devices/enumeration.h"
#include "engine_test_support.h"

namespace tessel::test {
namespace {

using ::testing::ElementsAre;

class TesselDevices : public EngineTest {};

std::string Info(int index) {
    char text[TESSEL_DEVICE_INFO_SIZE];
    std::memset(text, '#', sizeof text);
    if (GetUSBDevInfo(index, text) != ATA_OK) return "<error>";
    return text;
}

TEST_F(TesselDevices, ListsBothSticksCompletingTheBlankOnesLetterWithGrowingPauses) {
    ASSERT_EQ(GetUSBDevCount(), 2);
    EXPECT_EQ(Info(0), "E: SanDisk Cruzer Blade USB Device");
    // The blank stick has no volume: the text begins with the blank.
    EXPECT_EQ(Info(1), " Kingston DataTraveler 2.0 USB Device");
    EXPECT_STREQ(CurrentTable.rows[1].mountInfo, "");
    EXPECT_THAT(std::string(CurrentTable.rows[0].driveName), ::testing::StartsWith("\\\\"));
    // Five growing pauses, each followed by the volume search's own 500 ms:
    // about four seconds, recorded and not waited.
    EXPECT_THAT(larkin::sim::Pauses(),
                ElementsAre(100, 500, 200, 500, 300, 500, 400, 500, 500, 500));
}

TEST_F(TesselDevices, BothTablesKeepTheirOwnRowsAndEveryRowEndsInsideItsFields) {
    ASSERT_EQ(EnumUSBDevices(), 2);
    EXPECT_EQ(BaselineTable.count, 2);
    EXPECT_STREQ(BaselineTable.rows[0].mountInfo, "E:");
    EXPECT_STREQ(BaselineTable.rows[1].friendlyName, "Kingston DataTraveler 2.0 USB Device");
    EXPECT_EQ(CurrentTable.count, 0);
    EXPECT_EQ(Info(0), "<error>");

    ASSERT_EQ(EnumUSBDevicesCVD(), 2);
    EXPECT_EQ(BaselineTable.count, 2);
    // No letter completion through this path, and no pause.
    EXPECT_STREQ(BaselineTable.rows[1].mountInfo, "");
    EXPECT_TRUE(larkin::sim::Pauses().empty());
}

TEST_F(TesselDevices, BadIndexesAndNullPointersLeaveTextAndHandleAlone) {
    ASSERT_EQ(GetUSBDevCount(), 2);
    larkin::sim::ClearPauses();
    for (int index : {-1, 2, 10, 1000}) {
        SCOPED_TRACE(index);
        char text[TESSEL_DEVICE_INFO_SIZE] = "untouched";
        EXPECT_EQ(GetUSBDevInfo(index, text), ATA_ERROR);
        EXPECT_STREQ(text, "untouched");
        EXPECT_EQ(GetUSBDevInfoW(index, text), nullptr);
    }
    EXPECT_EQ(GetUSBDevInfo(0, nullptr), ATA_ERROR);
    EXPECT_EQ(GetUSBDevInfoW(0, nullptr), nullptr);

    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(OpenDevice(0, nullptr), ATA_ERROR);
    for (int index : {-1, 10}) {
        EXPECT_EQ(OpenDevice(index, &handle), ATA_ERROR);
        EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234));
    }
    // Row 5 lies beyond the count but inside the table: its empty drive path
    // cannot be opened.
    EXPECT_EQ(OpenDevice(5, &handle), ATA_ERROR);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDevice(0, &handle), ATA_OK);
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                sizeof number, &returned, nullptr));
    EXPECT_EQ(number.DeviceNumber, 1u);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(TesselDevices, PropertyQueryByRow) {
    ASSERT_EQ(GetUSBDevCount(), 2);
    char friendly[] = "friendlyname";
    char* name = GetUSBDevInfoW(0, friendly);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(name, CurrentTable.rows[0].friendlyName);

    char mount[] = "Mount_Info";
    char* letters = GetUSBDevInfoW(0, mount);
    ASSERT_NE(letters, nullptr);
    EXPECT_STREQ(letters, "E:");
    EXPECT_STREQ(mount, "E:");
    char other[] = "DriveName";
    EXPECT_EQ(GetUSBDevInfoW(0, other), nullptr);
}

TEST_F(TesselDevices, IsNewDeviceComparesAllThreeTextsIgnoringCase) {
    DeviceEntry row{};
    CopyField(row.driveName, "\\\\?\\usbstor#disk&ven_a");
    CopyField(row.friendlyName, "A USB Device");
    CopyField(row.mountInfo, "E:");
    EXPECT_TRUE(IsNewDevice(row));  // empty baseline

    BaselineTable.rows[1] = row;
    CopyField(BaselineTable.rows[1].mountInfo, "e:");
    CopyField(BaselineTable.rows[1].driveName, "\\\\?\\USBSTOR#DISK&VEN_A");
    BaselineTable.count = 1;
    EXPECT_TRUE(IsNewDevice(row));  // only rows below the count count
    BaselineTable.count = 2;
    EXPECT_FALSE(IsNewDevice(row));
    CopyField(row.friendlyName, "A USB Device ");
    EXPECT_TRUE(IsNewDevice(row));
    BaselineTable.count = -3;
    EXPECT_TRUE(IsNewDevice(row));
}

// No USB target at all.
constexpr const char* kNoSticks = R"(
[machine]
time_scale = 0
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "4MiB"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 63
)";

class TesselNoSticks : public EngineTest {
  protected:
    TesselNoSticks() : EngineTest(kNoSticks) {}
};

TEST_F(TesselNoSticks, CountWithoutTargetsClearsAllTenRows) {
    for (DeviceEntry& row : CurrentTable.rows) {
        std::memset(&row, 'x', sizeof row);
        row.mountInfo[kMountInfoSize - 1] = '\0';
    }
    CurrentTable.count = 10;
    EXPECT_EQ(GetUSBDevCount(), 0);
    EXPECT_EQ(CurrentTable.count, 0);
    const DeviceEntry zero{};
    for (const DeviceEntry& row : CurrentTable.rows)
        EXPECT_EQ(std::memcmp(&row, &zero, sizeof row), 0);
    EXPECT_EQ(Info(0), "<error>");
    EXPECT_TRUE(larkin::sim::Pauses().empty());
}

// Two adapters with one and two drives, and a name longer than its field.
constexpr const char* kOneAndTwo = R"(
[machine]
time_scale = 0
[[adapter]]
id = "usb1"
class = "USB"
[[adapter.disk]]
id = "one"
size = "1MiB"
friendly_name = "One USB Device"
[[adapter]]
id = "usb2"
class = "USB"
[[adapter.disk]]
id = "two"
size = "1MiB"
friendly_name = "Two USB Device"
[[adapter.disk]]
id = "three"
size = "1MiB"
friendly_name = "Three USB Device ............................................................................................................................................ end"
)";

class TesselTwoAdapters : public EngineTest {
  protected:
    TesselTwoAdapters() : EngineTest(kOneAndTwo) {}
};

TEST_F(TesselTwoAdapters, VerranRowsAreNumberedAcrossAdaptersAndLongNamesAreCut) {
    CopyField(BaselineTable.rows[3].friendlyName, "kept");
    ASSERT_EQ(EnumUSBDevices(), 3);
    EXPECT_STREQ(BaselineTable.rows[0].friendlyName, "One USB Device");
    EXPECT_STREQ(BaselineTable.rows[1].friendlyName, "Two USB Device");
    std::string third = BaselineTable.rows[2].friendlyName;
    EXPECT_EQ(third.size(), kFriendlyNameSize - 1);
    EXPECT_THAT(third, ::testing::StartsWith("Three USB Device ...."));
    // Rows beyond the count keep what they held.
    EXPECT_STREQ(BaselineTable.rows[3].friendlyName, "kept");

    // The same cut through Corvid, and GetUSBDevInfo's text stays within 164.
    ASSERT_EQ(GetUSBDevCount(), 3);
    char text[TESSEL_DEVICE_INFO_SIZE + 8];
    std::memset(text, '#', sizeof text);
    int cutRow = -1;
    for (int i = 0; i < 3; ++i)
        if (std::string(CurrentTable.rows[i].friendlyName).size() == kFriendlyNameSize - 1)
            cutRow = i;
    ASSERT_GE(cutRow, 0);
    ASSERT_EQ(GetUSBDevInfo(cutRow, text), ATA_OK);
    EXPECT_EQ(std::strlen(text), 1 + kFriendlyNameSize - 1);
    EXPECT_EQ(text[TESSEL_DEVICE_INFO_SIZE], '#');
}

// Twelve sticks: more than the table holds.
std::string TwelveSticks() {
    std::string toml = "[machine]\ntime_scale = 0\n[[adapter]]\nid = \"usb\"\nclass = \"USB\"\n";
    for (int i = 0; i < 12; ++i) {
        toml += "[[adapter.disk]]\nid = \"s" + std::to_string(i) +
                "\"\nsize = \"1MiB\"\nfriendly_name = \"Stick " + std::to_string(i) +
                " USB Device\"\n";
    }
    return toml;
}

class TesselTwelveSticks : public EngineTest {
  protected:
    TesselTwelveSticks() : EngineTest(TwelveSticks()) {}
};

TEST_F(TesselTwelveSticks, DrivesBeyondTheTenthAreDropped) {
    EXPECT_EQ(EnumUSBDevices(), 10);
    EXPECT_EQ(BaselineTable.count, 10);
    EXPECT_STREQ(BaselineTable.rows[9].friendlyName, "Stick 9 USB Device");
    EXPECT_EQ(EnumUSBDevicesCVD(), 10);
    EXPECT_EQ(GetUSBDevCount(), 10);
    EXPECT_EQ(Info(9).substr(1), "Stick 9 USB Device");
    EXPECT_EQ(Info(10), "<error>");
}

}  // namespace
}  // namespace tessel::test
