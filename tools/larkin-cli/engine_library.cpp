#include "engine_library.h"

#include <cstring>

#include "corvid/corvid.h"
#include "win32/modules.h"

namespace larkin::cli {
namespace {

template <class F>
bool Bind(HMODULE library, LPCSTR name, F& entry) {
    FARPROC address = GetProcAddress(library, name);
    entry = reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
    return entry != nullptr;
}

HMODULE tessel = nullptr;

}  // namespace

bool LoadEngine(Engine& engine, std::string& why) {
    tessel = LoadLibraryA("Tessel");
    if (tessel == nullptr) {
        why = "the engine library Tessel could not be loaded (error " +
              std::to_string(GetLastError()) + ")";
        return false;
    }
    // Corvid is loaded already: Tessel links it.
    HMODULE corvid = LoadLibraryA("Corvid");
    bool bound = Bind(tessel, "GetUSBDevCount", engine.getUSBDevCount) &&
                 Bind(tessel, "GetUSBDevInfo", engine.getUSBDevInfo) &&
                 Bind(tessel, TESSEL_GET_USB_DEV_INFO_W_DECORATED, engine.getUSBDevInfoW) &&
                 Bind(tessel, "EnumUSBDevices", engine.enumUSBDevices) &&
                 Bind(tessel, TESSEL_ENUM_USB_DEVICES_CVD_DECORATED, engine.enumUSBDevicesCVD) &&
                 Bind(tessel, "CreateUSBBoot", engine.createUSBBoot) &&
                 Bind(tessel, "ZeroPartitionInfo", engine.zeroPartitionInfo) &&
                 Bind(tessel, "CreatePartition", engine.createPartition) &&
                 Bind(tessel, TESSEL_CREATE_PARTITION_CVD_DECORATED, engine.createPartitionCVD) &&
                 Bind(tessel, "CopyUSBBootImage", engine.copyUSBBootImage) &&
                 Bind(tessel, "CopyUSBMBRImage", engine.copyUSBMBRImage) &&
                 Bind(tessel, "SetCallBackFunc", engine.setCallBackFunc) && corvid != nullptr &&
                 Bind(corvid, MAKEINTRESOURCEA(CORVID_ORDINAL_GET_DRIVE_INFORMATION),
                      engine.getDriveInformation);
    if (!bound) why = "the engine library lacks an export this program needs";
    return bound;
}

bool EngineBootRecord(int id, unsigned char (&out)[512]) {
    if (tessel == nullptr) return false;
    HRSRC found = FindResourceA(tessel, MAKEINTRESOURCEA(id), "BOOTREC");
    if (found == nullptr || SizeofResource(tessel, found) < sizeof out) return false;
    HGLOBAL loaded = LoadResource(tessel, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return false;
    std::memcpy(out, bytes, sizeof out);
    return true;
}

}  // namespace larkin::cli
