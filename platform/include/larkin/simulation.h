// Control of the simulated machine for tests and tools: which machine runs,
// hot-plug and the disks' state. Every function fails (returns false or
// nothing) when the platform runs on hardware. The controls that work on
// any machine (faults, the journal, pauses) are in larkin/test_controls.h.
#ifndef LARKIN_SIMULATION_H
#define LARKIN_SIMULATION_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../win32/base.h"

namespace larkin::sim {

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

// Hot-plug: every process using the machine sees the change at its next
// device enumeration or open.
// False when there is no such disk or adapter, or the change cannot be
// stored (error, when given, says why).
PLATFORM_API bool Plug(std::string_view diskId, bool present, std::string* error = nullptr);
PLATFORM_API std::vector<DiskStatus> Disks();

}  // namespace larkin::sim

#endif
