// A stand-in core module, built as Fennic, Tamsel and Ormand. Its adapter
// result and target count come from LARKIN_TEST_<NAME>_ADAPTERS and _TARGETS
// (0 when unset, so a program that finds it by accident sees nothing).
// Results carry CORE_BASE to tell which module and local number a call reached.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "larkin/exports.h"
#include "test_core.h"
#include "win32/windows.h"

namespace {

TestCoreRecord record;

int Setting(const char* what) {
    const char* value = std::getenv((std::string(CORE_ENV) + "_" + what).c_str());
    return value ? std::atoi(value) : 0;
}

int Reached(int local) {
    record.lastLocal = local;
    return CORE_BASE + local;
}

}  // namespace

DLLEXPORT TestCoreRecord* TestCoreCalls(void) {
    return &record;
}

DLLEXPORT int LoadCoreModule(void) {
    return Setting("ADAPTERS");
}

DLLEXPORT int GetDeviceCount(int firstGlobal, const char* filter) {
    ++record.countCalls;
    record.lastFirstGlobal = firstGlobal;
    std::snprintf(record.lastFilter, sizeof record.lastFilter, "%s", filter ? filter : "(null)");
    return Setting("TARGETS");
}

DLLEXPORT int ExecuteSCSI(int local, const BYTE* cdb, int count) {
    record.lastCdb = cdb;
    record.lastCount = count;
    return Reached(local);
}

DLLEXPORT int BufferControl(int local, int code, int offset, int length, BYTE* data) {
    record.lastOffset = offset;
    record.lastLength = length;
    record.lastData = data;
    Reached(local);
    return code;
}

DLLEXPORT int SetWatchdogTimer(int local, int value) {
    Reached(local);
    return CORE_BASE + value;
}

DLLEXPORT void SetDataPattern(int local, const char* bufferName, const BYTE* pattern, int length,
                              int period) {
    record.lastBufferName = bufferName;
    record.lastData = pattern;
    record.lastLength = length;
    record.lastOffset = period;
    Reached(local);
}

DLLEXPORT int BufferSize(int local) {
    return Reached(local);
}

DLLEXPORT void ReleaseController(int local) {
    ++record.releaseCalls;
    Reached(local);
}

#ifndef CORE_WITHOUT_SENSE
DLLEXPORT int Sense(int local, BYTE*) {
    return Reached(local);
}
#endif

DLLEXPORT int GetDriveInformation(int local, const char* key, char* buffer, int* size) {
    std::string text = std::string(CORE_ENV) + ":" + std::to_string(local) + ":" + (key ? key : "");
    if (buffer && size && *size > 0)
        std::snprintf(buffer, static_cast<size_t>(*size), "%s", text.c_str());
    if (size) *size = static_cast<int>(text.size());
    return Reached(local);
}

#ifdef CORE_SET_CORE_OPTIONS
DLLEXPORT WORD SetCoreOptions(WORD options) {
    ++record.optionsCalls;
    record.lastOptions = options;
    return options;
}
#endif

#ifdef CORE_SET_DEVICE_OPTIONS
DLLEXPORT WORD SetDeviceOptions(int local, WORD options) {
    record.lastOptions = options;
    return static_cast<WORD>(Reached(local));
}
#endif
