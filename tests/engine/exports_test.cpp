// The library as a host sees it: loading, exports by name and by ordinal,
// the second names, and the refusal to load without its services.
#include <cstring>
#include <string>

#include "larkin/owned.h"
#include "engine_test_support.h"
#include "exports/tessel.h"

namespace tessel::test {
namespace {

void* Address(HMODULE library, LPCSTR name) {
    return reinterpret_cast<void*>(GetProcAddress(library, name));
}
void* Ordinal(HMODULE library, int ordinal) {
    return Address(library, MAKEINTRESOURCEA(ordinal));
}

template <class F>
F As(void* address) {
    return reinterpret_cast<F>(address);
}

class TesselExports : public ::testing::Test {
  protected:
    larkin::test::TestMachine machine_{kTwoSticks};
    larkin::Library tessel_{LoadLibraryA("Tessel")};
};

TEST_F(TesselExports, EveryNameAndOrdinalReachesItsEntryPoint) {
    ASSERT_TRUE(tessel_) << GetLastError();
    HMODULE library = tessel_.get();
    struct Export {
        int ordinal;
        const char* name;
    } exports[] = {
        {1, TESSEL_CREATE_PARTITION_CVD_DECORATED},
        {2, TESSEL_ENUM_USB_DEVICES_CVD_DECORATED},
        {3, TESSEL_GET_USB_DEV_INFO_W_DECORATED},
        {4, "CreateUSBBoot"},
        {5, "GetUSBDevCount"},
        {6, "GetUSBDevInfo"},
        {7, "CopyUSBBootImage"},
        {8, "CopyUSBMBRImage"},
        {9, "CreatePartition"},
        {10, TESSEL_CREATE_USB_BOOT_DECORATED},
        {11, "EnumUSBDevices"},
        {12, TESSEL_GET_USB_DEV_COUNT_DECORATED},
        {13, TESSEL_GET_USB_DEV_INFO_DECORATED},
        {14, "OpenDevice"},
        {15, "SetCallBackFunc"},
        {16, "ZeroPartitionInfo"},
    };
    for (const Export& e : exports) {
        SCOPED_TRACE(e.name);
        ASSERT_NE(Address(library, e.name), nullptr);
        EXPECT_EQ(Ordinal(library, e.ordinal), Address(library, e.name));
    }
    // The decorated names are second names of the same entry points.
    EXPECT_EQ(Address(library, "_GetUSBDevCount@0"), Address(library, "GetUSBDevCount"));
    EXPECT_EQ(Address(library, "_GetUSBDevInfo@8"), Address(library, "GetUSBDevInfo"));
    EXPECT_EQ(Address(library, "_CreateUSBBoot@12"), Address(library, "CreateUSBBoot"));
    // No ordinal past the sixteen, and names that are not exports.
    for (int ordinal : {17, 18}) EXPECT_EQ(Ordinal(library, ordinal), nullptr) << ordinal;
    EXPECT_EQ(Address(library, "EnumUSBDevicesCVD"), nullptr);
    EXPECT_EQ(Address(library, "CreatePartitionCVD"), nullptr);
    EXPECT_EQ(Address(library, "_CreateUSBBoot_12"), nullptr);
    EXPECT_EQ(Address(library, "ScanWithVerran"), nullptr);
}

TEST_F(TesselExports, BothNamesOfAPairShareTheTables) {
    ASSERT_TRUE(tessel_);
    auto count = As<TESSEL_GET_USB_DEV_COUNT>(Address(tessel_.get(), "_GetUSBDevCount@0"));
    auto info = As<TESSEL_GET_USB_DEV_INFO>(Address(tessel_.get(), "GetUSBDevInfo"));
    auto infoDecorated = As<TESSEL_GET_USB_DEV_INFO>(Address(tessel_.get(), "_GetUSBDevInfo@8"));
    auto infoW = As<TESSEL_GET_USB_DEV_INFO_W>(Ordinal(tessel_.get(), 3));
    auto enumCvd = As<TESSEL_ENUM_USB_DEVICES_CVD>(Ordinal(tessel_.get(), 2));
    auto enumVerran = As<TESSEL_ENUM_USB_DEVICES>(Address(tessel_.get(), "EnumUSBDevices"));
    ASSERT_TRUE(count && info && infoDecorated && infoW && enumCvd && enumVerran);

    char text[TESSEL_DEVICE_INFO_SIZE] = "";
    EXPECT_EQ(info(0, text), ATA_ERROR);  // nothing scanned yet: all tables empty
    ASSERT_EQ(count(), 2);
    ASSERT_EQ(info(1, text), ATA_OK);
    EXPECT_STREQ(text, " Kingston DataTraveler 2.0 USB Device");
    ASSERT_EQ(infoDecorated(0, text), ATA_OK);
    EXPECT_STREQ(text, "E: SanDisk Cruzer Blade USB Device");
    char property[] = "FRIENDLYNAME";
    EXPECT_STREQ(infoW(0, property), "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(enumCvd(), 2);
    EXPECT_EQ(enumVerran(), 2);
}

TEST(TesselLoad, DoesNotLoadWithoutVerranOrCorvid) {
    larkin::test::TestMachine machine(kTwoSticks);
    for (const char* service : {"Verran", "Corvid"}) {
        SCOPED_TRACE(service);
        larkin::sim::InjectFault({"LoadLibraryA", service, 0, 0, 1, ERROR_MOD_NOT_FOUND});
        EXPECT_EQ(LoadLibraryA("Tessel"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
        EXPECT_EQ(GetModuleHandleA("Tessel"), nullptr);
        larkin::sim::ClearFaults();
    }
    larkin::Library tessel(LoadLibraryA("Tessel"));
    EXPECT_TRUE(tessel);
}

}  // namespace
}  // namespace tessel::test
