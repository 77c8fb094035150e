// Corvid's exports by ordinal, part of its interface. A Windows build takes
// them from corvid.def instead; the two lists are the same.
#ifndef _WIN32

#include "corvid/corvid.h"
#include "larkin/exports.h"

LARKIN_ORDINAL_TABLE = {
    {CORVID_ORDINAL_LOAD_CORES, "LoadCores"},
    {CORVID_ORDINAL_UNLOAD, "UnLoad"},
    {CORVID_ORDINAL_DEVICE_COUNT, "DeviceCount"},
    {CORVID_ORDINAL_COMMAND, "Command"},
    {CORVID_ORDINAL_SET_WATCHDOG, "SetWatchdog"},
    {CORVID_ORDINAL_RELEASE_ADAPTER, "ReleaseAdapter"},
    {CORVID_ORDINAL_BUFFER_SIZE, "BufferSize"},
    {CORVID_ORDINAL_DATA_PATTERN, "DataPattern"},
    {CORVID_ORDINAL_WRITE_DATA_BUFFER, "WriteDataBuffer"},
    {CORVID_ORDINAL_READ_DATA_BUFFER, "ReadDataBuffer"},
    {CORVID_ORDINAL_SENSE, "Sense"},
    {CORVID_ORDINAL_GET_DRIVE_INFORMATION, "GetDriveInformation"},
    {CORVID_ORDINAL_INIT, "initCorvid"},
    {CORVID_ORDINAL_SET_CORE_OPTIONS, "SetCoreOptions"},
    {CORVID_ORDINAL_SET_DEVICE_OPTIONS, "SetDeviceOptions"},
    {0, nullptr},
};

#endif
