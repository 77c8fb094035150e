// Controls for tests and tools on any machine, simulated or this computer:
// platform calls made to fail, the record of the calls a fault could fail,
// the open handles, the write journal and the record of pauses.
#ifndef LARKIN_TEST_CONTROLS_H
#define LARKIN_TEST_CONTROLS_H

#include <cstdint>
#include <string>
#include <vector>

#include "../win32/base.h"

namespace larkin::controls {

// A platform call made to fail. call is the Windows function name
// ("DeviceIoControl", "CreateFileA", "SetupDiEnumDeviceInfo", ...); device,
// when not empty, must occur (case-insensitively) in the name of the device
// or file the call acts on (a path, a volume name, a device instance id);
// ioctl, when not 0, must equal the control code. The first skip matching
// calls pass; the next count calls fail (count 0: every later call) with
// error as the last error.
struct Fault {
    std::string call;
    std::string device;
    DWORD ioctl = 0;
    int skip = 0;
    int count = 1;
    DWORD error = ERROR_GEN_FAILURE;
};

struct JournalEntry {
    long pid = 0;
    std::string disk;  // the disk's id in the machine file
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string via;  // "WriteFile", "SCSI WRITE(10)", "drive layout", ...
    // False while the write is under way, when it failed, or when its writer
    // died before it could say: the bytes may or may not have changed.
    bool completed = true;
};

// Faults live in this process only (a simulated machine's file may ask for
// faults in every process that uses it).
PLATFORM_API void InjectFault(const Fault& fault);
PLATFORM_API void ClearFaults();

// Every call that reaches the fault check while recording is on, in order,
// in this process: the calls a fault could fail.
struct CallRecord {
    std::string call;
    std::string device;
    DWORD ioctl = 0;
};
PLATFORM_API void RecordCalls(bool on);
PLATFORM_API std::vector<CallRecord> RecordedCalls();

// Every handle open in this process now, of any kind.
PLATFORM_API std::vector<HANDLE> OpenHandles();

// The journal is shared by every process that uses the machine.
PLATFORM_API std::vector<JournalEntry> Journal();
// False when the journal cannot be written.
PLATFORM_API bool ClearJournal();

// Pauses asked for through Sleep in this process, in milliseconds.
PLATFORM_API std::vector<DWORD> Pauses();
PLATFORM_API void ClearPauses();

}  // namespace larkin::controls

#endif
