#include "volume_lock_file.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace larkin::platform
