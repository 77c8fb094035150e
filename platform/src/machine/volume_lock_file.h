// Volume locks that every process using the machine sees, on every backend:
// an exclusive flock on one lock file per volume in the machine's lock
// folder, held by the locking handle's own open of it, so it goes with the
// handle (or the process). The backend only takes the volume from the
// system while it is locked (MediaAccess::ClaimVolume).
#ifndef LARKIN_PLATFORM_VOLUME_LOCK_FILE_H
#define LARKIN_PLATFORM_VOLUME_LOCK_FILE_H

#include <string>

#include "runtime/posix.h"
#include "win32/base.h"

namespace larkin::platform {

class VolumeLockFile {
  public:
    // ERROR_ACCESS_DENIED while another handle, here or elsewhere, holds the
    // lock of key, or while this one holds another volume's.
    DWORD Take(const std::string& folder, const std::string& key);
    void Drop();
    bool Held() const { return fd_.Valid(); }
    bool Holds(const std::string& key) const { return fd_.Valid() && key_ == key; }

  private:
    UniqueFd fd_;
    std::string key_;
};

// True while some handle holds the lock of key.
bool VolumeLockHeld(const std::string& folder, const std::string& key);

class MediaObject;

// FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME on a volume handle.
DWORD LockVolume(MediaObject& volume);
DWORD UnlockVolume(MediaObject& volume);
// True while a handle other than self (may be null), in any process, holds
// the lock of key.
bool VolumeLockedElsewhere(const std::string& key, const MediaObject* self);

// The lock file of key in folder: the key with anything but letters,
// digits, '.', '_' and '-' spelled out, so that any key names one file.
std::string VolumeLockPath(const std::string& folder, const std::string& key);

}  // namespace larkin::platform

#endif
