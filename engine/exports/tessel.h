/* Tessel, the boot-drive engine: its exports, their ordinals and the status
 * codes the operations return. Load it with LoadLibraryA("Tessel") (or
 * dlopen) and bind the exports by name or by ordinal.
 *
 * The three operations a desktop host binds (GetUSBDevCount, GetUSBDevInfo
 * and CreateUSBBoot) also carry their decorated stdcall names
 * (_GetUSBDevCount@0, _GetUSBDevInfo@8, _CreateUSBBoot@12) at the same entry
 * points. EnumUSBDevicesCVD, GetUSBDevInfoW and CreatePartitionCVD are
 * exported under their C++ (type-encoding) names only; see docs/engine.md.
 *
 * No two engine calls may run at the same time. */
#ifndef TESSEL_TESSEL_H
#define TESSEL_TESSEL_H

#include "win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ATA_STATUS {
    ATA_OK = 0,
    ATA_DEVICE_REMOVED = 1,
    ATA_NO_NEW_DEVICE = 2,
    ATA_NO_VOLUME = 3,
    ATA_PARTITION_FAILED = 4,
    ATA_WRONG_DRIVE = 5,
    ATA_ERROR = 6
} ATA_STATUS;

/* Ordinals 1 to 16; part of the interface. */
enum TesselOrdinal {
    TESSEL_ORDINAL_CREATE_PARTITION_CVD = 1,
    TESSEL_ORDINAL_ENUM_USB_DEVICES_CVD = 2,
    TESSEL_ORDINAL_GET_USB_DEV_INFO_W = 3,
    TESSEL_ORDINAL_CREATE_USB_BOOT = 4,
    TESSEL_ORDINAL_GET_USB_DEV_COUNT = 5,
    TESSEL_ORDINAL_GET_USB_DEV_INFO = 6,
    TESSEL_ORDINAL_COPY_USB_BOOT_IMAGE = 7,
    TESSEL_ORDINAL_COPY_USB_MBR_IMAGE = 8,
    TESSEL_ORDINAL_CREATE_PARTITION = 9,
    TESSEL_ORDINAL_CREATE_USB_BOOT_DECORATED = 10,
    TESSEL_ORDINAL_ENUM_USB_DEVICES = 11,
    TESSEL_ORDINAL_GET_USB_DEV_COUNT_DECORATED = 12,
    TESSEL_ORDINAL_GET_USB_DEV_INFO_DECORATED = 13,
    TESSEL_ORDINAL_OPEN_DEVICE = 14,
    TESSEL_ORDINAL_SET_CALL_BACK_FUNC = 15,
    TESSEL_ORDINAL_ZERO_PARTITION_INFO = 16
};

/* Export names that are not plain C identifiers. */
#define TESSEL_GET_USB_DEV_COUNT_DECORATED "_GetUSBDevCount@0"
#define TESSEL_GET_USB_DEV_INFO_DECORATED "_GetUSBDevInfo@8"
#define TESSEL_CREATE_USB_BOOT_DECORATED "_CreateUSBBoot@12"
#define TESSEL_CREATE_PARTITION_CVD_DECORATED "_Z18CreatePartitionCVDv"
#define TESSEL_ENUM_USB_DEVICES_CVD_DECORATED "_Z17EnumUSBDevicesCVDv"
#define TESSEL_GET_USB_DEV_INFO_W_DECORATED "_Z14GetUSBDevInfoWiPc"

/* GetUSBDevInfo's text must hold this many bytes. */
#define TESSEL_DEVICE_INFO_SIZE 164

/* The host's progress procedure (only the partition operation routed through
 * Verran calls it). */
typedef void (*ProgressCallback)(const char* text);

/* Function types for binding the exports. */
typedef int (*TESSEL_GET_USB_DEV_COUNT)(void);
typedef int (*TESSEL_GET_USB_DEV_INFO)(int index, char* text);
typedef char* (*TESSEL_GET_USB_DEV_INFO_W)(int index, char* text);
typedef int (*TESSEL_OPEN_DEVICE)(int index, HANDLE* handleOut);
typedef int (*TESSEL_ENUM_USB_DEVICES)(void);
typedef int (*TESSEL_ENUM_USB_DEVICES_CVD)(void);
typedef void (*TESSEL_SET_CALL_BACK_FUNC)(ProgressCallback callback);
typedef int (*TESSEL_CREATE_USB_BOOT)(const char* destination, const char* source, int copyFiles);
typedef int (*TESSEL_ZERO_PARTITION_INFO)(void);
typedef int (*TESSEL_CREATE_PARTITION)(void);
typedef ATA_STATUS (*TESSEL_CREATE_PARTITION_CVD)(void);
typedef int (*TESSEL_COPY_USB_BOOT_IMAGE)(const char* saveFileName, const char* driveLetter,
                                          const char* imageFileName);
typedef int (*TESSEL_COPY_USB_MBR_IMAGE)(const char* saveFileName, const char* driveLetter);

#ifdef __cplusplus
}
#endif

#endif
