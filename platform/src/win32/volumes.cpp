// The volume manager's view: volume names, their mount paths and the
// logical drives.
#include <cctype>
#include <cstring>

#include "runtime/objects.h"
#include "runtime/exported_call.h"
#include "runtime/text.h"

namespace larkin::platform {
namespace {

bool CopyName(const std::string& name, LPSTR buffer, DWORD size) {
    if (name.size() + 1 > size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return true;
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

HANDLE FindFirstVolumeA(LPSTR volumeName, DWORD size) {
    return larkin::platform::Guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        std::lock_guard guard(Runtime::Get().lock);
        if (FaultFires("FindFirstVolumeA")) return INVALID_HANDLE_VALUE;
        auto search = std::make_shared<VolumeSearchObject>();
        auto view = View();
        for (const auto& volume : view->volumes) search->names.push_back(volume.name);
        if (search->names.empty()) return FailedHandle(ERROR_NO_MORE_FILES);
        if (!CopyName(search->names[0], volumeName, size)) return INVALID_HANDLE_VALUE;
        search->next = 1;
        return Runtime::Get().handles.Add(std::move(search));
    });
}

BOOL FindNextVolumeA(HANDLE handle, LPSTR volumeName, DWORD size) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto search = Runtime::Get().handles.Get<VolumeSearchObject>(handle);
        if (!search) return FALSE;
        if (FaultFires("FindNextVolumeA")) return FALSE;
        if (search->next >= search->names.size()) return Failed(ERROR_NO_MORE_FILES);
        if (!CopyName(search->names[search->next], volumeName, size)) return FALSE;
        ++search->next;
        return TRUE;
    });
}

BOOL FindVolumeClose(HANDLE handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!Runtime::Get().handles.Get<VolumeSearchObject>(handle)) return FALSE;
        Runtime::Get().handles.Remove(handle);
        return TRUE;
    });
}

BOOL GetVolumePathNamesForVolumeNameA(LPCSTR volumeName, LPSTR names, DWORD size, PDWORD returned) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (returned) *returned = 0;
        if (volumeName == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        std::lock_guard guard(Runtime::Get().lock);
        if (FaultFires("GetVolumePathNamesForVolumeNameA", volumeName)) return FALSE;
        std::string name = volumeName;
        if (name.empty() || name.back() != '\\') return Failed(ERROR_INVALID_NAME);
        auto view = View();
        for (const auto& volume : view->volumes) {
            if (!EqualsNoCase(volume.name, name)) continue;
            std::string list;
            for (const auto& path : volume.mountPaths) list += path + '\0';
            list += '\0';
            if (returned) *returned = static_cast<DWORD>(list.size());
            if (names == nullptr || list.size() > size) return Failed(ERROR_MORE_DATA);
            std::memcpy(names, list.data(), list.size());
            return TRUE;
        }
        return Failed(ERROR_FILE_NOT_FOUND);
    });
}

DWORD GetLogicalDrives(void) {
    return larkin::platform::Guarded<DWORD>(0, [&]() -> DWORD {
        std::lock_guard guard(Runtime::Get().lock);
        if (FaultFires("GetLogicalDrives")) return 0;
        SetLastError(ERROR_SUCCESS);
        return View()->logicalDrives;
    });
}

UINT GetDriveTypeA(LPCSTR rootPath) {
    return larkin::platform::Guarded<UINT>(0, [&]() -> UINT {
        std::lock_guard guard(Runtime::Get().lock);
        std::string path = rootPath ? rootPath : "C:\\";
        if (path.size() > 4 && path[0] == '\\' && path[1] == '\\' &&
            (path[2] == '.' || path[2] == '?') && path[3] == '\\' &&
            !StartsWithNoCase(path.substr(4), "Volume{"))
            path = path.substr(4);
        auto view = View();
        for (const auto& volume : view->volumes) {
            if (EqualsNoCase(volume.name, path)) return volume.driveType;
            for (const auto& mount : volume.mountPaths)
                if (EqualsNoCase(mount, path)) return volume.driveType;
        }
        return DRIVE_NO_ROOT_DIR;
    });
}
