// Tessel's exports by ordinal, and the decorated stdcall names that no
// symbol here can carry, as second names of the same entry points. A
// Windows build takes both from tessel.def instead; the lists are the same.
#ifndef _WIN32

#include "exports/tessel.h"
#include "larkin/exports.h"

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

LARKIN_EXPORT_NAME_TABLE = {
    {TESSEL_GET_USB_DEV_COUNT_DECORATED, "GetUSBDevCount"},
    {TESSEL_GET_USB_DEV_INFO_DECORATED, "GetUSBDevInfo"},
    {TESSEL_CREATE_USB_BOOT_DECORATED, "CreateUSBBoot"},
    {nullptr, nullptr},
};

#endif
