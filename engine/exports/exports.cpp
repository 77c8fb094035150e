// The export table of Tessel: plain C entry points, their decorated second
// names, the C++-named exports, the ordinals, and the load and unload work.
#include "bootmaker/create_usb_boot.h"
#include "devices/enumeration.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "exports/tessel.h"
#include "partition/partition_operations.h"
#include "win32/modules.h"

#define TESSEL_TYPED_EXPORT __attribute__((visibility("default")))

// The decorated stdcall names carry an '@', which no linker here accepts in
// a symbol name. They are defined under the same name with '_' in place of
// the '@', and the build renames them in the finished library
// (tools/decorated-exports); they stay aliases of the plain entry points.
#define TESSEL_DECORATED_ALIAS(target) __attribute__((alias(#target), visibility("default")))

// A host that opens the library without the platform's loader (dlopen) has
// not run the load work; the services are then bound at the first call that
// needs them.
static void BindOnFirstUse() {
    tessel::BindServices();
}

DLLEXPORT int GetUSBDevCount(void) {
    BindOnFirstUse();
    return tessel::GetUSBDevCount();
}

DLLEXPORT int GetUSBDevInfo(int index, char* text) {
    return tessel::GetUSBDevInfo(index, text);
}

DLLEXPORT int OpenDevice(int index, HANDLE* handleOut) {
    return tessel::OpenDevice(index, handleOut);
}

DLLEXPORT int EnumUSBDevices(void) {
    BindOnFirstUse();
    return tessel::EnumUSBDevices();
}

DLLEXPORT void SetCallBackFunc(ProgressCallback callback) {
    tessel::SetProgressCallback(callback);
}

DLLEXPORT int CreateUSBBoot(const char* destination, const char* source, int copyFiles) {
    return tessel::CreateUSBBoot(destination, source, copyFiles);
}

DLLEXPORT int ZeroPartitionInfo(void) {
    BindOnFirstUse();
    return tessel::ZeroPartitionInfo();
}

DLLEXPORT int CreatePartition(void) {
    BindOnFirstUse();
    return tessel::CreatePartition();
}

extern "C" int _GetUSBDevCount_0(void) TESSEL_DECORATED_ALIAS(GetUSBDevCount);
extern "C" int _GetUSBDevInfo_8(int index, char* text) TESSEL_DECORATED_ALIAS(GetUSBDevInfo);
extern "C" int _CreateUSBBoot_12(const char* destination, const char* source, int copyFiles)
    TESSEL_DECORATED_ALIAS(CreateUSBBoot);

TESSEL_TYPED_EXPORT int EnumUSBDevicesCVD() {
    BindOnFirstUse();
    return tessel::EnumUSBDevicesCVD();
}

TESSEL_TYPED_EXPORT char* GetUSBDevInfoW(int index, char* text) {
    return tessel::GetUSBDevInfoW(index, text);
}

TESSEL_TYPED_EXPORT ATA_STATUS CreatePartitionCVD() {
    BindOnFirstUse();
    return tessel::CreatePartitionCVD();
}

// Ordinals 7 and 8 are kept for the image operations.
LARKIN_ORDINAL_TABLE = {
    {TESSEL_ORDINAL_CREATE_PARTITION_CVD, TESSEL_CREATE_PARTITION_CVD_DECORATED},
    {TESSEL_ORDINAL_ENUM_USB_DEVICES_CVD, TESSEL_ENUM_USB_DEVICES_CVD_DECORATED},
    {TESSEL_ORDINAL_GET_USB_DEV_INFO_W, TESSEL_GET_USB_DEV_INFO_W_DECORATED},
    {TESSEL_ORDINAL_CREATE_USB_BOOT, "CreateUSBBoot"},
    {TESSEL_ORDINAL_GET_USB_DEV_COUNT, "GetUSBDevCount"},
    {TESSEL_ORDINAL_GET_USB_DEV_INFO, "GetUSBDevInfo"},
    {TESSEL_ORDINAL_CREATE_PARTITION, "CreatePartition"},
    {TESSEL_ORDINAL_CREATE_USB_BOOT_DECORATED, TESSEL_CREATE_USB_BOOT_DECORATED},
    {TESSEL_ORDINAL_ENUM_USB_DEVICES, "EnumUSBDevices"},
    {TESSEL_ORDINAL_GET_USB_DEV_COUNT_DECORATED, TESSEL_GET_USB_DEV_COUNT_DECORATED},
    {TESSEL_ORDINAL_GET_USB_DEV_INFO_DECORATED, TESSEL_GET_USB_DEV_INFO_DECORATED},
    {TESSEL_ORDINAL_OPEN_DEVICE, "OpenDevice"},
    {TESSEL_ORDINAL_SET_CALL_BACK_FUNC, "SetCallBackFunc"},
    {TESSEL_ORDINAL_ZERO_PARTITION_INFO, "ZeroPartitionInfo"},
    {0, nullptr},
};

// Binding Verran and Corvid here stands for the system loader resolving the
// library's imports: without them the library does not load. No other work
// is done; the tables and the callback start zeroed.
LARKIN_DLLMAIN(instance, reason, reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_ATTACH) return tessel::BindServices() ? TRUE : FALSE;
    if (reason == DLL_PROCESS_DETACH) {
        tessel::FlushStreams();
        tessel::ReleaseServices(reserved != nullptr);
    }
    return TRUE;
}
