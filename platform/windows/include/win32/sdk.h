/* A Windows build takes the platform's headers from the Windows SDK: each
 * win32/ header of this folder stands for the platform header of the same
 * name and brings in the SDK headers that declare what it declares. */
#ifndef LARKIN_WINDOWS_SDK_H
#define LARKIN_WINDOWS_SDK_H

#include <windows.h>
/* After windows.h, which they build on. */
#include <cfgmgr32.h>
#include <devguid.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <winioctl.h>

#endif
