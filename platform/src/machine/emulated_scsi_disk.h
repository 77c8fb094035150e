// A disk as a SCSI target: the block commands a USB or SCSI disk answers,
// over the disk's own media I/O. The simulated machine's disks answer through
// it, and so do stand-ins for hardware that has no SCSI target of its own.
#ifndef LARKIN_PLATFORM_EMULATED_SCSI_DISK_H
#define LARKIN_PLATFORM_EMULATED_SCSI_DISK_H

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "identities.h"

namespace larkin::platform {

struct ScsiDisk {
    std::string vendor, product, revision, serial;
    uint64_t size = 0;
    DiskGeometry geometry;
    bool removable = false;
    bool media = true;
    bool modePage5 = true;
    std::function<DWORD(uint64_t offset, std::span<std::byte>)> read;
    std::function<DWORD(uint64_t offset, std::span<const std::byte>)> write;
    // Sense data of the last CHECK CONDITION, returned by REQUEST SENSE.
    std::vector<uint8_t>* pendingSense = nullptr;
};

// The target a disk with these facts answers as; the backend adds its
// media I/O and the place of its pending sense.
ScsiDisk EmulatedTarget(const DiskFacts& facts);

ScsiOutcome ExecuteOnDisk(const ScsiDisk& disk, std::span<const uint8_t> cdb,
                          DataDirection direction, std::span<std::byte> data);

}  // namespace larkin::platform

#endif
