// This computer's hardware as the platform's machine in a test: loop devices
// pass as USB sticks, the state lives in a fresh folder, and the platform of
// this process starts again on it. The helpers reach the stand-ins only
// through the Windows API, as the libraries do.
#ifndef LARKIN_TESTS_HARDWARE_MACHINE_H
#define LARKIN_TESTS_HARDWARE_MACHINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "larkin/platform.h"
#include "loop_device.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {

class HardwareMachine {
  public:
    HardwareMachine();
    // Starts the platform again without stand-ins and gives the environment back.
    ~HardwareMachine();
    HardwareMachine(const HardwareMachine&) = delete;
    HardwareMachine& operator=(const HardwareMachine&) = delete;

    // Starts the platform (again), these loop devices standing in for USB
    // sticks: "" when started, else why not.
    std::string Start(const std::vector<const LoopDevice*>& sticks);

  private:
    TempFolder folder_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The GUID_DEVINTERFACE_DISK paths SetupDi lists.
std::vector<std::string> DiskInterfacePaths();

// A stand-in as SetupDi shows it.
struct StandIn {
    uint32_t disk = 0;
    std::string interfacePath;  // the disk's GUID_DEVINTERFACE_DISK path
};
std::optional<StandIn> FindStandIn(const LoopDevice& loop);

// A lettered volume, as its own IOCTL_STORAGE_GET_DEVICE_NUMBER shows it.
struct LetteredVolume {
    std::string letter;  // "E:"
    uint32_t disk = 0;
    uint32_t partition = 0;
    DWORD error = ERROR_SUCCESS;  // of the request, when it failed (no media)
};
std::vector<LetteredVolume> LetteredVolumes();
// The letters of the volumes on a disk, in partition order.
std::vector<std::string> LettersOf(uint32_t disk);
// Where IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS puts a volume: offset, length.
std::optional<std::pair<uint64_t, uint64_t>> ExtentOf(const std::string& letter);

// Writes a stick as sold: one FAT32 (LBA) partition in slot, from the
// second MiB to the end, in the stick's own sectors.
void MakeShopStick(const LoopDevice& loop, int slot = 0);
// The letter of the loop device's one volume ("E:"), or "" (a failure).
std::string LetterOf(const LoopDevice& loop);

}  // namespace larkin::test

#endif
