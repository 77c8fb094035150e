// Out of memory inside each export of the loaded library, allocation after
// allocation: nothing thrown leaves the library, and the next call works.
// (GetUSBDevInfo, GetUSBDevInfoW and SetCallBackFunc allocate nothing.) The
// failing allocator stands aside under AddressSanitizer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "allocation_faults.h"
#include "console_test_support.h"
#include "larkin/owned.h"
#include "exports/tessel.h"
#include "stick_machines.h"
#include "test_machine.h"

namespace tessel::test {
namespace {

namespace allocation = larkin::test::allocation;

template <class F>
F Bound(HMODULE library, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

struct Export {
    const char* name;
    std::function<int()> call;
    const char* input = nullptr;         // the answers to the engine's questions
    std::function<void()> prepare = {};  // before each call, outside the fault
    // Only the library's own allocations fail: out of memory in the
    // platform's search for a library (the boot records') ends the process.
    bool ownOnly = false;
};

TEST(TesselMemoryFault, NothingLeavesAnExport) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    larkin::test::TestMachine machine(StickMachine({StickLayout{}}));
    larkin::test::TempFolder folder;
    const std::string saved = (folder.path() / "saved.mbr").string();
    const std::string image = (folder.path() / "image.dat").string();
    std::ofstream(image, std::ios::binary) << std::string(4096, '\x42');
    larkin::Library tessel(LoadLibraryA("Tessel"));
    ASSERT_TRUE(tessel) << GetLastError();
    HMODULE library = tessel.get();

    // Bound first: looking an export up allocates too.
    auto count = Bound<TESSEL_GET_USB_DEV_COUNT>(library, "GetUSBDevCount");
    auto open = Bound<TESSEL_OPEN_DEVICE>(library, "OpenDevice");
    auto enumVerran = Bound<TESSEL_ENUM_USB_DEVICES>(library, "EnumUSBDevices");
    auto enumCorvid =
        Bound<TESSEL_ENUM_USB_DEVICES_CVD>(library, TESSEL_ENUM_USB_DEVICES_CVD_DECORATED);
    auto zero = Bound<TESSEL_ZERO_PARTITION_INFO>(library, "ZeroPartitionInfo");
    auto partition = Bound<TESSEL_CREATE_PARTITION>(library, "CreatePartition");
    auto partitionCvd =
        Bound<TESSEL_CREATE_PARTITION_CVD>(library, TESSEL_CREATE_PARTITION_CVD_DECORATED);
    auto boot = Bound<TESSEL_CREATE_USB_BOOT>(library, "CreateUSBBoot");
    auto writer = Bound<TESSEL_COPY_USB_BOOT_IMAGE>(library, "CopyUSBBootImage");
    auto restorer = Bound<TESSEL_COPY_USB_MBR_IMAGE>(library, "CopyUSBMBRImage");
    ASSERT_TRUE(count && open && enumVerran && enumCorvid && zero && partition && partitionCvd &&
                boot && writer && restorer);

    const std::vector<Export> exports = {
        {"GetUSBDevCount", count},
        {"OpenDevice",
         [&] {
             HANDLE handle = INVALID_HANDLE_VALUE;
             int status = open(0, &handle);
             if (status == ATA_OK) CloseHandle(handle);
             return status;
         }},
        {"EnumUSBDevices", enumVerran},
        {"EnumUSBDevicesCVD", enumCorvid},
        {"ZeroPartitionInfo", zero},
        // Each from the same baseline: a scan cut short by a fault replaces it.
        {"CreatePartition", partition, nullptr, [&] { enumVerran(); }},
        {"CreatePartitionCVD", [&] { return static_cast<int>(partitionCvd()); }, nullptr,
         [&] { enumCorvid(); }},
        {"CreateUSBBoot", [&] { return boot("E:", "A:", 0); }, nullptr, {}, true},
        {"CopyUSBBootImage", [&] { return writer(saved.c_str(), "E:", image.c_str()); }, "y\n0\n",
         // sector 0 is saved afresh each time
         [&] {
             for (const char* end : {"", ".info"}) std::filesystem::remove(saved + end);
         },
         true},
        {"CopyUSBMBRImage", [&] { return restorer(saved.c_str(), "E:"); }, "y\ny\n", {}, true},
    };

    for (const Export& e : exports) {
        SCOPED_TRACE(e.name);
        std::optional<int> clean;
        int faults = 0;
        for (long point = -1;; point = point < 0 ? 0 : allocation::NextPoint(point)) {
            if (e.prepare) e.prepare();
            std::optional<ScopedInput> input;
            if (e.input != nullptr) input.emplace(e.input);
            ::testing::internal::CaptureStdout();
            if (point >= 0 && e.ownOnly) allocation::FailAfter(point, {"libTessel"});
            if (point >= 0 && !e.ownOnly) allocation::FailAfter(point);
            int result = -1;
            bool escaped = false;
            try {
                result = e.call();
            } catch (...) {
                escaped = true;
            }
            bool failed = allocation::Failed();
            std::string output = ::testing::internal::GetCapturedStdout();
            EXPECT_FALSE(escaped) << "an exception left it at allocation " << point << "\n"
                                  << output;
            if (!clean) {
                clean = result;  // the run without a fault
                continue;
            }
            if (!failed) {
                EXPECT_EQ(result, *clean) << output;
                break;
            }
            ++faults;
        }
        EXPECT_GT(faults, 0);
    }
}

}  // namespace
}  // namespace tessel::test
