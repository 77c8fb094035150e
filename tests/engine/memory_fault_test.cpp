// Out of memory inside each export, allocation after allocation: nothing
// thrown leaves the library. (GetUSBDevInfo[W], SetCallBackFunc allocate nothing.)
#include <fstream>

#include "allocation_faults.h"
#include "engine_test_support.h"
#include "exports/tessel.h"
#include "larkin/owned.h"

namespace tessel::test {
namespace {

namespace allocation = larkin::test::allocation;

TEST(TesselMemoryFault, NothingLeavesAnExport) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    larkin::test::TestMachine machine(StickMachine());
    larkin::test::TempFolder folder;
    const std::string saved = (folder.path() / "saved.mbr").string();
    const std::string image = (folder.path() / "image.dat").string();
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
        {"CreatePartition", bound(TESSEL_CREATE_PARTITION{}, "CreatePartition"), "",
         [&] { enumVerran(); }},
        {"CreatePartitionCVD", [&] { return static_cast<int>(partitionCvd()); }, "",
         [&] { enumCorvid(); }},
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
            ScopedInput input(e.input);
            int result = -1;
            bool escaped = false, failed = false;
            std::string output = CapturedOutput([&] {
                if (point >= 0)
                    e.ownOnly ? allocation::FailAfter(point, {"libTessel"})
                              : allocation::FailAfter(point);
                try {
                    result = e.call();
                } catch (...) {
                    escaped = true;
                }
                failed = allocation::Failed();
            });
            EXPECT_FALSE(escaped) << "an exception left it at allocation " << point << output;
            if (!clean) {
                clean = result;  // the run without a fault
            } else if (!failed) {
                EXPECT_EQ(result, *clean) << output;
                break;
            } else {
                ++faults;
            }
        }
        EXPECT_GT(faults, 0);
    }
}

}  // namespace
}  // namespace tessel::test
