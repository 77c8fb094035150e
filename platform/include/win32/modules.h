/* Dynamic libraries, exports by ordinal, and resources. A library marks its
 * own exports and entry point with larkin/exports.h. */
#ifndef WIN32_MODULES_H
#define WIN32_MODULES_H

#include "base.h"

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u

/* Windows declares it as returning INT_PTR; the void form lets callers cast
 * it to the export's own type without a function-type warning. */
typedef void (*FARPROC)(void);

WIN32_BEGIN
/* name is a Windows library name: case does not matter and ".dll" is
 * optional. It is looked up as lib<name>.so (or <name>.so) beside the running
 * program, then in LARKIN_LIBRARY_PATH. */
PLATFORM_API HMODULE LoadLibraryA(LPCSTR name);
PLATFORM_API BOOL FreeLibrary(HMODULE module);
/* name is an export name, or an ordinal given as MAKEINTRESOURCEA(n). Only
 * the module's own exports are found. */
PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);
/* NULL gives the module of the running program. */
PLATFORM_API HMODULE GetModuleHandleA(LPCSTR name);
PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

PLATFORM_API HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
PLATFORM_API HGLOBAL LoadResource(HMODULE module, HRSRC resource);
PLATFORM_API LPVOID LockResource(HGLOBAL loaded);
PLATFORM_API DWORD SizeofResource(HMODULE module, HRSRC resource);
WIN32_END

#endif
