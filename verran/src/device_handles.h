// Owners for the platform handles the library opens: device information sets
// and file handles. Each closes its handle when it goes.
#ifndef VERRAN_DEVICE_HANDLES_H
#define VERRAN_DEVICE_HANDLES_H

#include <utility>

#include "win32/windows.h"

namespace verran {

class DeviceSet {
  public:
    // The present devices of a setup class.
    static DeviceSet OfClass(const GUID& setupClass);
    // The interfaces of interfaceClass that the device deviceInstanceId exposes.
    static DeviceSet OfInterfaces(const GUID& interfaceClass, const char* deviceInstanceId);

    DeviceSet(DeviceSet&& other) noexcept : set_(std::exchange(other.set_, INVALID_HANDLE_VALUE)) {}
    DeviceSet& operator=(DeviceSet&& other) noexcept;
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    ~DeviceSet();

    explicit operator bool() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

  private:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    HDEVINFO set_;
};

class FileHandle {
  public:
    // CreateFileA with OPEN_EXISTING, shared for reading and writing.
    FileHandle(const char* path, DWORD access, DWORD flags);
    FileHandle(FileHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    FileHandle& operator=(FileHandle&&) = delete;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// DeviceIoControl without input; true when the request succeeded.
bool Control(const FileHandle& device, DWORD code, void* out, DWORD outSize, DWORD* returned);

// The last error, or fallback when a failed call left none: a failure must
// never read as success.
DWORD LastErrorOr(DWORD fallback);

}  // namespace verran

#endif
