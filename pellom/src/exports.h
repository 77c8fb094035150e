// Pellom's exports, each declared with its type from the core-module
// contract (corvid/core_module.h), or from pellom/pellom.h for the two the
// contract does not name: a definition that strays from its type does not
// compile, and -Wmissing-declarations catches an export missing here.
#ifndef PELLOM_EXPORTS_H
#define PELLOM_EXPORTS_H

#include <type_traits>

#include "corvid/core_module.h"
#include "larkin/exports.h"
#include "pellom/pellom.h"

#define PELLOM_EXPORT(name, pointer) DLLEXPORT std::remove_pointer_t<pointer> name

PELLOM_EXPORT(LoadCoreModule, CORE_LOAD_CORE_MODULE);
PELLOM_EXPORT(GetDeviceCount, CORE_GET_DEVICE_COUNT);
PELLOM_EXPORT(ExecuteSCSI, CORE_EXECUTE_SCSI);
PELLOM_EXPORT(BufferControl, CORE_BUFFER_CONTROL);
PELLOM_EXPORT(SetWatchdogTimer, CORE_SET_WATCHDOG_TIMER);
PELLOM_EXPORT(SetDataPattern, CORE_SET_DATA_PATTERN);
PELLOM_EXPORT(BufferSize, CORE_BUFFER_SIZE);
PELLOM_EXPORT(ReleaseController, CORE_RELEASE_CONTROLLER);
PELLOM_EXPORT(Sense, CORE_SENSE);
PELLOM_EXPORT(GetDriveInformation, CORE_GET_DRIVE_INFORMATION);
PELLOM_EXPORT(SetCoreOptions, CORE_SET_CORE_OPTIONS);
PELLOM_EXPORT(initPellom, PELLOM_INIT);
PELLOM_EXPORT(UnloadCoreModule, PELLOM_UNLOAD_CORE_MODULE);

#undef PELLOM_EXPORT

#endif
