// What this computer's storage hardware is: the adapters (USB mass-storage
// devices, the hubs above them, SCSI/ATA/NVMe hosts) and the whole disks
// below them, read from the udev database where it exists and from sysfs
// attributes where it does not.
#ifndef LARKIN_PLATFORM_LINUX_HARDWARE_SCAN_H
#define LARKIN_PLATFORM_LINUX_HARDWARE_SCAN_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/backend.h"

namespace larkin::platform::linuxhw {

// One whole disk the scan found.
struct FoundDisk {
    // Filled: key (stable across a re-plug: the device's serial identity,
    // else its place on the bus), adapterKey, target, vendor, product,
    // revision, serial, size, sectorSize, removable, mediaPresent.
    // Left to the backend: number, system, writeRefusal, heads and
    // sectorsPerTrack (from the open device).
    DiskFacts facts;
    std::string kernelName;  // "sdb", "loop3", "nvme0n1"
    std::string node;        // "/dev/sdb"
    std::string sysPath;     // "/sys/devices/.../block/sdb"
    std::string sgNode;      // "/dev/sg1", or "" when the disk has none
    dev_t device = 0;
    bool usb = false;                 // hangs below a USB device
    bool testStandIn = false;         // a loop device passed as a USB stick for tests
    std::optional<ScsiAddress> scsi;  // host (as the port), target, lun
};

struct HardwareScan {
    // Parents listed before their children; every disk's adapterKey names
    // one of them.
    std::vector<AdapterFacts> adapters;
    std::vector<FoundDisk> disks;
};

struct ScanOptions {
    // Loop devices to show as removable USB disks ("/dev/loop3"); nothing
    // but loop devices is accepted here.
    std::vector<std::string> testUsbDisks;
    // When not empty: the one disk to read, by its kernel name ("sdb",
    // "loop3"); the others are passed over unread.
    std::string onlyKernelName;
};

// Reads the hardware as it is now. Devices whose attributes cannot be read
// are left out, with a line each in problems (when given).
HardwareScan ScanHardware(const ScanOptions& options, std::vector<std::string>* problems = nullptr);

// The loop devices LARKIN_TEST_USB_DISKS names (comma-separated). Anything
// else in the list is an error that names it; an unset variable is no list.
std::vector<std::string> TestUsbDisksFromEnvironment(std::string* error);
// The same rules on a list given as text: blanks around entries and empty
// entries are ignored, a repeated entry counts once; on an error the list is
// empty and error names the first bad entry.
std::vector<std::string> ParseTestUsbDisks(std::string_view list, std::string* error);

}  // namespace larkin::platform::linuxhw

#endif
