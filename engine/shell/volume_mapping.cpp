#include "shell/volume_mapping.h"

#include <array>
#include <string>
#include <string_view>

#include "larkin/owned.h"
#include "win32/files.h"
#include "win32/volumes.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

constexpr DWORD kNothingFoundPause = 500;

// True when the volume at mountPath lives on the drive with identity id.
bool MountPathOnDrive(std::string_view mountPath, std::uint64_t id) {
    // "\\.\" + the path without its trailing backslash: "\\.\E:" for "E:\".
    std::string device = "\\\\.\\";
    device.append(mountPath.substr(0, mountPath.size() - 1));
    larkin::Handle volume(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (!volume) return false;  // a folder mount, or a volume in use
    return GetDriveIdentity(volume.get()) == id;
}

}  // namespace

std::uint64_t GetDriveIdentity(HANDLE handle) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                         sizeof number, &returned, nullptr))
        return kNoDriveIdentity;
    return (std::uint64_t{number.DeviceType} << 32) | number.DeviceNumber;
}

void FindVolumeLetter(HANDLE driveHandle, char* outBuffer) {
    if (outBuffer == nullptr) return;
    std::uint64_t id = GetDriveIdentity(driveHandle);
    if (id != kNoDriveIdentity) {
        std::array<char, MAX_PATH> volumeName{};
        larkin::VolumeSearch search(FindFirstVolumeA(volumeName.data(), MAX_PATH));
        for (bool more = search.valid(); more;
             more = FindNextVolumeA(search.get(), volumeName.data(), MAX_PATH)) {
            std::array<char, MAX_PATH> paths{};
            DWORD returned = 0;
            if (!GetVolumePathNamesForVolumeNameA(volumeName.data(), paths.data(), MAX_PATH,
                                                  &returned))
                continue;
            // NUL-terminated paths ended by an empty one, all within the buffer.
            paths.back() = '\0';
            for (const char* path = paths.data(); *path != '\0';) {
                std::string_view mountPath = path;
                path += mountPath.size() + 1;
                if (path >= paths.data() + paths.size()) path = &paths.back();
                if (mountPath.size() < 2 || !MountPathOnDrive(mountPath, id)) continue;
                outBuffer[0] = mountPath[0];
                outBuffer[1] = mountPath[1];
                outBuffer[2] = '\0';
                return;
            }
        }
    }
    Sleep(kNothingFoundPause);
}

}  // namespace tessel
