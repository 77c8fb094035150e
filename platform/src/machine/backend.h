// The narrow interface under the Windows-shaped API. A backend states plain
// facts about the machine (adapters, disks, the partitions the system read)
// and does primitive I/O; every Windows identity, property and rule is made
// from those facts above it, once, the same way for every backend.
#ifndef LARKIN_PLATFORM_BACKEND_H
#define LARKIN_PLATFORM_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "larkin/test_controls.h"
#include "win32/windows.h"

namespace larkin::platform {

enum class Bus { Ata, Scsi, Usb };

struct DiskGeometry {
    uint64_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t bytesPerSector = 512;
};

// A registry property the machine fixes in place of the one made from the
// facts (or removes, when absent).
struct PropertyOverride {
    bool absent = false;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};
using PropertyOverrides = std::map<DWORD, PropertyOverride>;  // by SPDRP code

// A storage adapter, or a hub that adapters hang below.
struct AdapterFacts {
    std::string key;        // the backend's stable name for it
    std::string parentKey;  // "" when it hangs below the root
    Bus bus = Bus::Usb;
    bool hub = false;
    uint32_t index = 0;            // its place among all adapters, present or not
    std::optional<uint32_t> port;  // its SCSI port (\\.\scsiN:), when it has one
    bool aspiHost = false;         // an ASPI manager drives it
    uint8_t hostScsiId = 7;        // the adapter's own id on its bus
    std::string description;       // what the device says it is
    std::string serial;            // USB: the device's serial number
    uint16_t usbVendorId = 0;      // USB: idVendor and idProduct
    uint16_t usbProductId = 0;
    std::string instanceId;  // fixed by the machine, or "" to make one
    PropertyOverrides overrides;
};

struct DiskFacts {
    uint32_t number = 0;  // \\.\PhysicalDriveN
    std::string key;      // the backend's stable name for it
    std::string adapterKey;
    uint8_t target = 0;  // SCSI target on its adapter's port
    std::string vendor, product, revision, serial;
    std::string friendlyName;  // "" to make one from vendor and product
    uint64_t size = 0;         // bytes
    uint32_t sectorSize = 512;
    uint32_t heads = 255;
    uint32_t sectorsPerTrack = 63;
    bool removable = false;
    bool mediaPresent = true;
    bool system = false;  // holds the running system: never written
    // Why the backend will not let the disk be written (in use by the
    // system, not a removable stick, ...): "" when it may be.
    std::string writeRefusal;
    PropertyOverrides overrides;
};

// A volume as the system mounted it: a partition the system read on a disk
// (or a floppy drive's whole media), and where it is mounted.
struct VolumeFacts {
    std::string key;               // stable with its media and place: names the volume
    std::optional<uint32_t> disk;  // none for a floppy drive
    uint32_t partitionNumber = 0;  // 1-based; 0 for whole media
    uint64_t offset = 0;           // bytes from the start of the media
    uint64_t length = 0;
    bool removable = false;
    bool floppy = false;
    bool extentsReadable = true;          // false: a slot without media
    std::vector<std::string> mountPaths;  // "E:\", "C:\Mount\Stick\"
};

// Everything present now, in the order the system lists it: adapters in
// their order (parents need not come first), disks by number.
struct MachineFacts {
    std::vector<AdapterFacts> adapters;
    std::vector<DiskFacts> disks;
    std::vector<VolumeFacts> volumes;
    std::string windowsDirectory = "C:\\WINDOWS";
};

// What I/O through a handle reaches: a disk by number, or the floppy drive.
struct MediaRef {
    std::optional<uint32_t> disk;
    bool operator==(const MediaRef&) const = default;
};

// The backend's part of one open disk or volume handle. Whatever it holds
// (an exclusive open, a volume's lock) goes when it is destroyed, which is
// the one way a handle closes.
class MediaAccess {
  public:
    virtual ~MediaAccess() = default;
    virtual DWORD Read(uint64_t offset, std::span<std::byte> data) = 0;
    // Called only from the platform's write point, after its guard.
    virtual DWORD Write(uint64_t offset, std::span<const std::byte> data) = 0;
    virtual uint64_t Size() = 0;  // 0 when the media is gone
    // The volume key was just locked through this handle (the lock itself
    // is the platform's, over the lock file): take it from the system too,
    // where something would keep writers out (a kernel claim). An error
    // gives the lock up again.
    virtual DWORD ClaimVolume(const std::string& /*key*/) { return ERROR_SUCCESS; }
    // The lock is about to go: give back what ClaimVolume took.
    virtual void ReleaseVolume() {}
    // An outside program is about to open the locked volume itself: give up
    // whatever would keep it out (a kernel claim), while the lock still keeps
    // out every other handle.
    virtual DWORD HandOverToTool() { return ERROR_SUCCESS; }
};

struct ScsiAddress {
    uint32_t port = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
};

enum class DataDirection { None, In, Out };

struct ScsiOutcome {
    DWORD error = ERROR_SUCCESS;  // not ERROR_SUCCESS: the command never reached a target
    uint8_t status = SCSISTAT_GOOD;
    std::vector<uint8_t> sense;  // filled on CHECK CONDITION
    uint32_t transferred = 0;
};

// How the system took a new partition table: re-read whole, or (when the
// disk was busy) partition by partition, with the numbers it could not update.
struct TableCommit {
    DWORD error = ERROR_SUCCESS;
    bool wholeDisk = true;
    std::vector<uint32_t> partitionsNotUpdated;
};

// Where an outside program reaches media: a file or device and an offset.
struct ToolPath {
    std::string path;
    uint64_t offset = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;

    virtual const char* Name() const = 0;
    // Why no drive can be written at all (the program lacks privileges), in
    // one line that says what to do; "" when drives may be written.
    virtual std::string WritesRefused() { return {}; }

    // Grows whenever devices, media, partitions or mounts may have changed,
    // here or in another process; cheap enough to ask at every call.
    virtual uint64_t Generation() = 0;
    virtual std::shared_ptr<const MachineFacts> Facts() = 0;

    // Removes a device (an adapter or disk key) and what hangs below it,
    // until it is plugged in again.
    virtual DWORD RemoveDevice(const std::string& key) = 0;
    // Looks for new devices and reads partition tables again.
    virtual void Rescan() = 0;
    // This process looks at the disk with this key alone from now on ("":
    // at every disk again); the backend need not read the others.
    virtual void Narrow(const std::string& diskKey) { (void)diskKey; }

    // write: the handle may write (a backend may open the media read-only
    // otherwise, so that a reader never blocks the system's own use).
    virtual std::unique_ptr<MediaAccess> OpenMedia(const MediaRef& media, bool write,
                                                   DWORD* error) = 0;
    // Makes the system read the disk's partition table again.
    virtual DWORD RereadPartitions(uint32_t disk) = 0;
    // Writes sector 0 of the disk (after the platform's guard) and has the
    // system take the new table.
    virtual TableCommit CommitPartitionTable(uint32_t disk, std::span<const std::byte> sector0) = 0;
    virtual ToolPath ToolPathOf(const MediaRef& media) = 0;

    // One command on (port, target, lun); the data moves in the direction given.
    virtual ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                    DataDirection direction, std::span<std::byte> data,
                                    uint32_t timeoutSeconds) = 0;

    // Shows the floppy image file at path as the disk in drive A: ("" takes
    // it out), for this process and the programs it starts. ERROR_SUCCESS,
    // or an error and why, for a file that is not a floppy's image or a
    // machine with no drive A: to put it in.
    virtual DWORD UseFloppyImage(const std::string& /*path*/, std::string* why) {
        *why = "this machine has no floppy drive to hold the image";
        return ERROR_NOT_SUPPORTED;
    }

    // Readies a disk for an operation that erases it, before its first
    // write: what the desktop mounted from it, by any path, is unmounted,
    // and a disk that another program keeps (an exclusive open, a mount
    // that cannot go) is refused with ERROR_SHARING_VIOLATION and why.
    virtual DWORD ClaimDisk(uint32_t /*disk*/, std::string* /*why*/) { return ERROR_SUCCESS; }

    // Faults the machine asks for in every process that uses it (a
    // simulated machine's file may), added to this process's own at start.
    virtual std::vector<larkin::controls::Fault> StandingFaults() { return {}; }

    // Sleep(ms) waits ms * TimeScale() milliseconds.
    virtual double TimeScale() = 0;
    // What the machine itself is made of: whether a file (by device and
    // inode) is its description or holds one of its disks, and the folder of
    // its state. None of them is ever a plain file, however named: a write
    // there would pass the guard and the journal.
    virtual bool MadeOf(uint64_t /*device*/, uint64_t /*inode*/) { return false; }
    virtual const std::string& OwnFolder() {
        static const std::string none;
        return none;
    }
    // In the own folder, seen by every process using the machine: the write
    // journal, and the lock files of volume locks and drive holds ("": none).
    std::string JournalFile() { return OwnFolder().empty() ? "" : OwnFolder() + "/journal"; }
    std::string LockFolder() { return OwnFolder().empty() ? "" : OwnFolder() + "/locks"; }
};

}  // namespace larkin::platform

#endif
