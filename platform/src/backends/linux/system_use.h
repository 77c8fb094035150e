// What the running system itself uses, and the rules that keep the backend
// from ever writing to it: the disks under the system's own mount points, an
// active swap, disks claimed by device mapper, md or LVM, disks with a
// partition mounted by anything but the desktop's automounter, and fixed
// disks that are not on USB.
#ifndef LARKIN_PLATFORM_LINUX_SYSTEM_USE_H
#define LARKIN_PLATFORM_LINUX_SYSTEM_USE_H

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hardware_scan.h"

namespace larkin::platform::linuxhw {

struct Mount {
    dev_t device = 0;          // st_dev of what is mounted
    std::string mountPoint;    // unescaped
    std::string source;        // "/dev/sdb1"
    std::string fileSystem;    // "vfat"
    bool automounted = false;  // below /media or /run/media: the desktop's
};

struct SystemUse {
    std::vector<Mount> mounts;
    std::vector<dev_t> swaps;
    // Why the mounts or swaps could not be read ("" when they were): with
    // the system's own disks unknown, every disk is refused.
    std::string unreadable;
    // The disks each device rests on, found once for this reading: every
    // disk of a look asks it of every mount.
    mutable std::map<dev_t, std::vector<std::string>> restingOn;
};

// Reads /proc/self/mountinfo and /proc/swaps. A file system without a device
// number of its own (btrfs) counts as mounted from its source device.
SystemUse ReadSystemUse();

// The mounts /proc/self/mountinfo lists, with its octal escapes undone;
// lines that are not mounts are passed over.
std::vector<Mount> ParseMountInfo(std::string_view text);
// The swap areas /proc/swaps lists (files or devices), unescaped.
std::vector<std::string> ParseSwaps(std::string_view text);
// The device a swap area is: a swap device's own number, or the device
// holding a swap file (found through the mounts where the file system has
// no device number of its own, or the file is gone).
std::optional<dev_t> SwapDevice(const std::string& path, const std::vector<Mount>& mounts);

// The whole disks (kernel names, "sda") that a block device rests on,
// following partitions to their disk, device mapper or md devices through
// their slaves, and a loop device to the disk its backing file (or backing
// device) rests on. The device's own disk comes first.
std::vector<std::string> DisksUnder(dev_t device);

// Mount points whose disks hold the running system.
inline constexpr const char* kSystemPaths[] = {"/", "/boot", "/usr", "/home", "/var"};

// True when the disk holds one of the system paths.
bool HoldsSystem(const FoundDisk& disk, const SystemUse& use);

// Why the disk must never be written, in one line for people ("" when it
// may be). Includes HoldsSystem.
std::string WriteRefusalOf(const FoundDisk& disk, const SystemUse& use);

// The mounts of a disk's partitions (or of the disk itself).
std::vector<Mount> MountsOn(const FoundDisk& disk, const SystemUse& use);

}  // namespace larkin::platform::linuxhw

#endif
