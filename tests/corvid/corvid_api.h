// Corvid loaded by name, with every export bound.
#ifndef LARKIN_TESTS_CORVID_API_H
#define LARKIN_TESTS_CORVID_API_H

#include <string>

#include "core_test_support.h"
#include "corvid/corvid.h"

namespace larkin::test {

struct CorvidApi {
    corvid::Library library{LoadLibraryA("Corvid")};
    CORVID_LOAD_CORES loadCores = Bind<CORVID_LOAD_CORES>(library, "LoadCores");
    CORVID_UNLOAD unload = Bind<CORVID_UNLOAD>(library, "UnLoad");
    CORVID_DEVICE_COUNT deviceCount = Bind<CORVID_DEVICE_COUNT>(library, "DeviceCount");
    CORVID_COMMAND command = Bind<CORVID_COMMAND>(library, "Command");
    CORVID_SET_WATCHDOG setWatchdog = Bind<CORVID_SET_WATCHDOG>(library, "SetWatchdog");
    CORVID_RELEASE_ADAPTER releaseAdapter = Bind<CORVID_RELEASE_ADAPTER>(library, "ReleaseAdapter");
    CORVID_BUFFER_SIZE bufferSize = Bind<CORVID_BUFFER_SIZE>(library, "BufferSize");
    CORVID_DATA_PATTERN dataPattern = Bind<CORVID_DATA_PATTERN>(library, "DataPattern");
    CORVID_WRITE_DATA_BUFFER writeDataBuffer =
        Bind<CORVID_WRITE_DATA_BUFFER>(library, "WriteDataBuffer");
    CORVID_READ_DATA_BUFFER readDataBuffer =
        Bind<CORVID_READ_DATA_BUFFER>(library, "ReadDataBuffer");
    CORVID_SENSE sense = Bind<CORVID_SENSE>(library, "Sense");
    CORVID_GET_DRIVE_INFORMATION getDriveInformation =
        Bind<CORVID_GET_DRIVE_INFORMATION>(library, "GetDriveInformation");
    CORVID_INIT initCorvid = Bind<CORVID_INIT>(library, "initCorvid");
    CORVID_SET_CORE_OPTIONS setCoreOptions =
        Bind<CORVID_SET_CORE_OPTIONS>(library, "SetCoreOptions");
    CORVID_SET_DEVICE_OPTIONS setDeviceOptions =
        Bind<CORVID_SET_DEVICE_OPTIONS>(library, "SetDeviceOptions");

    std::string info(int index, const char* key) const {
        return Info(getDriveInformation, index, key);
    }
};

}  // namespace larkin::test

#endif
