// The device tree through SetupDi and CM calls, where a caller errs. The
// walks, the two-call sizing and removal are the Verran suite's, whose
// library makes those calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "larkin/platform.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TestMachine;

std::vector<std::string> DeviceIds(const GUID& cls, const char* enumerator = nullptr,
                                   DWORD flags = DIGCF_PRESENT) {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, enumerator, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char id[MAX_DEVICE_ID_LEN];
        EXPECT_EQ(CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0), CR_SUCCESS);
        ids.push_back(id);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

// The detail's header must have the size of this build's structure. (The
// two calls, and opening the path in any letter case, are the conformance
// suite's.)
TEST(DeviceSets, InterfaceDetailNamesTheStick) {
    TestMachine machine(MachineText("platform-two-sticks"));
    auto disks = DeviceIds(GUID_DEVCLASS_DISKDRIVE, "USBSTOR");
    ASSERT_EQ(disks.size(), 2u);  // the enumerator leaves the SATA disk out
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, disks[0].c_str(), nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data));
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = 5;  // the 32-bit header size is wrong here
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 1024, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 1024, nullptr, nullptr));
    std::string path = detail->DevicePath;
    EXPECT_EQ(path.rfind("\\\\?\\usbstor#disk&ven_sandisk&prod_cruzer&rev_1.00#", 0), 0u) << path;
    EXPECT_NE(path.find("{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), std::string::npos);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceSets, AHubHasNoStoragePortInterface) {
    TestMachine machine(MachineText("platform-two-sticks"));
    auto usb = DeviceIds(GUID_DEVCLASS_USB);
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_STORAGEPORT, usb[0].c_str(), nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_STORAGEPORT, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(RegistryProperties, MissingValuesAndUnknownProperties) {
    TestMachine machine(MachineText("platform-registry-overrides"));
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    DWORD type = 0, needed = 0;
    BYTE buffer[256];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_MFG, &type, buffer,
                                                   sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyA(set, &device, 35, &type, buffer, sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_REG_PROPERTY);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(ConfigurationManager, TheRootShortBuffersAndUnknownNodes) {
    TestMachine machine(MachineText("platform-scsi-two-disks"));
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    char id[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDA(root, id, sizeof id, 0), CR_SUCCESS);
    EXPECT_STREQ(id, "HTREE\\ROOT\\0");
    DEVINST adapter = 0, first = 0, none = 0;
    ASSERT_EQ(CM_Get_Child(&adapter, root, 0), CR_SUCCESS);
    ASSERT_EQ(CM_Get_Child(&first, adapter, 0), CR_SUCCESS);
    EXPECT_EQ(CM_Get_Child(&none, first, 0), CR_NO_SUCH_DEVNODE);
    char tiny[4];
    EXPECT_EQ(CM_Get_Device_IDA(first, tiny, sizeof tiny, 0), CR_BUFFER_SMALL);
    EXPECT_EQ(CM_Get_Child(&none, 0, 0), CR_INVALID_DEVNODE);
}

}  // namespace
