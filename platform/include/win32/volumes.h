/* Volumes: their names, the paths they are mounted at, and drive letters. */
#ifndef WIN32_VOLUMES_H
#define WIN32_VOLUMES_H

#include "base.h"

/* GetDriveTypeA */
#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u

WIN32_BEGIN
PLATFORM_API HANDLE FindFirstVolumeA(LPSTR volumeName, DWORD size);
PLATFORM_API BOOL FindNextVolumeA(HANDLE search, LPSTR volumeName, DWORD size);
PLATFORM_API BOOL FindVolumeClose(HANDLE search);
PLATFORM_API BOOL GetVolumePathNamesForVolumeNameA(LPCSTR volumeName, LPSTR names, DWORD size,
                                                   PDWORD returned);
PLATFORM_API DWORD GetLogicalDrives(void);
PLATFORM_API UINT GetDriveTypeA(LPCSTR rootPath);
WIN32_END

#endif
