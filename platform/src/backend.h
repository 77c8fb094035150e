// The narrow interface under the Windows-shaped API: primitive facts about
// the machine and primitive I/O. The API layer turns these into Windows
// semantics once, whatever backend is underneath.
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

#include "larkin/simulation.h"
#include "win32/windows.h"

namespace larkin::platform {

struct RegistryValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

struct DeviceInterface {
    GUID interfaceClass{};
    std::string path;  // \\?\...#{guid}
};

// One node of the device tree. Nodes are listed parents before children;
// children of a node keep the order in which they are listed.
struct DeviceNode {
    std::string instanceId;  // "USBSTOR\DISK&VEN_...\..."; the root is "HTREE\ROOT\0"
    std::string parentId;    // "" only for the root
    GUID setupClass{};
    std::vector<DeviceInterface> interfaces;
    std::map<DWORD, RegistryValue> properties;  // by SPDRP code
};

// The device tree as one immutable snapshot, shared by its readers.
using DeviceTreeView = std::shared_ptr<const std::vector<DeviceNode>>;

struct DiskGeometry {
    uint64_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t bytesPerSector = 512;
};

struct DiskInfo {
    uint32_t number = 0;
    std::string id;             // stable name for messages and the journal
    std::string instanceId;     // its device node
    std::string interfacePath;  // its GUID_DEVINTERFACE_DISK path
    uint64_t size = 0;          // bytes
    DiskGeometry geometry;
    bool removable = false;
    bool mediaPresent = true;
    std::optional<uint32_t> scsiPort;  // the \\.\scsiN: port it hangs below
    uint8_t scsiTarget = 0;
};

struct VolumeInfo {
    std::string name;                     // \\?\Volume{guid}\ (with the trailing backslash)
    std::vector<std::string> mountPaths;  // "E:\", "C:\Mount\Stick\"
    std::optional<uint32_t> disk;         // none for a floppy drive
    uint32_t partitionNumber = 0;         // 1-based; 0 for a whole-media volume
    uint64_t offset = 0;                  // bytes from the start of the disk
    uint64_t length = 0;
    UINT driveType = DRIVE_FIXED;
    bool extentsReadable = true;  // false: a slot without media
    std::string mediaId;          // what I/O on the volume reaches
};

struct ScsiPortInfo {
    uint32_t number = 0;    // N of \\.\scsiN:
    std::string adapterId;  // instance id of its adapter
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

struct AspiHostInfo {
    uint32_t port = 0;  // the SCSI port the host adapter drives
    uint8_t hostScsiId = 7;
    uint8_t maxTargets = 16;
    std::string manager;
    std::string identifier;
};

class Backend {
  public:
    virtual ~Backend() = default;

    virtual const char* Name() const = 0;
    virtual std::string MachineFile() const { return {}; }

    // Picks up changes that other processes made (hot-plug, re-read tables).
    virtual void Refresh() = 0;

    virtual DeviceTreeView DeviceTree() = 0;
    // Removes a device and its children until they are plugged in again.
    virtual DWORD RemoveDevice(const std::string& instanceId) = 0;
    // Looks for new devices and re-reads partition tables.
    virtual void Rescan() = 0;

    virtual std::shared_ptr<const std::vector<DiskInfo>> Disks() = 0;
    // Media I/O: a disk's number as text ("3"), or a volume's mediaId.
    virtual DWORD Read(const std::string& media, uint64_t offset, std::span<std::byte> data) = 0;
    virtual DWORD Write(const std::string& media, uint64_t offset, std::span<const std::byte> data,
                        const char* via) = 0;
    virtual uint64_t MediaSize(const std::string& media) = 0;
    // The file or device an outside program opens to reach the media.
    virtual std::string MediaPath(const std::string& media) = 0;
    // An outside program may now write length bytes at offset of media; the
    // returned token ends that with EndOutsideWrite.
    virtual DWORD BeginOutsideWrite(const std::string& media, uint64_t offset, uint64_t length,
                                    const std::string& tool, uint64_t* token) = 0;
    virtual void EndOutsideWrite(uint64_t token, bool completed) = 0;
    // Why writing to this disk is refused (it holds the running system), or "".
    virtual std::string WriteRefusal(uint32_t disk) = 0;
    // Makes the system read the disk's partition table again.
    virtual DWORD RereadPartitions(uint32_t disk) = 0;

    virtual std::shared_ptr<const std::vector<VolumeInfo>> Volumes() = 0;
    // Logical drive letters present, as GetLogicalDrives' mask.
    virtual DWORD LogicalDrives() = 0;

    virtual std::vector<ScsiPortInfo> ScsiPorts() = 0;
    virtual ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                    DataDirection direction, std::span<std::byte> data) = 0;
    virtual std::vector<AspiHostInfo> AspiHosts() = 0;

    virtual std::string WindowsDirectory() = 0;
    // Sleep(ms) waits ms * TimeScale() milliseconds.
    virtual double TimeScale() = 0;
    // Faults the machine itself asks for (the simulated machine's file).
    virtual std::vector<larkin::sim::Fault> MachineFaults() { return {}; }
};

}  // namespace larkin::platform

#endif
