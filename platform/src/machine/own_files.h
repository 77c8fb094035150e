// The machine's own files (its description, the files that hold its disks,
// everything in its state folder) are never a plain file of a program: not
// read as one, not written as one, whatever name leads to them.
#ifndef LARKIN_PLATFORM_OWN_FILES_H
#define LARKIN_PLATFORM_OWN_FILES_H

#include <sys/stat.h>

#include <string>

#include "backend.h"

namespace larkin::platform {

// Why path (or opened, the file already opened from it) is one of the
// machine's own files; "" when it is not. A name in the state folder counts
// whether or not the file exists yet; other files are compared by device and
// inode, so links and other spellings lead to the same answer.
std::string OwnFileRefusal(Backend& machine, const std::string& path,
                           const struct stat* opened = nullptr);

}  // namespace larkin::platform

#endif
