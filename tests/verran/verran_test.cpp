// The snapshot and the queries on it; EjectDisk, seen by every process; the
// C example, which knows the library only by its exports.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>

#include "verran_test_support.h"
#include "larkin/test_controls.h"

namespace verran::test {
namespace {

using larkin::test::Quoted;
using larkin::test::RunCommand;

class VerranSnapshot : public VerranTest {};

TEST_F(VerranSnapshot, FiltersPickClassesCaseBlindInTheirOrderAndReplaceTheLastSnapshot) {
    const char* all = "ATA SCSIADAPTER SCSI USB USB USB USB ";
    const struct {
        const char* filter;
        const char* interfaces;
    } cases[] = {{nullptr, all},
                 {"", all},
                 {"*anything", all},
                 {" \t*\n", all},
                 {"usb", "USB USB USB USB "},
                 {"USB,ATA", "USB USB USB USB ATA "},
                 {"USB USB", "USB USB USB USB USB USB USB USB "},
                 {",,scsi\tAta\n", "SCSI ATA "},
                 {"SCSIADAPTER", "SCSIADAPTER "},
                 {"FLOPPY, US", ""}};
    for (const auto& c : cases) {
        ASSERT_EQ(Initialize(c.filter), 0);
        std::string interfaces;
        for (DWORD a = 0; a < GetAdapterCount(); ++a)
            interfaces += std::string(GetAdapterInterfaceType(a)) + " ";
        EXPECT_EQ(interfaces, c.interfaces) << (c.filter ? c.filter : "(null)");
    }
}

TEST_F(VerranSnapshot, ListsAdaptersWithTheirDrivesNumbersAndLetters) {
    ASSERT_EQ(Initialize("*"), 0);
    // The SCSI class is walked twice: as SCSIADAPTER and as SCSI.
    EXPECT_EQ(Snapshot(),
              "ATA: System#0=C:\nSCSIADAPTER: Cheetah#5=G:\nSCSI: Cheetah#5=G:\nUSB:\n"
              "USB: Blank#2=\nUSB: Alpha#3= Beta#4=\nUSB: Twin#1=E:;F:\n");
    EXPECT_STREQ(GetAdapterName(1), GetAdapterName(2));
    EXPECT_STREQ(GetAdapterName(3), "");  // the hub has no port
    EXPECT_STREQ(GetAdapterDescription(3), "Generic USB Hub");

    std::string port = GetAdapterName(5);
    EXPECT_EQ(port.rfind("\\\\?\\usb#vid_1234&pid_0002#adapterthree#{2accfe60", 0), 0u) << port;
    std::string path = GetDriveName(6, 0);
    EXPECT_EQ(path.rfind("\\\\?\\usbstor#disk&ven_twin&prod_stick", 0), 0u) << path;
    EXPECT_NE(path.find("{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), std::string::npos) << path;
    // A drive is described by its letters, or else by its name.
    EXPECT_STREQ(GetDriveDescription(6, 0), "E:;F:");
    EXPECT_STREQ(GetDriveDescription(4, 0), "Blank");
    EXPECT_EQ(GetDriveCount(GetAdapterCount()), 0u);
}

TEST_F(VerranSnapshot, RegistryDataReadsAsTextOrHex) {
    ASSERT_EQ(Initialize("USB"), 0);
    DWORD usb1 = FindDrive("Twin")->first, usb3 = FindDrive("Alpha")->first;
    EXPECT_STREQ(GetAdapterInfo(usb1, "CAPABILITIES"), "84 00 00 00");
    EXPECT_STREQ(GetAdapterInfo(usb1, "UI_NUMBER_DESC_FORMAT"), "01 02 ff");
    EXPECT_STREQ(GetAdapterInfo(usb1, "BUSTYPEGUID"),
                 "bc eb 7d 9d 5d c8 d1 11 9e b4 00 60 08 c3 a1 9a");
    EXPECT_STREQ(GetAdapterInfo(usb1, "COMPATIBLEIDS"), "USB\\Class_08&SubClass_06&Prot_50");
    EXPECT_STREQ(GetAdapterInfo(usb1, "INTERFACE"), "USB");
    EXPECT_STREQ(GetAdapterInfo(usb3, "UPPERFILTERS"), "first");
    // A number made only of zero bytes passes as text: present but empty.
    EXPECT_STREQ(GetAdapterInfo(usb3, "UI_NUMBER"), "");
    EXPECT_NE(std::strstr(GetAdapterInfo(usb3, nullptr), "UI_NUMBER"), nullptr);
    // Properties the registry does not deliver are left out.
    EXPECT_STREQ(GetAdapterInfo(usb1, "MFG"), "");
    EXPECT_STREQ(GetAdapterInfo(usb1, "SECURITY"), "");
}

TEST_F(VerranSnapshot, NullNameGivesTheSharedNameListAndOtherNamesMatchExactly) {
    ASSERT_EQ(Initialize("USB"), 0);
    auto [a, d] = *FindDrive("Twin");
    const char* list = GetAdapterInfo(0, nullptr);
    EXPECT_STREQ(list,
                 "DEVICE_NAME, DEVICE_NUMBER, INTERFACE, DEVICEDESC, MOUNT_INFO, HARDWAREID, "
                 "COMPATIBLEIDS, UNUSED0, SERVICE, UNUSED1, UNUSED2, CLASS, CLASSGUID, DRIVER, "
                 "CONFIGFLAGS, MFG, FRIENDLYNAME, LOCATION_INFORMATION, "
                 "PHYSICAL_DEVICE_OBJECT_NAME, CAPABILITIES, UI_NUMBER, UPPERFILTERS, "
                 "LOWERFILTERS, BUSTYPEGUID, LEGACYBUSTYPE, BUSNUMBER, ENUMERATOR_NAME, SECURITY, "
                 "SECURITY_SDS, DEVTYPE, EXCLUSIVE, CHARACTERISTICS, ADDRESS, "
                 "UI_NUMBER_DESC_FORMAT, DEVICE_POWER_DATA, REMOVAL_POLICY, "
                 "REMOVAL_POLICY_HW_DEFAULT, REMOVAL_POLICY_OVERRIDE, INSTALL_STATE");
    EXPECT_EQ(GetDriveInfo(a, d, nullptr), list);
    EXPECT_STREQ(GetAdapterInfo(GetAdapterCount(), nullptr), "");
    EXPECT_STREQ(GetDriveInfo(a, GetDriveCount(a), nullptr), "");
    EXPECT_STREQ(GetDriveInfo(GetAdapterCount(), 0, nullptr), "");
    for (const char* near : {"Mount_Info", "MOUNT_INFO ", "MOUNT", "", "FriendlyName"})
        EXPECT_STREQ(GetDriveInfo(a, d, near), "") << near;
    EXPECT_STREQ(GetAdapterInfo(a, "interface"), "");
}

TEST_F(VerranSnapshot, EveryResultIsTextWithoutSnapshot) {
    ASSERT_EQ(Initialize("USB"), 0);
    Destroy();
    Destroy();  // twice is harmless
    EXPECT_EQ(GetAdapterCount(), 0u);
    for (DWORD i : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(GetDriveCount(i), 0u);
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

class VerranDescriptions : public VerranTest {
  protected:
    VerranDescriptions() : VerranTest("verran-description-fallbacks") {}
};

TEST_F(VerranDescriptions, FallBackToTheFirstNonEmptyValue) {
    ASSERT_EQ(Initialize("USB"), 0);
    ASSERT_EQ(GetAdapterCount(), 5u);
    const char* adapters[] = {"Named Reader", "Described Reader", "USB",
                              "{36fc9e60-c465-11cf-8056-444553540000}", "<Unknown>"};
    const char* drives[] = {"Plain Disk", "Disk drive", "DiskDrive",
                            "{4d36e967-e325-11ce-bfc1-08002be10318}", "E:"};
    for (DWORD a = 0; a < 5; ++a) {
        EXPECT_STREQ(GetAdapterDescription(a), adapters[a]);
        EXPECT_STREQ(GetDriveDescription(a, 0), drives[a]);
    }
    EXPECT_STREQ(GetDriveDescription(4, 1), "<Unknown>");
}

class VerranEject : public VerranTest {
  protected:
    std::string TwinPath() {
        EXPECT_EQ(Initialize("USB"), 0);
        auto twin = FindDrive("Twin");
        return twin ? GetDriveName(twin->first, twin->second) : "";
    }
};

TEST_F(VerranEject, RemovesTheDiskWhateverTheLetterCaseForEveryProcess) {
    std::string path = TwinPath(), upper = path;
    std::transform(path.begin(), path.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    ASSERT_NE(upper, path);
    EXPECT_EQ(EjectDisk(upper.c_str()), 0);
    EXPECT_TRUE(FindDrive("Twin"));  // listed until the next Initialize
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_FALSE(FindDrive("Twin"));
    EXPECT_TRUE(FindDrive("Blank"));
    // Ejecting needs no snapshot.
    ASSERT_TRUE(larkin::sim::Plug("twin", true));
    Destroy();
    EXPECT_EQ(EjectDisk(path.c_str()), 0);

    // Another process using the machine no longer sees it either.
    auto show = RunCommand(std::string(VERRAN_SIMCTL) + " --machine " +
                           Quoted(machine_.file().string()) + " show");
    ASSERT_EQ(show.exitCode, 0) << show.output;
    EXPECT_EQ(show.output.find(path), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("ven_blank"), std::string::npos) << show.output;

    // Gone disks cannot be ejected again.
    EXPECT_EQ(EjectDisk(path.c_str()), 87);
    ASSERT_TRUE(larkin::sim::Plug("twin", true));
    EXPECT_EQ(EjectDisk(path.c_str()), 0);
}

TEST_F(VerranEject, FailuresAreReportedAndLeaveTheDisk) {
    std::string path = TwinPath();
    for (std::string wrong : {std::string(""), path + "x", path.substr(0, path.size() - 1),
                              std::string("\\\\.\\PhysicalDrive1"), std::string("E:")})
        EXPECT_EQ(EjectDisk(wrong.c_str()), 87) << wrong;
    EXPECT_EQ(EjectDisk(nullptr), 87);
    const struct {
        larkin::controls::Fault fault;
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
        larkin::controls::ClearFaults();
        larkin::controls::InjectFault(c.fault);
        EXPECT_EQ(EjectDisk(path.c_str()), c.expected);
    }
    larkin::controls::ClearFaults();
    EXPECT_EQ(EjectDisk(path.c_str()), 0);  // it was left in place
}

TEST(VerranListUsbDrives, ListsTheDemoMachinesSticks) {
    larkin::test::TempFolder folder;
    std::filesystem::path machine = folder.path() / "demo.toml";
    std::filesystem::copy_file(VERRAN_DEMO_MACHINE, machine);
    auto run =
        RunCommand("LARKIN_MACHINE=" + Quoted(machine.string()) + " " + VERRAN_LIST_USB_DRIVES);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output,
              "\\\\?\\usbstor#disk&ven_sandisk&prod_cruzer_blade&rev_1.26#4c530001230612&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n"
              "    letters: E:\n"
              "    description: E:\n"
              "    friendly name: SanDisk Cruzer Blade USB Device\n"
              "\\\\?\\usbstor#disk&ven_kingston&prod_datatraveler_2.0&rev_pmap#001cc0ec34a1b&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n"
              "    letters: (none)\n"
              "    description: Kingston DataTraveler 2.0 USB Device\n"
              "    friendly name: Kingston DataTraveler 2.0 USB Device\n"
              "2 USB drives\n");
}

}  // namespace
}  // namespace verran::test
