// A stand-in core module, built as Fennic, Tamsel and Ormand. Its adapter
// result and target count come from LARKIN_TEST_<NAME>_ADAPTERS and _TARGETS
// (0 when unset, so a program that finds it by accident sees nothing).
// Results carry CORE_BASE to tell which module and local number a call reached.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "larkin/exports.h"
#include "test_core.h"
#include "win32/windows.h"

namespace {

TestCoreRecord record;

int Setting(const char* what) {
    std::string name = std::string(CORE_ENV) + "_" + what;
    const char* value = std::getenv(name.c_str());
    return value ? std::atoi(value) : 0;
}

}  // namespace

DLLEXPORT TestCoreRecord* TestCoreCalls(void) {
    return &record;
}

DLLEXPORT int LoadCoreModule(void) {
    ++record.loadCalls;
    return Setting("ADAPTERS");
}

DLLEXPORT int GetDeviceCount(int firstGlobal, const char* filter) {
    ++record.countCalls;
    record.lastFirstGlobal = firstGlobal;
    std::snprintf(record.lastFilter, sizeof record.lastFilter, "%s", filter ? filter : "(null)");
    return Setting("TARGETS");
}

DLLEXPORT int ExecuteSCSI(int local, const BYTE* cdb, int count) {
    record.lastLocal = local;
    record.lastCdb = cdb;
    record.lastCount = count;
    return CORE_BASE + local;
}

DLLEXPORT int BufferControl(int local, int code, int offset, int length, BYTE* data) {
    record.lastLocal = local;
    record.lastOffset = offset;
    record.lastLength = length;
    record.lastData = data;
    return code;
}

DLLEXPORT int SetWatchdogTimer(int local, int value) {
    record.lastLocal = local;
    return CORE_BASE + value;
}

DLLEXPORT void SetDataPattern(int local, const char* bufferName, const BYTE* pattern, int length,
                              int period) {
    record.lastLocal = local;
    record.lastBufferName = bufferName;
    record.lastData = pattern;
    record.lastLength = length;
    record.lastOffset = period;
}

DLLEXPORT int BufferSize(int local) {
    return CORE_BASE + local;
}

DLLEXPORT void ReleaseController(int local) {
    ++record.releaseCalls;
    record.lastLocal = local;
}

#ifndef CORE_WITHOUT_SENSE
DLLEXPORT int Sense(int local, BYTE* buffer) {
    record.lastLocal = local;
    record.lastData = buffer;
    return CORE_BASE + local;
}
#endif

DLLEXPORT int GetDriveInformation(int local, const char* key, char* buffer, int* size) {
    record.lastLocal = local;
    std::string text = std::string(CORE_ENV) + ":" + std::to_string(local) + ":" + (key ? key : "");
    if (buffer && size && *size > 0)
        std::snprintf(buffer, static_cast<size_t>(*size), "%s", text.c_str());
    if (size) *size = static_cast<int>(text.size());
    return CORE_BASE + local;
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
    record.lastLocal = local;
    record.lastOptions = options;
    return static_cast<WORD>(CORE_BASE + local);
}
#endif
