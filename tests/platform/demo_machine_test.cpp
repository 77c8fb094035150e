// The demo machine a user starts with (machines/demo.toml) loads and shows
// what its comments promise: two USB sticks, the blank one a Kingston, and
// the volumes A:, C: and E:. (The rules it is used by are the conformance
// suite's.)
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "test_machine.h"

namespace {

std::vector<std::string> VolumeLetters() {
    std::vector<std::string> letters;
    char name[MAX_PATH];
    HANDLE search = FindFirstVolumeA(name, sizeof name);
    if (search == INVALID_HANDLE_VALUE) return letters;
    do {
        char paths[512];
        DWORD returned = 0;
        if (GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &returned))
            for (const char* p = paths; *p; p += std::strlen(p) + 1) letters.emplace_back(p);
    } while (FindNextVolumeA(search, name, sizeof name));
    FindVolumeClose(search);
    return letters;
}

TEST(DemoMachine, ShowsTwoSticksAndItsVolumes) {
    std::ostringstream toml;
    toml << std::ifstream(LARKIN_SOURCE_DIR "/machines/demo.toml").rdbuf();
    larkin::test::TestMachine machine(toml.str());
    ASSERT_TRUE(machine.started()) << machine.error();
    EXPECT_EQ(VolumeLetters(), (std::vector<std::string>{"A:\\", "C:\\", "E:\\"}));
    std::vector<std::string> sticks;
    HDEVINFO set =
        SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, "USBSTOR", nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char id[MAX_DEVICE_ID_LEN];
        ASSERT_EQ(CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0), CR_SUCCESS);
        sticks.emplace_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_EQ(sticks.size(), 2u);
    EXPECT_NE(sticks[1].find("KINGSTON"), std::string::npos) << sticks[1];
}

}  // namespace
