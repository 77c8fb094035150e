// Tessel as larkin-cli reaches it: loaded by name through the platform's
// loader (so that its load work runs), every export bound by name.
#ifndef LARKIN_CLI_ENGINE_LIBRARY_H
#define LARKIN_CLI_ENGINE_LIBRARY_H

#include <string>

#include "exports/tessel.h"

namespace larkin::cli {

struct Engine {
    TESSEL_GET_USB_DEV_COUNT getUSBDevCount = nullptr;
    TESSEL_GET_USB_DEV_INFO getUSBDevInfo = nullptr;
    TESSEL_GET_USB_DEV_INFO_W getUSBDevInfoW = nullptr;
    TESSEL_ENUM_USB_DEVICES enumUSBDevices = nullptr;
    TESSEL_ENUM_USB_DEVICES_CVD enumUSBDevicesCVD = nullptr;
    TESSEL_CREATE_USB_BOOT createUSBBoot = nullptr;
    TESSEL_ZERO_PARTITION_INFO zeroPartitionInfo = nullptr;
    TESSEL_CREATE_PARTITION createPartition = nullptr;
    TESSEL_CREATE_PARTITION_CVD createPartitionCVD = nullptr;
    TESSEL_COPY_USB_BOOT_IMAGE copyUSBBootImage = nullptr;
    TESSEL_COPY_USB_MBR_IMAGE copyUSBMBRImage = nullptr;
    TESSEL_SET_CALL_BACK_FUNC setCallBackFunc = nullptr;
    // Corvid's GetDriveInformation, for the device path of a listed row
    // (the engine numbers its rows as Corvid does).
    int (*getDriveInformation)(int index, const char* key, char* buffer, int* size) = nullptr;
};

// Loads Tessel (and through it Verran and Corvid). False with a reason.
bool LoadEngine(Engine& engine, std::string& why);

// The BOOTREC template id from Tessel's own resources; false when missing.
bool EngineBootRecord(int id, unsigned char (&out)[512]);

}  // namespace larkin::cli

#endif
