// The library's C interface. No exception leaves it: a fault inside turns
// into VERRAN_INTERNAL_FAULT for the operations with a status, "" for the
// text queries.
#include "verran/verran.h"

#include "disk_eject.h"
#include "inventory.h"
#include "queries.h"
#include "snapshot_walk.h"

DLLEXPORT INT Initialize(const char* classFilter) {
    try {
        verran::DestroyInventory();
        return verran::TakeSnapshot(classFilter);
    } catch (...) {
        return VERRAN_INTERNAL_FAULT;
    }
}

DLLEXPORT void Destroy(void) {
    try {
        verran::DestroyInventory();
    } catch (...) {
    }
}

DLLEXPORT DWORD GetAdapterCount(void) {
    return verran::AdapterCount();
}

DLLEXPORT DWORD GetDriveCount(DWORD adapterIndex) {
    return verran::DriveCount(adapterIndex);
}

DLLEXPORT const char* GetAdapterInfo(DWORD adapterIndex, const char* propertyName) {
    try {
        return verran::AdapterInfo(adapterIndex, propertyName);
    } catch (...) {
        return verran::kEmptyText;
    }
}

DLLEXPORT const char* GetDriveInfo(DWORD adapterIndex, DWORD driveIndex, const char* propertyName) {
    try {
        return verran::DriveInfo(adapterIndex, driveIndex, propertyName);
    } catch (...) {
        return verran::kEmptyText;
    }
}

DLLEXPORT const char* GetAdapterName(DWORD adapterIndex) {
    return GetAdapterInfo(adapterIndex, "DEVICE_NAME");
}

DLLEXPORT const char* GetAdapterInterfaceType(DWORD adapterIndex) {
    return GetAdapterInfo(adapterIndex, "INTERFACE");
}

DLLEXPORT const char* GetAdapterDescription(DWORD adapterIndex) {
    return verran::AdapterDescription(adapterIndex);
}

DLLEXPORT const char* GetDriveName(DWORD adapterIndex, DWORD driveIndex) {
    return GetDriveInfo(adapterIndex, driveIndex, "DEVICE_NAME");
}

DLLEXPORT const char* GetDriveDescription(DWORD adapterIndex, DWORD driveIndex) {
    return verran::DriveDescription(adapterIndex, driveIndex);
}

DLLEXPORT INT EjectDisk(const char* diskPath) {
    if (diskPath == nullptr) return static_cast<INT>(ERROR_INVALID_PARAMETER);
    try {
        return verran::EjectDiskByPath(diskPath);
    } catch (...) {
        return VERRAN_INTERNAL_FAULT;
    }
}
