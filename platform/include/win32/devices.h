/* Device-installation services (SetupDi*) and the configuration manager
 * (CM_*): the device tree, its classes, interfaces and registry properties. */
#ifndef WIN32_DEVICES_H
#define WIN32_DEVICES_H

#include "base.h"

typedef HANDLE HDEVINFO;
typedef DWORD DEVINST, DEVNODE, *PDEVINST;
typedef DWORD CONFIGRET;
typedef CHAR* DEVINSTID_A;

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_DEVICEINTERFACE 0x00000010u

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

#define SPINT_ACTIVE 0x00000001u

/* Registry property codes. */
#define SPDRP_DEVICEDESC 0x00
#define SPDRP_HARDWAREID 0x01
#define SPDRP_COMPATIBLEIDS 0x02
#define SPDRP_UNUSED0 0x03
#define SPDRP_SERVICE 0x04
#define SPDRP_UNUSED1 0x05
#define SPDRP_UNUSED2 0x06
#define SPDRP_CLASS 0x07
#define SPDRP_CLASSGUID 0x08
#define SPDRP_DRIVER 0x09
#define SPDRP_CONFIGFLAGS 0x0A
#define SPDRP_MFG 0x0B
#define SPDRP_FRIENDLYNAME 0x0C
#define SPDRP_LOCATION_INFORMATION 0x0D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0E
#define SPDRP_CAPABILITIES 0x0F
#define SPDRP_UI_NUMBER 0x10
#define SPDRP_UPPERFILTERS 0x11
#define SPDRP_LOWERFILTERS 0x12
#define SPDRP_BUSTYPEGUID 0x13
#define SPDRP_LEGACYBUSTYPE 0x14
#define SPDRP_BUSNUMBER 0x15
#define SPDRP_ENUMERATOR_NAME 0x16
#define SPDRP_SECURITY 0x17
#define SPDRP_SECURITY_SDS 0x18
#define SPDRP_DEVTYPE 0x19
#define SPDRP_EXCLUSIVE 0x1A
#define SPDRP_CHARACTERISTICS 0x1B
#define SPDRP_ADDRESS 0x1C
#define SPDRP_UI_NUMBER_DESC_FORMAT 0x1D
#define SPDRP_DEVICE_POWER_DATA 0x1E
#define SPDRP_REMOVAL_POLICY 0x1F
#define SPDRP_REMOVAL_POLICY_HW_DEFAULT 0x20
#define SPDRP_REMOVAL_POLICY_OVERRIDE 0x21
#define SPDRP_INSTALL_STATE 0x22
#define SPDRP_MAXIMUM_PROPERTY 0x23

/* Registry data types. */
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

/* Configuration-manager results and flags. */
#define CR_SUCCESS 0x00u
#define CR_OUT_OF_MEMORY 0x02u
#define CR_INVALID_POINTER 0x03u
#define CR_INVALID_FLAG 0x04u
#define CR_INVALID_DEVNODE 0x05u
#define CR_NO_SUCH_DEVNODE 0x0Du
#define CR_FAILURE 0x13u
#define CR_BUFFER_SMALL 0x1Au
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000u
#define MAX_DEVICE_ID_LEN 200

WIN32_BEGIN
/* Device setup classes. */
extern PLATFORM_API const GUID GUID_DEVCLASS_HDC;
extern PLATFORM_API const GUID GUID_DEVCLASS_SCSIADAPTER;
extern PLATFORM_API const GUID GUID_DEVCLASS_USB;
extern PLATFORM_API const GUID GUID_DEVCLASS_DISKDRIVE;
extern PLATFORM_API const GUID GUID_DEVCLASS_FLOPPYDISK;
/* Device interface classes. */
extern PLATFORM_API const GUID GUID_DEVINTERFACE_DISK;
extern PLATFORM_API const GUID GUID_DEVINTERFACE_STORAGEPORT;
extern PLATFORM_API const GUID GUID_DEVINTERFACE_VOLUME;

PLATFORM_API HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                           DWORD flags);
PLATFORM_API BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
PLATFORM_API BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                              const GUID* interfaceGuid, DWORD index,
                                              PSP_DEVICE_INTERFACE_DATA data);
PLATFORM_API BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                   PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                   DWORD detailSize, PDWORD requiredSize,
                                                   PSP_DEVINFO_DATA device);
PLATFORM_API BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                    DWORD property, PDWORD dataType, PBYTE buffer,
                                                    DWORD size, PDWORD requiredSize);
PLATFORM_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
/* Removes the device and its children from the machine (an eject). */
PLATFORM_API BOOL SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA device);

PLATFORM_API CONFIGRET CM_Locate_DevNodeA(PDEVINST devInst, DEVINSTID_A deviceId, ULONG flags);
PLATFORM_API CONFIGRET CM_Get_Child(PDEVINST child, DEVINST parent, ULONG flags);
PLATFORM_API CONFIGRET CM_Get_Sibling(PDEVINST sibling, DEVINST devInst, ULONG flags);
PLATFORM_API CONFIGRET CM_Get_Device_IDA(DEVINST devInst, PCHAR buffer, ULONG size, ULONG flags);
PLATFORM_API CONFIGRET CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags);
WIN32_END

#endif
