// corvid-list on a copy of the demo machine: a program that calls only
// Corvid sees the USB drives with their keys and sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core_test_support.h"

namespace larkin::test {
namespace {

struct Drive {
    std::string driveName;
    std::string friendlyName;
    std::string mountInfo;
    std::string size;
};

std::string Field(const std::string& line, const std::string& key) {
    std::string prefix = "  " + key + ": ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
}

// Runs corvid-list in its own folder on a copy of the demo machine, with
// extraToml appended to the machine file.
std::vector<Drive> ListDemo(const std::string& extraToml, std::string* output) {
    TempFolder folder;
    std::filesystem::path machine = folder.path() / "demo.toml";
    std::filesystem::copy_file(LARKIN_DEMO_MACHINE, machine);
    std::ofstream(machine, std::ios::app) << "\n" << extraToml;
    std::filesystem::path program = ProgramFolder() / "corvid-list";
    std::filesystem::path out = folder.path() / "out.txt";
    std::string command = "cd '" + folder.path().string() + "' && LARKIN_MACHINE='" +
                          machine.string() + "' '" + program.string() + "' > '" + out.string() +
                          "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream file(out);
    std::stringstream text;
    text << file.rdbuf();
    *output = text.str();
    std::vector<Drive> drives;
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("Device ", 0) == 0) drives.emplace_back();
        if (drives.empty()) continue;
        if (line.rfind("  DriveName: ", 0) == 0) drives.back().driveName = Field(line, "DriveName");
        if (line.rfind("  FRIENDLYNAME: ", 0) == 0)
            drives.back().friendlyName = Field(line, "FRIENDLYNAME");
        if (line.rfind("  MOUNTINFO: ", 0) == 0) drives.back().mountInfo = Field(line, "MOUNTINFO");
        if (line.rfind("  Size: ", 0) == 0) drives.back().size = Field(line, "Size");
    }
    return drives;
}

TEST(CorvidList, DemoMachineShowsItsUsbSticksThroughVerran) {
    if (!LibraryBesideProgram("Verran")) GTEST_SKIP() << "libVerran.so is not built";
    std::string output;
    std::vector<Drive> drives = ListDemo("", &output);
    ASSERT_EQ(drives.size(), 2u) << output;
    EXPECT_EQ(drives[0].friendlyName, "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(drives[0].mountInfo, "E:");
    EXPECT_EQ(drives[0].size, "134217728 bytes (262144 blocks of 512)");
    EXPECT_EQ(drives[1].friendlyName, "Kingston DataTraveler 2.0 USB Device");
    EXPECT_EQ(drives[1].size, "67108864 bytes (131072 blocks of 512)");
    for (const Drive& drive : drives) EXPECT_EQ(drive.driveName.rfind("\\\\?\\", 0), 0u) << output;
    EXPECT_NE(drives[0].driveName, drives[1].driveName);
}

// The physical-drive probe lists every disk it may open for writing: the
// platform refuses that for the disk holding the system, so both sticks show
// (whatever their class) and the system disk does not.
TEST(CorvidList, WithoutVerranTheProbeShowsTheDisksWithoutTheirNames) {
    std::string output;
    std::vector<Drive> drives =
        ListDemo("[[fault]]\ncall = \"LoadLibraryA\"\ndevice = \"Verran\"\ncount = 0\n", &output);
    ASSERT_EQ(drives.size(), 2u) << output;
    EXPECT_EQ(drives[0].size, "134217728 bytes (262144 blocks of 512)");
    EXPECT_EQ(drives[1].size, "67108864 bytes (131072 blocks of 512)");
    for (const Drive& drive : drives) {
        EXPECT_EQ(drive.driveName, "");
        EXPECT_EQ(drive.friendlyName, "");
        EXPECT_EQ(drive.mountInfo, "");
    }
    EXPECT_NE(output.find("Use SPTI/ASPI"), std::string::npos);  // the box, on the error stream
}

}  // namespace
}  // namespace larkin::test
