// Tessel's exports, each declared with its type from tessel.h: a definition
// that strays from its type does not compile, and -Wmissing-declarations
// catches an export missing here.
#ifndef TESSEL_EXPORT_DECLARATIONS_H
#define TESSEL_EXPORT_DECLARATIONS_H

#include <type_traits>

#include "exports/tessel.h"
#include "larkin/exports.h"

// The exports known by their C++ names, which carry their types.
#ifdef _WIN32
#define TESSEL_TYPED_EXPORT __declspec(dllexport)
#else
#define TESSEL_TYPED_EXPORT __attribute__((visibility("default")))
#endif

#define TESSEL_EXPORT(name, pointer) DLLEXPORT std::remove_pointer_t<pointer> name
#define TESSEL_TYPED(name, pointer) TESSEL_TYPED_EXPORT std::remove_pointer_t<pointer> name

TESSEL_EXPORT(GetUSBDevCount, TESSEL_GET_USB_DEV_COUNT);
TESSEL_EXPORT(GetUSBDevInfo, TESSEL_GET_USB_DEV_INFO);
TESSEL_EXPORT(OpenDevice, TESSEL_OPEN_DEVICE);
TESSEL_EXPORT(EnumUSBDevices, TESSEL_ENUM_USB_DEVICES);
TESSEL_EXPORT(SetCallBackFunc, TESSEL_SET_CALL_BACK_FUNC);
TESSEL_EXPORT(CreateUSBBoot, TESSEL_CREATE_USB_BOOT);
TESSEL_EXPORT(ZeroPartitionInfo, TESSEL_ZERO_PARTITION_INFO);
TESSEL_EXPORT(CreatePartition, TESSEL_CREATE_PARTITION);
TESSEL_EXPORT(CopyUSBBootImage, TESSEL_COPY_USB_BOOT_IMAGE);
TESSEL_EXPORT(CopyUSBMBRImage, TESSEL_COPY_USB_MBR_IMAGE);
TESSEL_TYPED(EnumUSBDevicesCVD, TESSEL_ENUM_USB_DEVICES_CVD);
TESSEL_TYPED(CreatePartitionCVD, TESSEL_CREATE_PARTITION_CVD);
TESSEL_TYPED(GetUSBDevInfoW, TESSEL_GET_USB_DEV_INFO_W);

#undef TESSEL_EXPORT
#undef TESSEL_TYPED

#endif
