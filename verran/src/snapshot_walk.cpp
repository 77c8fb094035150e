#include "snapshot_walk.h"

#include <string>

#include "device_handles.h"
#include "interface_path.h"
#include "registry_text.h"
#include "volume_scan.h"

namespace verran {

namespace {

INT Status(DWORD error) {
    return static_cast<INT>(error);
}

// Makes an SCSI adapter look for new targets. Nothing here may fail the walk.
void RescanBus(const std::string& portPath) {
    if (portPath.empty()) return;
    FileHandle port(portPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
    if (!port) return;
    if (Control(port, IOCTL_SCSI_RESCAN_BUS, nullptr, 0, nullptr))
        Control(port, IOCTL_STORAGE_FIND_NEW_DEVICES, nullptr, 0, nullptr);
}

// The disk's number and letters; left out when the disk cannot be asked.
void AddDiskNumber(DriveRecord& drive, const std::string& diskPath, const DiskLetterMap& letters) {
    FileHandle disk(diskPath.c_str(), GENERIC_READ, 0);
    if (!disk) return;
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number, &returned) ||
        returned < sizeof number)
        return;
    std::string key = std::to_string(number.DeviceNumber);
    AddProperty(drive.properties, kDeviceNumber, key);
    if (auto found = letters.find(key); found != letters.end())
        AddProperty(drive.properties, kMountInfo, found->second);
}

}  // namespace

INT TakeSnapshot(const char* classFilter) {
    DiscInventory& inventory = StartInventory();
    ScanVolumes(inventory.diskLetters);
    for (const std::string& token : SplitClassFilter(classFilter)) {
        for (const ClassFilterRow& row : ClassFilterTable) {
            if (!TokenSelects(token, row)) continue;
            DeviceSet set = DeviceSet::OfClass(*row.setupClass);
            if (!set) return Status(LastErrorOr(ERROR_INVALID_DATA));
            if (INT status = WalkAdapterClass(inventory, row, set.get()); status != 0)
                return status;
        }
    }
    return 0;
}

INT WalkAdapterClass(DiscInventory& inventory, const ClassFilterRow& row, HDEVINFO classSet) {
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(classSet, index, &device)) {
            DWORD error = GetLastError();
            return error == ERROR_NO_MORE_ITEMS ? 0 : Status(error);
        }
        AdapterRecord adapter;
        ReadAllRegistryProperties(classSet, &device, adapter.properties);

        char instanceId[MAX_DEVICE_ID_LEN];
        if (CONFIGRET result = CM_Get_Device_IDA(device.DevInst, instanceId, sizeof instanceId, 0);
            result != CR_SUCCESS)
            return Status(result);
        std::string portPath;
        DWORD status = GetInterfacePath(instanceId, GUID_DEVINTERFACE_STORAGEPORT, &portPath);
        if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS) return Status(status);

        AddProperty(adapter.properties, kDeviceName, portPath);
        AddProperty(adapter.properties, kInterface, row.name);
        inventory.adapters.push_back(std::move(adapter));
        if (row.rescanBus) RescanBus(portPath);
        WalkDrives(inventory.adapters.back(), inventory.diskLetters, device.DevInst);
    }
}

INT WalkDrives(AdapterRecord& adapter, const DiskLetterMap& letters, DEVINST adapterNode) {
    DEVINST child = 0;
    CONFIGRET result = CM_Get_Child(&child, adapterNode, 0);
    if (result == CR_NO_SUCH_DEVNODE) return 0;
    if (result != CR_SUCCESS) return -1;
    for (;;) {
        char childId[MAX_DEVICE_ID_LEN];
        if (CM_Get_Device_IDA(child, childId, sizeof childId, 0) != CR_SUCCESS) return -1;

        // One interface set serves both the disk's path and its properties.
        DeviceSet disks = DeviceSet::OfInterfaces(GUID_DEVINTERFACE_DISK, childId);
        if (!disks) return Status(LastErrorOr(ERROR_INVALID_DATA));
        std::string diskPath;
        DWORD status = FirstInterfacePath(disks.get(), GUID_DEVINTERFACE_DISK, &diskPath);
        if (status == ERROR_SUCCESS) {
            DriveRecord drive;
            ReadAllRegistryProperties(disks.get(), nullptr, drive.properties);
            AddProperty(drive.properties, kDeviceName, diskPath);
            AddDiskNumber(drive, diskPath, letters);
            adapter.drives.push_back(std::move(drive));
        } else if (status != ERROR_NO_MORE_ITEMS) {
            return Status(status);
        }

        DEVINST next = 0;
        result = CM_Get_Sibling(&next, child, 0);
        if (result == CR_NO_SUCH_DEVNODE) return 0;
        if (result != CR_SUCCESS) return -1;
        child = next;
    }
}

}  // namespace verran
