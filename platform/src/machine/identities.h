// The machine as Windows shows it, made from a backend's facts: device
// nodes with their instance ids, interface paths and registry properties,
// disks, volumes with their GUID names, SCSI ports and ASPI host adapters.
// Made here once, the same way for every backend.
#ifndef LARKIN_PLATFORM_IDENTITIES_H
#define LARKIN_PLATFORM_IDENTITIES_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend.h"

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
    std::string key;         // the backend's name for the device; "" for the root
    GUID setupClass{};
    std::vector<DeviceInterface> interfaces;
    std::map<DWORD, RegistryValue> properties;  // by SPDRP code
};

struct DiskInfo {
    uint32_t number = 0;
    std::string id;             // the backend's key: messages and the journal
    std::string instanceId;     // its device node
    std::string interfacePath;  // its GUID_DEVINTERFACE_DISK path
    uint64_t size = 0;          // bytes
    DiskGeometry geometry;
    bool removable = false;
    bool mediaPresent = true;
    bool system = false;
    std::string writeRefusal;          // the backend's reason never to write it
    std::optional<uint32_t> scsiPort;  // the \\.\scsiN: port it hangs below
    uint8_t scsiTarget = 0;
    Bus bus = Bus::Usb;
    std::string vendor, product, revision, serial;  // as the device says
};

struct VolumeInfo {
    std::string name;                     // \\?\Volume{guid}\ (with the trailing backslash)
    std::string key;                      // the backend's key, for its lock
    std::vector<std::string> mountPaths;  // "E:\", "C:\Mount\Stick\"
    std::optional<uint32_t> disk;         // none for a floppy drive
    uint32_t partitionNumber = 0;         // 1-based; 0 for a whole-media volume
    uint64_t offset = 0;                  // bytes from the start of the disk
    uint64_t length = 0;
    UINT driveType = DRIVE_FIXED;
    bool extentsReadable = true;  // false: a slot without media

    MediaRef Media() const { return MediaRef{disk}; }
};

struct ScsiPortInfo {
    uint32_t number = 0;    // N of \\.\scsiN:
    std::string adapterId;  // instance id of its adapter
};

struct AspiHostInfo {
    uint32_t port = 0;  // the SCSI port the host adapter drives
    uint8_t hostScsiId = 7;
    uint8_t maxTargets = 16;
    std::string manager;
    std::string identifier;
};

using DeviceTreeView = std::shared_ptr<const std::vector<DeviceNode>>;

// One consistent picture of the machine, shared by its readers.
struct MachineView {
    uint64_t generation = 0;
    std::vector<DeviceNode> tree;
    std::vector<DiskInfo> disks;
    std::vector<VolumeInfo> volumes;
    std::vector<ScsiPortInfo> ports;
    std::vector<AspiHostInfo> aspiHosts;
    DWORD logicalDrives = 0;  // GetLogicalDrives' mask
    std::string windowsDirectory;

    const DiskInfo* Disk(uint32_t number) const;
    const VolumeInfo* Volume(std::string_view name) const;
    const DeviceNode* Node(std::string_view instanceId) const;
};

// Builds the Windows picture of the facts.
std::shared_ptr<const MachineView> BuildView(const MachineFacts& facts, uint64_t generation);

// The GUID name of a volume ("\\?\Volume{...}\") from its backend key.
std::string VolumeGuidName(std::string_view key);

}  // namespace larkin::platform

#endif
