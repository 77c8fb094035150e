// EjectDisk: removal by device path on the live machine, seen by every
// process, and its failures.
#include <algorithm>
#include <cctype>
#include <string>

#include "run_program.h"
#include "verran_test_support.h"

namespace verran::test {
namespace {

using larkin::sim::Fault;
using larkin::sim::InjectFault;

class VerranEject : public VerranTest {
  protected:
    std::string TwinPath() {
        EXPECT_EQ(Initialize("USB"), 0);
        auto twin = FindDrive("Twin Stick USB Device");
        return twin ? GetDriveName(twin->first, twin->second) : "";
    }
    bool Present(const std::string& diskId) {
        for (const auto& disk : larkin::sim::Disks())
            if (disk.id == diskId) return disk.present;
        ADD_FAILURE() << "no disk " << diskId;
        return false;
    }
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(VerranEject, RemovesTheDiskWhateverTheLetterCaseForEveryProcess) {
    std::string path = TwinPath();
    ASSERT_FALSE(path.empty());
    std::string upper = Upper(path);
    ASSERT_NE(upper, path);

    EXPECT_EQ(EjectDisk(upper.c_str()), 0);
    EXPECT_FALSE(Present("twin"));
    EXPECT_TRUE(Present("blank"));
    // The snapshot still lists it until the next Initialize.
    EXPECT_TRUE(FindDrive("Twin Stick USB Device"));
    // Ejecting needs no snapshot.
    Destroy();
    ASSERT_TRUE(larkin::sim::Plug("twin", true));
    EXPECT_EQ(EjectDisk(path.c_str()), 0);
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_FALSE(FindDrive("Twin Stick USB Device"));
    EXPECT_TRUE(FindDrive("Blank Stick USB Device"));

    // Another process using the machine no longer sees it either.
    ProgramRun show = RunProgram(std::string(VERRAN_SIMCTL) + " --machine '" +
                                 machine_.file().string() + "' show");
    ASSERT_EQ(show.exitCode, 0) << show.output;
    EXPECT_EQ(show.output.find(path), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("ven_blank"), std::string::npos) << show.output;

    // Gone disks cannot be ejected again.
    EXPECT_EQ(EjectDisk(path.c_str()), 87);
    ASSERT_TRUE(larkin::sim::Plug("twin", true));
    EXPECT_EQ(EjectDisk(path.c_str()), 0);
}

TEST_F(VerranEject, PathOfNoPresentDiskIsAnInvalidParameter) {
    std::string path = TwinPath();
    for (std::string wrong : {std::string(""), path + "x", path.substr(0, path.size() - 1),
                              std::string("\\\\.\\PhysicalDrive1"), std::string("E:")})
        EXPECT_EQ(EjectDisk(wrong.c_str()), 87) << wrong;
    EXPECT_EQ(EjectDisk(nullptr), 87);
    EXPECT_TRUE(Present("twin"));
}

TEST_F(VerranEject, PlatformFailuresAreReported) {
    std::string path = TwinPath();
    struct Case {
        Fault fault;
        INT expected;
    } cases[] = {
        {{"SetupDiGetClassDevsA", "{4d36e967", 0, 0, 1, ERROR_ACCESS_DENIED}, 5},
        {{"SetupDiEnumDeviceInfo", "BLANKSERIAL", 0, 0, 1, ERROR_IO_DEVICE}, 1117},
        {{"SetupDiRemoveDevice", "TWINSERIAL", 0, 0, 1, ERROR_ACCESS_DENIED}, 5},
        // A refusal without an error code is still a failure.
        {{"SetupDiRemoveDevice", "TWINSERIAL", 0, 0, 1, ERROR_SUCCESS}, 31},
        // A disk whose id or path cannot be read is passed over.
        {{"CM_Get_Device_IDA", "TWINSERIAL", 0, 0, 1, CR_FAILURE}, 87},
        {{"SetupDiEnumDeviceInterfaces", "TWINSERIAL", 0, 0, 1, ERROR_GEN_FAILURE}, 87},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.call + " error " + std::to_string(c.fault.error));
        larkin::sim::ClearFaults();
        InjectFault(c.fault);
        EXPECT_EQ(EjectDisk(path.c_str()), c.expected);
        EXPECT_TRUE(Present("twin"));
    }
}

}  // namespace
}  // namespace verran::test
