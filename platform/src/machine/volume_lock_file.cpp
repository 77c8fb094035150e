#include "volume_lock_file.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>

#include "runtime/objects.h"

namespace larkin::platform {

std::string VolumeLockPath(const std::string& folder, const std::string& key) {
    std::string name;
    for (unsigned char c : key) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        if (plain && !(c == '.' && name.empty())) {
            name += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    return folder + "/" + name;
}

DWORD VolumeLockFile::Take(const std::string& folder, const std::string& key) {
    if (fd_.Valid()) return key_ == key ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    UniqueFd fd = OpenRegularFile(VolumeLockPath(folder, key), O_RDWR | O_CREAT, nullptr);
    if (!fd.Valid()) return ErrorFromErrno(errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
    fd_ = std::move(fd);
    key_ = key;
    return ERROR_SUCCESS;
}

void VolumeLockFile::Drop() {
    fd_.Reset();
    key_.clear();
}

bool VolumeLockHeld(const std::string& folder, const std::string& key) {
    UniqueFd fd = OpenRegularFile(VolumeLockPath(folder, key), O_RDONLY, nullptr);
    if (!fd.Valid()) return false;  // never locked
    if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    ::flock(fd.Get(), LOCK_UN);
    return false;
}

DWORD LockVolume(MediaObject& volume) {
    const std::string& key = volume.volumeKey;
    if (volume.volumeLock.Holds(key)) return ERROR_SUCCESS;
    if (DWORD error = volume.volumeLock.Take(Machine().LockFolder(), key); error != ERROR_SUCCESS)
        return error;
    if (DWORD error = volume.access->ClaimVolume(key); error != ERROR_SUCCESS) {
        volume.volumeLock.Drop();
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD UnlockVolume(MediaObject& volume) {
    if (!volume.volumeLock.Held()) return ERROR_NOT_LOCKED;
    volume.access->ReleaseVolume();
    volume.volumeLock.Drop();
    return ERROR_SUCCESS;
}

bool VolumeLockedElsewhere(const std::string& key, const MediaObject* self) {
    if (self && self->volumeLock.Holds(key)) return false;
    return VolumeLockHeld(Machine().LockFolder(), key);
}

}  // namespace larkin::platform
