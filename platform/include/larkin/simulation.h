// Control of the simulated machine for tests and tools: hot-plug, fault
// injection, the write journal and the record of pauses. Every function
// fails (returns false or nothing) when the platform runs on hardware.
#ifndef LARKIN_SIMULATION_H
#define LARKIN_SIMULATION_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../win32/base.h"

namespace larkin::sim {

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

struct DiskStatus {
    std::string id;
    std::string adapter;
    uint32_t number = 0;
    bool present = false;
    std::string image;
    uint64_t size = 0;
    std::vector<std::string> letters;  // letters of its volumes now
    uint32_t commandsWaiting = 0;      // SCSI commands it has not answered (answers = false)
};

PLATFORM_API bool Active();
// Closes every handle, forgets every window and loaded machine state of this
// process and starts again on machineFile (tests switch machines this way).
PLATFORM_API bool Restart(const std::string& machineFile, std::string* error);
PLATFORM_API std::string StateDirectory();

// Faults live in this process only; [[fault]] tables of the machine file
// apply to every process.
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

// Hot-plug: every process using the machine sees the change at its next
// device enumeration or open.
// False when there is no such disk or adapter, or the change cannot be
// stored (error, when given, says why).
PLATFORM_API bool Plug(std::string_view diskId, bool present, std::string* error = nullptr);
PLATFORM_API std::vector<DiskStatus> Disks();

}  // namespace larkin::sim

#endif
