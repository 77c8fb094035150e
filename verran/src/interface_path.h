// Device paths of device interfaces.
#ifndef VERRAN_INTERFACE_PATH_H
#define VERRAN_INTERFACE_PATH_H

#include <string>

#include "win32/windows.h"

namespace verran {

// The path of the first interface of interfaceClass in an interface set.
// 0 with the path; ERROR_NO_MORE_ITEMS when the set holds none; else the
// platform's error.
DWORD FirstInterfacePath(HDEVINFO interfaceSet, const GUID& interfaceClass, std::string* path);

// The path of the first interface of interfaceClass that the device
// deviceInstanceId exposes, with the statuses of FirstInterfacePath.
DWORD GetInterfacePath(const char* deviceInstanceId, const GUID& interfaceClass, std::string* path);

}  // namespace verran

#endif
