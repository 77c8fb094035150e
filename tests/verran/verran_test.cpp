#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <optional>

#include "allocation_faults.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "verran/verran.h"
#include "win32/windows.h"

namespace verran::test {
namespace {

using larkin::controls::Fault;
using namespace larkin::test;

// The snapshot, an adapter a line: its interface, then each drive as
// friendly name, number and letters ("USB: Twin#1=E:;F:").
std::string Snapshot() {
    std::string text;
    for (DWORD a = 0; a < GetAdapterCount(); ++a) {
        text += std::string(GetAdapterInterfaceType(a)) + ":";
        for (DWORD d = 0; d < GetDriveCount(a); ++d)
            text += std::string(" ") + GetDriveInfo(a, d, "FRIENDLYNAME") + "#" +
                    GetDriveInfo(a, d, "DEVICE_NUMBER") + "=" + GetDriveInfo(a, d, "MOUNT_INFO");
        text += "\n";
    }
    return text;
}

std::optional<std::pair<DWORD, DWORD>> FindDrive(const std::string& friendlyName) {
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        for (DWORD d = 0; d < GetDriveCount(a); ++d)
            if (friendlyName == GetDriveInfo(a, d, "FRIENDLYNAME")) return std::pair{a, d};
    return std::nullopt;
}

class VerranTest : public ::testing::Test {
  protected:
    void TearDown() override {
        allocation::Failed();
        larkin::controls::ClearFaults();
        Destroy();
    }
    void Use(const char* machine) { machine_.emplace(MachineText(machine)); }
    std::string TwinPath() {
        EXPECT_EQ(Initialize("USB"), 0);
        auto twin = FindDrive("Twin");
        return twin ? GetDriveName(twin->first, twin->second) : "";
    }
    std::optional<TestMachine> machine_{std::in_place, MachineText("verran-workbench")};
};

TEST_F(VerranTest, FiltersPickClassesAndTheSnapshotListsDrivesAndRegistryDataByExactName) {
    const char* all = "ATA SCSIADAPTER SCSI USB USB USB USB ";
    const struct {
        const char* filter;
        const char* interfaces;
    } cases[] = {// clang-format off
        {nullptr, all}, {"", all}, {"*anything", all}, {" \t*\n", all}, {"usb", "USB USB USB USB "},
        {"USB,ATA", "USB USB USB USB ATA "}, {"USB USB", "USB USB USB USB USB USB USB USB "},
        {",,scsi\tAta\n", "SCSI ATA "}, {"SCSIADAPTER", "SCSIADAPTER "}, {"FLOPPY, US", ""}};
    // clang-format on
    for (const auto& c : cases) {
        ASSERT_EQ(Initialize(c.filter), 0);
        std::string interfaces;
        for (DWORD a = 0; a < GetAdapterCount(); ++a)
            interfaces += std::string(GetAdapterInterfaceType(a)) + " ";
        EXPECT_EQ(interfaces, c.interfaces) << (c.filter ? c.filter : "(null)");
    }

    ASSERT_EQ(Initialize("*"), 0);
    // The SCSI class is walked twice: as SCSIADAPTER and as SCSI.
    EXPECT_EQ(Snapshot(),
              "ATA: System#0=C:\nSCSIADAPTER: Cheetah#5=G:\nSCSI: Cheetah#5=G:\nUSB:\n"
              "USB: Blank#2=\nUSB: Alpha#3= Beta#4=\nUSB: Twin#1=E:;F:\n");
    EXPECT_STREQ(GetAdapterName(1), GetAdapterName(2));
    // The hub has no port.
    EXPECT_EQ(std::string(GetAdapterName(3)) + "|" + GetAdapterName(5) + "|" + GetDriveName(6, 0),
              "|\\\\?\\usb#vid_1234&pid_0002#adapterthree#{2accfe60-c130-11d2-b082-00a0c91efb8b}|"
              "\\\\?\\usbstor#disk&ven_twin&prod_stick&rev_1.00#twinserial&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");

    // Registry data reads as text or hex; MFG and SECURITY are not delivered.
    DWORD usb1 = 6, usb3 = FindDrive("Alpha")->first;
    // clang-format off
    for (auto [adapter, key, value] : {
             std::tuple{usb1, "CAPABILITIES", "84 00 00 00"}, {usb1, "UI_NUMBER_DESC_FORMAT", "01 02 ff"},
             {usb1, "BUSTYPEGUID", "bc eb 7d 9d 5d c8 d1 11 9e b4 00 60 08 c3 a1 9a"},
             {usb1, "COMPATIBLEIDS", "USB\\Class_08&SubClass_06&Prot_50"}, {usb1, "INTERFACE", "USB"},
             {usb3, "UPPERFILTERS", "first"}, {usb1, "MFG", ""}, {usb1, "SECURITY", ""},
             {usb3, "UI_NUMBER", ""}})  // zero bytes only: present but empty
        EXPECT_STREQ(GetAdapterInfo(adapter, key), value) << key;
    // clang-format on
    EXPECT_NE(std::strstr(GetAdapterInfo(usb3, nullptr), "UI_NUMBER"), nullptr);

    auto [a, d] = *FindDrive("Twin");
    const std::string list = GetAdapterInfo(0, nullptr);
    EXPECT_EQ(list.substr(0, 27), "DEVICE_NAME, DEVICE_NUMBER,");
    EXPECT_TRUE(list.ends_with(", INSTALL_STATE")) << list;
    EXPECT_EQ(GetDriveInfo(a, d, nullptr), list);
    const DWORD past = GetAdapterCount();
    std::string empty = std::string(GetAdapterInfo(past, nullptr)) +
                        GetAdapterInfo(a, "interface") +
                        GetDriveInfo(a, GetDriveCount(a), nullptr) + GetDriveInfo(past, 0, nullptr);
    for (const char* near : {"Mount_Info", "MOUNT_INFO ", "MOUNT", "", "FriendlyName"})
        empty += GetDriveInfo(a, d, near);
    EXPECT_EQ(empty + std::to_string(GetDriveCount(past)), "0");
    Destroy();  // and again when the test ends: twice is harmless
    EXPECT_EQ(GetAdapterCount(), 0u);
    for (DWORD i : {0u, 1u, 0xFFFFFFFFu})
        EXPECT_EQ(std::to_string(GetDriveCount(i)) + GetAdapterInfo(i, "DEVICE_NAME") +
                      GetAdapterInfo(i, nullptr) + GetDriveInfo(i, i, nullptr) + GetAdapterName(i) +
                      GetAdapterInterfaceType(i) + GetDriveName(i, 0) + "|" +
                      GetAdapterDescription(i) + GetDriveDescription(i, 0),
                  "0|<Unknown><Unknown>");
}

TEST_F(VerranTest, DescriptionsFallBackAndAnEmptySlotEndsTheLetterScan) {
    Use("verran-description-fallbacks");
    ASSERT_EQ(Initialize("USB"), 0);
    std::string descriptions;
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        descriptions +=
            std::string(GetAdapterDescription(a)) + "/" + GetDriveDescription(a, 0) + "|";
    EXPECT_EQ(descriptions + GetDriveDescription(4, 1),
              "Named Reader/Plain Disk|Described Reader/Disk drive|USB/DiskDrive|"
              "{36fc9e60-c465-11cf-8056-444553540000}/{4d36e967-e325-11ce-bfc1-08002be10318}|"
              "<Unknown>/E:|<Unknown>");
    Use("verran-empty-card-slot");
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_EQ(Snapshot(), "USB: Slot#0=\nUSB: Stick#1=\n");
}

// A removal, whatever the letter case, is seen by every process.
TEST_F(VerranTest, EjectsRefuseOtherPathsAndARemovalIsSeenByEveryProcess) {
    std::string path = TwinPath(), upper = path;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, path);
    for (std::string wrong : {std::string(""), path + "x", path.substr(0, path.size() - 1),
                              std::string("\\\\.\\PhysicalDrive1"), std::string("E:")})
        EXPECT_EQ(EjectDisk(wrong.c_str()), 87) << wrong;
    EXPECT_EQ(EjectDisk(nullptr), 87);
    EXPECT_EQ(EjectDisk(upper.c_str()), 0);
    EXPECT_TRUE(FindDrive("Twin"));  // listed until the next Initialize
    ASSERT_EQ(Initialize("USB"), 0);
    EXPECT_EQ(Snapshot(), "USB:\nUSB: Blank#2=\nUSB: Alpha#3= Beta#4=\n");
    // Ejecting needs no snapshot.
    ASSERT_TRUE(larkin::sim::Plug("twin", true));
    Destroy();
    EXPECT_EQ(EjectDisk(path.c_str()), 0);
    auto show = RunCommand(std::string(VERRAN_SIMCTL) + " --machine " +
                           Quoted(machine_->file().string()) + " show");
    ASSERT_EQ(show.exitCode, 0) << show.output;
    EXPECT_EQ(show.output.find(path), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("ven_blank"), std::string::npos) << show.output;
    EXPECT_EQ(EjectDisk(path.c_str()), 87);  // gone
}

// Each stick's path, then its letters, description and friendly name.
TEST_F(VerranTest, ListUsbDrivesPrintsEachSticksPathLettersDescriptionAndName) {
    auto run = RunCommand("LARKIN_MACHINE=" + Quoted(machine_->file().string()) + " " +
                          VERRAN_LIST_USB_DRIVES);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    for (const char* stick :
         {"&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n    letters: (none)\n"
          "    description: Blank\n",
          "    letters: E:;F:\n    description: E:;F:\n    friendly name: Twin\n"})
        EXPECT_NE(run.output.find(stick), std::string::npos) << run.output;
    EXPECT_TRUE(run.output.ends_with("Twin\n4 USB drives\n")) << run.output;
}

// A filter runs Initialize, none an eject of Twin (whose failures leave every
// disk listed).
TEST_F(VerranTest, WalkFailuresEndInitializeOrEjectOrLeaveOutOnlyWhatFailed) {
    const std::string path = TwinPath();
    const std::string usb = "USB:\nUSB: Blank#2=\n", twin = "USB: Twin#1=E:;F:\n";
    const std::string pair = "USB: Alpha#3= Beta#4=\n", alpha = "USB: Alpha#3=\n";
    const std::string scsi = "SCSI: Cheetah#5=G:\n", all = usb + pair + twin;
    const struct {
        const char* filter;
        Fault fault;
        INT status;
        std::string snapshot;
    } cases[] = {
        // clang-format off
        {nullptr, {"SetupDiGetClassDevsA", "{4d36e967", 0, 0, 1, ERROR_ACCESS_DENIED}, 5, all},
        {nullptr, {"SetupDiEnumDeviceInfo", "BLANKSERIAL", 0, 0, 1, ERROR_IO_DEVICE}, 1117, all},
        {nullptr, {"SetupDiRemoveDevice", "TWINSERIAL", 0, 0, 1, ERROR_ACCESS_DENIED}, 5, all},
        // A refusal without an error code is still a failure.
        {nullptr, {"SetupDiRemoveDevice", "TWINSERIAL", 0, 0, 1, ERROR_SUCCESS}, 31, all},
        // A disk whose id or path cannot be read is passed over.
        {nullptr, {"CM_Get_Device_IDA", "TWINSERIAL", 0, 0, 1, CR_FAILURE}, 87, all},
        {nullptr, {"SetupDiEnumDeviceInterfaces", "TWINSERIAL", 0, 0, 1, ERROR_GEN_FAILURE}, 87, all},
        // A class set that cannot be made ends the walk; earlier classes stay.
        {"ATA USB", {"SetupDiGetClassDevsA", "{36fc9e60", 0, 0, 1, 5}, 5, "ATA: System#0=C:\n"},
        // So does a failing adapter; the hub before it stays.
        {"USB", {"SetupDiEnumDeviceInfo", "ADAPTERTWO", 0, 0, 1, 31}, 31, "USB:\n"},
        {"USB", {"CM_Get_Device_IDA", "ADAPTERTWO", 0, 0, 1, CR_OUT_OF_MEMORY}, 2, "USB:\n"},
        {"USB", {"SetupDiGetClassDevsA", "ADAPTERTWO", 0, 0, 1, 21}, 21, "USB:\n"},
        {"USB", {"SetupDiEnumDeviceInterfaces", "ADAPTERTWO", 0, 0, 1, 1117}, 1117, "USB:\n"},
        {"USB", {"SetupDiGetDeviceInterfaceDetailA", "adaptertwo#", 0, 0, 1, 5}, 5, "USB:\n"},
        // A failing child walk skips the rest of that adapter only.
        {"USB", {"CM_Get_Child", "ADAPTERTHREE", 0, 0, 1, CR_FAILURE}, 0, usb + "USB:\n" + twin},
        {"USB", {"CM_Get_Sibling", "PAIRALPHA", 0, 0, 1, CR_FAILURE}, 0, usb + alpha + twin},
        {"USB", {"CM_Get_Device_IDA", "PAIRBETA", 0, 0, 1, CR_FAILURE}, 0, usb + alpha + twin},
        {"USB", {"SetupDiGetClassDevsA", "PAIRALPHA", 0, 0, 1, 21}, 0, usb + "USB:\n" + twin},
        {"USB", {"SetupDiEnumDeviceInterfaces", "PAIRALPHA", 0, 0, 1, 31}, 0, usb + "USB:\n" + twin},
        {"USB", {"SetupDiGetDeviceInterfaceDetailA", "prod_beta", 0, 0, 1, 31}, 0, usb + alpha + twin},
        // A disk that cannot be asked is kept without number and letters.
        {"USB", {"CreateFileA", "ven_twin", 0, 0, 1, 32}, 0, usb + pair + "USB: Twin#=\n"},
        {"USB", {"DeviceIoControl", "ven_twin", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 1, 21}, 0,
         usb + pair + "USB: Twin#=\n"},
        // A property that cannot be read is left out.
        {"USB", {"SetupDiGetDeviceRegistryPropertyA", "PAIRALPHA", SPDRP_FRIENDLYNAME, 0, 0, 13}, 0,
         usb + "USB: #3= Beta#4=\n" + twin},
        // A volume that cannot be opened loses only its letter; unreadable
        // extents end the letter scan.
        {"USB SCSI", {"CreateFileA", "\\\\.\\E:", 0, 0, 1, 5}, 0, usb + pair + "USB: Twin#1=F:\n" + scsi},
        {"ATA SCSI", {"DeviceIoControl", "\\\\.\\E:", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0, 1, 21}, 0,
         "ATA: System#0=C:\nSCSI: Cheetah#5=\n"},
        // A failed bus rescan is ignored.
        {"SCSI", {"CreateFileA", "scsizero#{2accfe60", 0, 0, 1, 5}, 0, scsi},
        {"SCSI", {"DeviceIoControl", "scsizero", IOCTL_SCSI_RESCAN_BUS, 0, 1, 1117}, 0, scsi},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.call + " on " + c.fault.device);
        larkin::controls::InjectFault(c.fault);
        EXPECT_EQ(c.filter ? Initialize(c.filter) : EjectDisk(path.c_str()), c.status);
        larkin::controls::ClearFaults();
        if (!c.filter) Initialize("USB");
        EXPECT_EQ(Snapshot(), c.snapshot);
    }
}

// Out of memory inside the library is its internal fault; inside a platform
// call it is that call's failure (ERROR_NOT_ENOUGH_MEMORY), which the volume
// scan may pass over, leaving every adapter listed; whatever was gathered
// stays readable.
TEST_F(VerranTest, OutOfMemoryInInitializeOrEjectDiskGivesInternalFault) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    int faults = 0, failures = 0;
    for (long point = 0;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point);
        INT status = Initialize("*");
        if (!allocation::Failed()) break;
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    (status == 0 && GetAdapterCount() == 7u))
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        failures += status != 0;
        Snapshot();
    }
    EXPECT_TRUE(faults >= 3 && failures >= 5) << faults << " " << failures;
    std::string path = TwinPath();
    Destroy();

    // Every allocation in turn: most of them are the platform's now, and the
    // library's own few must not be stepped over. A failed lookup of one
    // disk's path passes that disk over, and with it the match (87).
    faults = 0;
    for (long point = 0;; ++point) {
        allocation::FailAfter(point);
        INT status = EjectDisk(path.c_str());
        if (!allocation::Failed()) {
            EXPECT_EQ(status, 0);
            break;
        }
        EXPECT_TRUE(status == VERRAN_INTERNAL_FAULT || status == ERROR_NOT_ENOUGH_MEMORY ||
                    status == ERROR_INVALID_PARAMETER || status == 0)
            << "allocation " << point << " gave " << status;
        faults += status == VERRAN_INTERNAL_FAULT;
        EXPECT_TRUE(status != 0 || larkin::sim::Plug("twin", true));  // ejected: plug it back
    }
    EXPECT_GT(faults, 0);
}

}  // namespace
}  // namespace verran::test
