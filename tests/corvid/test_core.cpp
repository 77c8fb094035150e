// A stand-in core module, built as Fennic, Tamsel and Ormand: adapters and
// targets from LARKIN_TEST_<NAME>_ADAPTERS and _TARGETS (unset: none, for a
// program that finds it by chance), results CORE_BASE + the local number.
// Each call it receives is logged as "Name local arguments;", the first data
// byte as @byte; the extra export TestCoreCalls hands the log over.
#include <cstdlib>
#include <string>

#include "larkin/exports.h"
#include "win32/windows.h"

namespace {

std::string calls, taken;

int Setting(const char* what) {
    const char* value = std::getenv((std::string(CORE_ENV) + "_" + what).c_str());
    return value ? std::atoi(value) : 0;
}

int Reached(const std::string& call, int local, std::initializer_list<int> more = {},
            const BYTE* data = nullptr) {
    calls += call + " " + std::to_string(local);
    for (int value : more) calls += " " + std::to_string(value);
    if (data) calls += " @" + std::to_string(*data);
    calls += ";";
    return CORE_BASE + local;
}

}  // namespace

// clang-format off
DLLEXPORT const char* TestCoreCalls(void) { taken = std::move(calls); calls.clear(); return taken.c_str(); }
DLLEXPORT int LoadCoreModule(void) { return Setting("ADAPTERS"); }
DLLEXPORT int GetDeviceCount(int firstGlobal, const char*) {
    Reached("Count", firstGlobal);
    return Setting("TARGETS");
}
DLLEXPORT int ExecuteSCSI(int local, const BYTE*, int) { return Reached("Scsi", local); }
DLLEXPORT int BufferControl(int local, int code, int offset, int length, BYTE* data) {
    Reached("Buffer", local, {offset, length}, data);
    return code;
}
DLLEXPORT int SetWatchdogTimer(int local, int value) { return Reached("Watchdog", local, {value}) + value * 10; }
DLLEXPORT void SetDataPattern(int local, const char* name, const BYTE* data, int length, int n) {
    Reached(std::string("Pattern ") + (name ? name : "-"), local, {length, n}, data);
}
DLLEXPORT int BufferSize(int local) { return Reached("Size", local); }
DLLEXPORT void ReleaseController(int local) { Reached("Release", local); }
#ifndef CORE_WITHOUT_SENSE
DLLEXPORT int Sense(int local, BYTE*) { return Reached("Sense", local); }
#endif
DLLEXPORT int GetDriveInformation(int local, const char*, char*, int*) { return Reached("Info", local); }
#ifdef CORE_SET_CORE_OPTIONS
DLLEXPORT WORD SetCoreOptions(WORD o) { Reached("Options", o); return o; }
#endif
#ifdef CORE_SET_DEVICE_OPTIONS
DLLEXPORT WORD SetDeviceOptions(int n, WORD o) { return Reached("DeviceOptions", n, {o}); }
#endif
// clang-format on
