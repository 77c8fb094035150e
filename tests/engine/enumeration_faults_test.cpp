// Every platform call of the enumerations and of the volume mapping failing
// once, in turn: the results stay sound and no handle is left open.
#include <cstring>

#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "shell/volume_mapping.h"
#include "stick_machines.h"

namespace tessel::test {
namespace {

class TesselEnumerationFaults : public EngineTest {};

TEST_F(TesselEnumerationFaults, EachScanGivesFewerOrLessKnownDrivesNeverATextOutsideItsField) {
    for (auto enumerate : {&GetUSBDevCount, &EnumUSBDevices, &EnumUSBDevicesCVD}) {
        int count = 0;
        const bool current = enumerate == &GetUSBDevCount;
        const DeviceTable& table = current ? CurrentTable : BaselineTable;
        int runs =
            FailEachCallInTurn([&] { count = enumerate(); },
                               [&](const std::string&, int) {
                                   EXPECT_GE(count, 0);
                                   EXPECT_LE(count, 2);
                                   EXPECT_EQ(table.count, count);
                                   for (int i = 0; i < count; ++i) {
                                       std::string letters = table.rows[i].mountInfo;
                                       EXPECT_TRUE(letters.empty() || letters == "E:") << letters;
                                       char text[TESSEL_DEVICE_INFO_SIZE + 1];
                                       std::memset(text, '#', sizeof text);
                                       EXPECT_TRUE(!current || GetUSBDevInfo(i, text) == ATA_OK);
                                       EXPECT_EQ(text[TESSEL_DEVICE_INFO_SIZE], '#');
                                   }
                               });
        EXPECT_GT(runs, 10);
        EXPECT_EQ(enumerate(), 2) << "a clean scan afterwards sees everything again";
    }
    EXPECT_STREQ(CurrentTable.rows[0].mountInfo, "E:");
}

TEST_F(TesselEnumerationFaults, FindVolumeLetterGivesTheLetterOrLeavesTheBuffer) {
    HANDLE drive = OpenDisk(1, GENERIC_READ);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    char letters[8] = " ";
    auto op = [&] {
        std::strcpy(letters, " ");
        FindVolumeLetter(drive, letters);
    };
    op();
    ASSERT_STREQ(letters, "E:");
    int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
        EXPECT_TRUE(std::string(letters) == " " || std::string(letters) == "E:") << letters;
    });
    EXPECT_GT(runs, 3);
    CloseHandle(drive);
}

}  // namespace
}  // namespace tessel::test
