// Every platform call of the enumeration and of the volume mapping failing
// once, in turn: the operations keep their results sound and leave no handle
// open.
#include <cstring>
#include <string>

#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "shell/volume_mapping.h"

namespace tessel::test {
namespace {

class TesselEnumerationFaults : public EngineTest {};

// What a faulted scan may give: fewer drives, or the same drives with less
// known about them, never a text outside its field or a row beyond the count.
void ExpectSoundCurrentTable(int count, int cleanCount) {
    EXPECT_GE(count, 0);
    EXPECT_LE(count, cleanCount);
    for (int i = 0; i < count; ++i) {
        char text[TESSEL_DEVICE_INFO_SIZE + 1];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(GetUSBDevInfo(i, text), ATA_OK);
        EXPECT_EQ(text[TESSEL_DEVICE_INFO_SIZE], '#');
    }
    char text[TESSEL_DEVICE_INFO_SIZE];
    EXPECT_EQ(GetUSBDevInfo(count, text), ATA_ERROR);
}

TEST_F(TesselEnumerationFaults, GetUSBDevCount) {
    int count = 0;
    auto op = [&] { count = GetUSBDevCount(); };
    op();
    ASSERT_EQ(count, 2);
    int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
        ExpectSoundCurrentTable(count, 2);
        // The letter completion never reports a letter the drive lacks.
        for (int i = 0; i < count; ++i) {
            std::string letters = CurrentTable.rows[i].mountInfo;
            EXPECT_TRUE(letters.empty() || letters == "E:") << letters;
        }
    });
    EXPECT_GT(runs, 20);
    // A clean scan afterwards sees everything again.
    EXPECT_EQ(GetUSBDevCount(), 2);
    EXPECT_STREQ(CurrentTable.rows[0].mountInfo, "E:");
}

TEST_F(TesselEnumerationFaults, EnumUSBDevicesThroughVerranAndCorvid) {
    for (auto enumerate : {&EnumUSBDevices, &EnumUSBDevicesCVD}) {
        int count = 0;
        auto op = [&] { count = enumerate(); };
        int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
            EXPECT_GE(count, 0);
            EXPECT_LE(count, 2);
            EXPECT_EQ(BaselineTable.count, count);
        });
        EXPECT_GT(runs, 10);
        EXPECT_EQ(enumerate(), 2);
    }
}

TEST_F(TesselEnumerationFaults, FindVolumeLetter) {
    HANDLE drive =
        CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    char letters[8] = " ";
    auto op = [&] {
        std::strcpy(letters, " ");
        FindVolumeLetter(drive, letters);
    };
    op();
    ASSERT_STREQ(letters, "E:");
    int runs = FailEachCallInTurn(op, [&](const std::string&, int) {
        std::string found = letters;
        EXPECT_TRUE(found == " " || found == "E:") << found;
    });
    EXPECT_GT(runs, 3);
    CloseHandle(drive);
}

}  // namespace
}  // namespace tessel::test
