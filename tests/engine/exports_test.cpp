// The library as a host sees it, and its message channel.
#include <sstream>

#include "engine_test_support.h"
#include "exports/tessel.h"
#include "larkin/owned.h"

namespace tessel::test {
namespace {

using larkin::Export;

// The library loads only with Verran and Corvid; its names and ordinals
// reach one entry point each, and both share the device tables.
TEST(TesselExports, LoadsWithItsServicesAndEveryNameAndOrdinalReachesOneEntryPoint) {
    larkin::test::TestMachine machine(larkin::test::MachineText("engine-sticks-e-and-blank"));
    for (const char* service : {"Verran", "Corvid"}) {
        larkin::controls::InjectFault({"LoadLibraryA", service, 0, 0, 1, ERROR_MOD_NOT_FOUND});
        EXPECT_EQ(LoadLibraryA("Tessel"), nullptr) << service;
        EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
        EXPECT_EQ(GetModuleHandleA("Tessel"), nullptr);
        larkin::controls::ClearFaults();
    }
    larkin::Library tessel(LoadLibraryA("Tessel"));
    ASSERT_TRUE(tessel) << GetLastError();
    // Ordinals 1 to 16, as hosts link to them.
    std::istringstream byOrdinal(
        "_Z18CreatePartitionCVDv _Z17EnumUSBDevicesCVDv _Z14GetUSBDevInfoWiPc CreateUSBBoot "
        "GetUSBDevCount GetUSBDevInfo CopyUSBBootImage CopyUSBMBRImage CreatePartition "
        "_CreateUSBBoot@12 EnumUSBDevices _GetUSBDevCount@0 _GetUSBDevInfo@8 OpenDevice "
        "SetCallBackFunc ZeroPartitionInfo");
    for (int ordinal = 1; ordinal <= 18; ++ordinal) {
        std::string name;  // none past 16
        byOrdinal >> name;
        void* address = Export<void*>(tessel, MAKEINTRESOURCEA(ordinal));
        EXPECT_EQ(address == nullptr, name.empty()) << ordinal;
        EXPECT_EQ(address, name.empty() ? nullptr : Export<void*>(tessel, name.c_str())) << name;
    }
    for (const char* name :
         {"EnumUSBDevicesCVD", "CreatePartitionCVD", "_CreateUSBBoot_12", "ScanWithVerran"})
        EXPECT_EQ(Export<void*>(tessel, name), nullptr) << name;

    char text[TESSEL_DEVICE_INFO_SIZE] = "";
    // Nothing scanned yet: all tables empty.
    EXPECT_EQ(Export<TESSEL_GET_USB_DEV_INFO>(tessel, "GetUSBDevInfo")(0, text), ATA_ERROR);
    ASSERT_EQ(Export<TESSEL_GET_USB_DEV_COUNT>(tessel, "_GetUSBDevCount@0")(), 2);
    ASSERT_EQ(Export<TESSEL_GET_USB_DEV_INFO>(tessel, "_GetUSBDevInfo@8")(1, text), ATA_OK);
    EXPECT_STREQ(text, " Kingston DataTraveler 2.0 USB Device");
}

std::vector<std::string> reported;

TEST(TesselMessageChannel, LinesSystemTextsAndBareCodesInCallOrderProgressToTheCallback) {
    std::string output = CapturedOutput([] {
        WriteMessageLine("\n Unable to partition Dest Device");
        SetLastError(ERROR_ACCESS_DENIED);
        PrintSystemMessage();
        SetLastError(ERROR_ACCESS_DENIED);
        ReportLastError();
        WriteMessageLine(nullptr);
        SetLastError(0xE0001234u);
        ReportLastError();
        SetLastError(0xE0001234u);
        PrintSystemMessage();  // names the error FormatMessageA itself left
        SetProgressCallback([](const char* text) { reported.emplace_back(text); });
        ReportProgress("\n Opening Device.....");
        SetProgressCallback(nullptr);
        ReportProgress("\n Lost");
    });
    EXPECT_EQ(output,
              "\n Unable to partition Dest Device\nAccess is denied.\r\nAccess is denied.\r\n\n\n"
              "\n Windows Error No: 3758101044\nFormatMessage failure! 317\n");
    EXPECT_EQ(reported, std::vector<std::string>{"\n Opening Device....."});
    EXPECT_EQ(CurrentProgressCallback(), nullptr);
}

}  // namespace
}  // namespace tessel::test
