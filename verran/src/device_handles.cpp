#include "device_handles.h"

namespace verran {

DeviceSet DeviceSet::OfClass(const GUID& setupClass) {
    return DeviceSet(SetupDiGetClassDevsA(&setupClass, nullptr, nullptr, DIGCF_PRESENT));
}

DeviceSet DeviceSet::OfInterfaces(const GUID& interfaceClass, const char* deviceInstanceId) {
    return DeviceSet(SetupDiGetClassDevsA(&interfaceClass, deviceInstanceId, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
}

DeviceSet& DeviceSet::operator=(DeviceSet&& other) noexcept {
    if (this != &other) {
        if (*this) SetupDiDestroyDeviceInfoList(set_);
        set_ = std::exchange(other.set_, INVALID_HANDLE_VALUE);
    }
    return *this;
}

DeviceSet::~DeviceSet() {
    if (*this) SetupDiDestroyDeviceInfoList(set_);
}

FileHandle::FileHandle(const char* path, DWORD access, DWORD flags)
    : handle_(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          flags, nullptr)) {}

FileHandle::~FileHandle() {
    if (*this) CloseHandle(handle_);
}

bool Control(const FileHandle& device, DWORD code, void* out, DWORD outSize, DWORD* returned) {
    DWORD ignored = 0;
    return DeviceIoControl(device.get(), code, nullptr, 0, out, outSize,
                           returned ? returned : &ignored, nullptr) != FALSE;
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace verran
