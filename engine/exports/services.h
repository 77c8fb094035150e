// The two enumeration services the engine is linked against: Verran, bound
// by name, and Corvid, bound by ordinal. Both are bound when the library is
// loaded; without every entry point the library does not load.
#ifndef TESSEL_EXPORTS_SERVICES_H
#define TESSEL_EXPORTS_SERVICES_H

#include "corvid/corvid.h"
#include "win32/base.h"

namespace tessel {

struct VerranEntries {
    INT (*initialize)(const char* classFilter) = nullptr;
    DWORD (*getAdapterCount)() = nullptr;
    DWORD (*getDriveCount)(DWORD adapter) = nullptr;
    const char* (*getDriveName)(DWORD adapter, DWORD drive) = nullptr;
    const char* (*getDriveInfo)(DWORD adapter, DWORD drive, const char* name) = nullptr;
};

struct CorvidEntries {
    CORVID_LOAD_CORES loadCores = nullptr;
    CORVID_UNLOAD unload = nullptr;
    CORVID_DEVICE_COUNT deviceCount = nullptr;
    CORVID_COMMAND command = nullptr;
    CORVID_WRITE_DATA_BUFFER writeDataBuffer = nullptr;
    CORVID_READ_DATA_BUFFER readDataBuffer = nullptr;
    CORVID_GET_DRIVE_INFORMATION getDriveInformation = nullptr;
};

struct Services {
    VerranEntries verran;
    CorvidEntries corvid;
    bool bound = false;
};

// The bound services; bound is false before BindServices succeeds.
const Services& BoundServices();

// Loads Verran and Corvid and binds every entry point. On failure nothing
// stays loaded and the last error tells why (ERROR_MOD_NOT_FOUND,
// ERROR_PROC_NOT_FOUND, ...).
bool BindServices();
// Releases both libraries. At process exit (processExit) they are only
// forgotten: the loader is taking them down itself.
void ReleaseServices(bool processExit);

}  // namespace tessel

#endif
