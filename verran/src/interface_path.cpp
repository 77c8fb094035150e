#include "interface_path.h"

#include <vector>

#include "device_handles.h"

namespace verran {

DWORD FirstInterfacePath(HDEVINFO interfaceSet, const GUID& interfaceClass, std::string* path) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(interfaceSet, nullptr, &interfaceClass, 0, &interfaceData))
        return LastErrorOr(ERROR_NO_MORE_ITEMS);

    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(interfaceSet, &interfaceData, nullptr, 0, &required,
                                         nullptr))
        return ERROR_INVALID_DATA;  // a path cannot fit in no buffer
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return LastErrorOr(ERROR_INVALID_DATA);
    if (required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath))
        return ERROR_INVALID_DATA;

    // Sized and aligned for the structure; the path follows its fixed header.
    std::vector<SP_DEVICE_INTERFACE_DETAIL_DATA_A> buffer(
        (required + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) - 1) /
        sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = buffer.data();
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(interfaceSet, &interfaceData, detail, required, nullptr,
                                          nullptr))
        return LastErrorOr(ERROR_INVALID_DATA);

    // The path ends at its NUL, or at the end of what the platform filled.
    const char* text = detail->DevicePath;
    size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    size_t length = 0;
    while (length < room && text[length] != '\0') ++length;
    path->assign(text, length);
    return ERROR_SUCCESS;
}

DWORD GetInterfacePath(const char* deviceInstanceId, const GUID& interfaceClass,
                       std::string* path) {
    DeviceSet set = DeviceSet::OfInterfaces(interfaceClass, deviceInstanceId);
    if (!set) return LastErrorOr(ERROR_INVALID_DATA);
    return FirstInterfacePath(set.get(), interfaceClass, path);
}

}  // namespace verran
