// A stand-in core module, built as Fennic, Tamsel and Ormand: adapters and
// targets from LARKIN_TEST_<NAME>_ADAPTERS and _TARGETS (unset: none, for a
// program that finds it by chance), results CORE_BASE + the local number.
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

int Reached(int local, int a = 0, int b = 0, const void* data = {}, const char* name = {}) {
    record.last = {local, a, b, data, name};
    return CORE_BASE + local;
}

}  // namespace

// clang-format off
DLLEXPORT TestCoreRecord* TestCoreCalls(void) { return &record; }
DLLEXPORT int LoadCoreModule(void) { return Setting("ADAPTERS"); }
DLLEXPORT int GetDeviceCount(int firstGlobal, const char*) {
    ++record.countCalls;
    record.lastFirstGlobal = firstGlobal;
    return Setting("TARGETS");
}
DLLEXPORT int ExecuteSCSI(int local, const BYTE*, int) { return Reached(local); }
DLLEXPORT int BufferControl(int local, int code, int offset, int length, BYTE* data) {
    Reached(local, offset, length, data);
    return code;
}
DLLEXPORT int SetWatchdogTimer(int local, int value) { return Reached(local) + value * 10; }
DLLEXPORT void SetDataPattern(int local, const char* name, const BYTE* data, int length, int n) {
    Reached(local, length, n, data, name);
}
DLLEXPORT int BufferSize(int local) { return Reached(local); }
DLLEXPORT void ReleaseController(int local) { ++record.releaseCalls; Reached(local); }
#ifndef CORE_WITHOUT_SENSE
DLLEXPORT int Sense(int local, BYTE*) { return Reached(local); }
#endif
DLLEXPORT int GetDriveInformation(int local, const char*, char*, int*) { return Reached(local); }
#ifdef CORE_SET_CORE_OPTIONS
DLLEXPORT WORD SetCoreOptions(WORD o) { ++record.optionsCalls; return record.lastOptions = o; }
#endif
#ifdef CORE_SET_DEVICE_OPTIONS
DLLEXPORT WORD SetDeviceOptions(int n, WORD o) { record.lastOptions = o; return Reached(n); }
#endif
// clang-format on
