// Holds of whole disks for operations that erase them. An operation holds
// its disk from its first check to its last byte: an exclusive flock on the
// disk's hold file in the machine's lock folder, with the holder named in the
// file. Every other handle that opens the disk or one of its volumes for
// writing takes the same lock shared for its life, so a hold and a foreign
// writer keep each other out in every process that uses the machine. The
// holder's own programs (cmd, the outside tools it starts) write under its
// hold: a process whose ancestor holds the disk needs no share of its own.
#ifndef LARKIN_PLATFORM_DRIVE_HOLD_H
#define LARKIN_PLATFORM_DRIVE_HOLD_H

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/posix.h"
#include "win32/base.h"

namespace larkin::platform {

// This process's open of one disk's hold file: one open for all its writing
// handles and its hold, since two opens of one file in a process would
// keep each other out.
struct DriveHoldFile {
    UniqueFd fd;
};

// What a writing handle holds of its disk's hold file; nothing when it writes
// under a hold of an ancestor.
class WriterShare {
  public:
    WriterShare() = default;
    explicit WriterShare(std::shared_ptr<DriveHoldFile> file)
        : file_(std::move(file)), joined_(true) {}
    // Joined once, for the life of the handle.
    bool Joined() const { return joined_; }
    void MarkJoined() { joined_ = true; }

  private:
    std::shared_ptr<DriveHoldFile> file_;
    bool joined_ = false;
};

class DriveHolds {
  public:
    // Takes the hold of the disk key for holder (a line naming the program and
    // what it does). ERROR_SHARING_VIOLATION, with who has the disk in *why,
    // while another process holds it or has it open for writing.
    DWORD Hold(const std::string& folder, const std::string& key, const std::string& holder,
               std::string* why);
    void Release(const std::string& key);

    // A writer's share of the disk key: ERROR_SHARING_VIOLATION, with the
    // holder in *why, while a process that is not this one or an ancestor
    // holds the disk.
    DWORD JoinWriters(const std::string& folder, const std::string& key, WriterShare* share,
                      std::string* why);

    // Who holds the disk key now, in another process: "" when nobody does.
    std::string HolderElsewhere(const std::string& folder, const std::string& key);

  private:
    std::shared_ptr<DriveHoldFile> OpenFile(const std::string& folder, const std::string& key,
                                            DWORD* error);

    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<DriveHoldFile>> open_;
    std::map<std::string, std::shared_ptr<DriveHoldFile>> held_;
};

// The hold file of a disk key in the lock folder.
std::string DriveHoldPath(const std::string& folder, const std::string& key);

}  // namespace larkin::platform

#endif
