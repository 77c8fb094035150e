// Corvid's exports, each declared with its type from corvid/corvid.h: a
// definition that strays from its contract type does not compile, and
// -Wmissing-declarations catches an export that is missing here.
#ifndef CORVID_EXPORTS_H
#define CORVID_EXPORTS_H

#include <type_traits>

#include "corvid/corvid.h"
#include "larkin/exports.h"

#define CORVID_EXPORT(name, pointer) DLLEXPORT std::remove_pointer_t<pointer> name

CORVID_EXPORT(LoadCores, CORVID_LOAD_CORES);
CORVID_EXPORT(UnLoad, CORVID_UNLOAD);
CORVID_EXPORT(DeviceCount, CORVID_DEVICE_COUNT);
CORVID_EXPORT(Command, CORVID_COMMAND);
CORVID_EXPORT(SetWatchdog, CORVID_SET_WATCHDOG);
CORVID_EXPORT(ReleaseAdapter, CORVID_RELEASE_ADAPTER);
CORVID_EXPORT(BufferSize, CORVID_BUFFER_SIZE);
CORVID_EXPORT(DataPattern, CORVID_DATA_PATTERN);
CORVID_EXPORT(WriteDataBuffer, CORVID_WRITE_DATA_BUFFER);
CORVID_EXPORT(ReadDataBuffer, CORVID_READ_DATA_BUFFER);
CORVID_EXPORT(Sense, CORVID_SENSE);
CORVID_EXPORT(GetDriveInformation, CORVID_GET_DRIVE_INFORMATION);
CORVID_EXPORT(initCorvid, CORVID_INIT);
CORVID_EXPORT(SetCoreOptions, CORVID_SET_CORE_OPTIONS);
CORVID_EXPORT(SetDeviceOptions, CORVID_SET_DEVICE_OPTIONS);

#undef CORVID_EXPORT

#endif
