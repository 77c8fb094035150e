#include "disk_eject.h"

#include <string>
#include <vector>

#include "ascii_text.h"
#include "device_handles.h"
#include "interface_path.h"

namespace verran {

namespace {

INT Status(DWORD error) {
    return static_cast<INT>(error);
}

}  // namespace

INT EjectDiskByPath(std::string_view diskPath) {
    DeviceSet disks = DeviceSet::OfClass(GUID_DEVCLASS_DISKDRIVE);
    if (!disks) return Status(LastErrorOr(ERROR_INVALID_DATA));

    std::vector<SP_DEVINFO_DATA> listed;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (SetupDiEnumDeviceInfo(disks.get(), index, &device)) {
            listed.push_back(device);
            continue;
        }
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        return Status(LastErrorOr(ERROR_INVALID_DATA));
    }

    for (SP_DEVINFO_DATA& device : listed) {
        char instanceId[MAX_DEVICE_ID_LEN];
        if (CM_Get_Device_IDA(device.DevInst, instanceId, sizeof instanceId, 0) != CR_SUCCESS)
            continue;
        std::string path;
        if (GetInterfacePath(instanceId, GUID_DEVINTERFACE_DISK, &path) != ERROR_SUCCESS) continue;
        if (!EqualsNoCase(path, diskPath)) continue;
        // A removal that failed is never reported as done, even without an
        // error code.
        if (!SetupDiRemoveDevice(disks.get(), &device))
            return Status(LastErrorOr(ERROR_GEN_FAILURE));
        return 0;
    }
    return Status(ERROR_INVALID_PARAMETER);
}

}  // namespace verran
