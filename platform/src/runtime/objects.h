// What file handles stand for: plain files, disks and volumes (media), SCSI
// ports and volume searches.
#ifndef LARKIN_PLATFORM_OBJECTS_H
#define LARKIN_PLATFORM_OBJECTS_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "machine/volume_lock_file.h"
#include "posix.h"
#include "runtime.h"

namespace larkin::platform {

class FileObject final : public Object {
  public:
    UniqueFd fd;
    std::string path;
    // A handle shared by threads moves its position under this lock, from
    // where a transfer reads it to where it is moved past the bytes moved.
    std::mutex positionLock;
    uint64_t position = 0;
    DWORD access = 0;
};

// A whole disk, or one volume on a disk (or the floppy drive). The
// backend's part of the handle goes with it: the one way a handle closes.
class MediaObject final : public Object {
  public:
    std::string name;  // as opened
    MediaRef media;    // what I/O reaches
    // Held by this handle; released after access, which gives back first
    // what the backend took from the system for it.
    VolumeLockFile volumeLock;
    std::unique_ptr<MediaAccess> access;
    std::optional<std::string> volume;  // volume name, for a volume
    std::string volumeKey;              // the backend's key of the volume
    std::mutex positionLock;            // taken before the runtime's lock
    uint64_t position = 0;
    DWORD accessRights = 0;
    WriterShare share;  // a writer's share of its disk's hold file

    bool IsVolume() const { return volume.has_value(); }
    bool CanRead() const;
    bool CanWrite() const;
};

class PortObject final : public Object {
  public:
    std::string name;
    uint32_t port = 0;
    DWORD access = 0;
};

// What a handle opened with these access rights may do.
bool HasReadAccess(DWORD access);
bool HasWriteAccess(DWORD access);

class VolumeSearchObject final : public Object {
  public:
    std::vector<std::string> names;
    size_t next = 0;
};

// The volume behind a volume handle as the system sees it now, or none when
// it went away (the disk was unplugged or re-partitioned).
std::optional<VolumeInfo> CurrentVolume(const MediaObject& object);
// Where I/O through the object lands: first byte on the media, and length.
bool MediaExtent(const MediaObject& object, uint64_t* base, uint64_t* length, DWORD* error);
// True while a handle other than object, in any process, holds the lock of
// the volume with this key.
bool LockedByOther(const std::string& volumeKey, const MediaObject* object);

}  // namespace larkin::platform

#endif
