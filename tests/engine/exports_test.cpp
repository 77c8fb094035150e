// The library as a host sees it, its message channel, and out of memory
// inside each export, allocation after allocation: nothing thrown leaves the
// library. (GetUSBDevInfo[W], SetCallBackFunc allocate nothing.)
#include "allocation_faults.h"
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

namespace allocation = larkin::test::allocation;

TEST(TesselMemoryFault, NothingLeavesAnExport) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    larkin::test::TestMachine machine(StickMachine());
    const std::string saved = (machine.folder() / "saved.mbr").string();
    const std::string image = (machine.folder() / "image.dat").string();
    std::ofstream(image, std::ios::binary) << std::string(4096, '\x42');
    larkin::Library tessel(LoadLibraryA("Tessel"));
    ASSERT_TRUE(tessel) << GetLastError();
    // Bound first: looking an export up allocates too.
    auto bound = [&](auto type, const char* name) {
        return larkin::Export<decltype(type)>(tessel, name);
    };
    auto enumVerran = bound(TESSEL_ENUM_USB_DEVICES{}, "EnumUSBDevices");
    auto enumCorvid = bound(TESSEL_ENUM_USB_DEVICES_CVD{}, TESSEL_ENUM_USB_DEVICES_CVD_DECORATED);
    auto partitionCvd = bound(TESSEL_CREATE_PARTITION_CVD{}, TESSEL_CREATE_PARTITION_CVD_DECORATED);
    auto boot = bound(TESSEL_CREATE_USB_BOOT{}, "CreateUSBBoot");
    auto writer = bound(TESSEL_COPY_USB_BOOT_IMAGE{}, "CopyUSBBootImage");
    auto restorer = bound(TESSEL_COPY_USB_MBR_IMAGE{}, "CopyUSBMBRImage");
    auto open = bound(TESSEL_OPEN_DEVICE{}, "OpenDevice");
    // Each with the answers to its questions and what puts it back before a
    // call; the flows that search for the boot records' library fail only in
    // the engine's own allocations (out of memory there ends the process).
    const struct {
        const char* name;
        std::function<int()> call;
        const char* input = "";
        std::function<void()> prepare = {};
        bool ownOnly = false;
    } exports[] = {
        {"GetUSBDevCount", bound(TESSEL_GET_USB_DEV_COUNT{}, "GetUSBDevCount")},
        {"OpenDevice",
         [&] {
             HANDLE handle = INVALID_HANDLE_VALUE;
             int status = open(0, &handle);
             if (status == ATA_OK) CloseHandle(handle);
             return status;
         }},
        {"EnumUSBDevices", enumVerran},
        {"EnumUSBDevicesCVD", enumCorvid},
        {"ZeroPartitionInfo", bound(TESSEL_ZERO_PARTITION_INFO{}, "ZeroPartitionInfo")},
        // From the same baseline each time: a scan cut short replaces it.
        {"CreatePartition", bound(TESSEL_CREATE_PARTITION{}, "CreatePartition"), "", enumVerran},
        {"CreatePartitionCVD", [&] { return static_cast<int>(partitionCvd()); }, "", enumCorvid},
        {"CreateUSBBoot", [&] { return boot("E:", "A:", 0); }, "", {}, true},
        {"CopyUSBBootImage", [&] { return writer(saved.c_str(), "E:", image.c_str()); }, "y\n0\n",
         [&] {
             for (const char* end : {"", ".info"}) std::filesystem::remove(saved + end);
         },
         true},
        {"CopyUSBMBRImage", [&] { return restorer(saved.c_str(), "E:"); }, "y\ny\n", {}, true},
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.name);
        std::optional<int> clean;
        int faults = 0;
        for (long point = -1;; point = point < 0 ? 0 : allocation::NextPoint(point)) {
            if (e.prepare) e.prepare();
            int result = -1;
            bool escaped = false, failed = false;
            std::string output = CapturedOutput(
                [&] {
                    if (point >= 0)
                        e.ownOnly ? allocation::FailAfter(point, {"libTessel"})
                                  : allocation::FailAfter(point);
                    try {
                        result = e.call();
                    } catch (...) {
                        escaped = true;
                    }
                    failed = allocation::Failed();
                },
                e.input);
            EXPECT_FALSE(escaped) << "an exception left it at allocation " << point << output;
            if (clean && !failed) {
                EXPECT_EQ(result, *clean) << output;
                break;
            }
            faults += clean.has_value();
            clean = clean.value_or(result);  // the first run has no fault
        }
        EXPECT_GT(faults, 0);
    }
}

}  // namespace
}  // namespace tessel::test
