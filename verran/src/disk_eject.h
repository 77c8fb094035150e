// Removing a disk from the machine by its device path.
#ifndef VERRAN_DISK_EJECT_H
#define VERRAN_DISK_EJECT_H

#include <string_view>

#include "win32/base.h"

namespace verran {

// Removes the first present disk drive whose GUID_DEVINTERFACE_DISK path
// equals diskPath in any letter case. 0 when removed, ERROR_INVALID_PARAMETER
// when no present disk has that path, else the platform's error.
INT EjectDiskByPath(std::string_view diskPath);

}  // namespace verran

#endif
