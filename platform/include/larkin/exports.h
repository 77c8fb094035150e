/* How a library marks its exports and its entry point, and, on this platform,
 * the tables that a Windows build keeps in its image instead: exports by
 * ordinal and by names a symbol cannot carry (a .def file there) and
 * resources (an .rc file there). A library
 * that has them keeps its tables in a source of their own that only this
 * platform's build compiles. */
#ifndef LARKIN_EXPORTS_H
#define LARKIN_EXPORTS_H

#ifdef __cplusplus
#define LARKIN_EXTERN_C extern "C"
#else
#define LARKIN_EXTERN_C
#endif

#ifdef _WIN32

#include <windows.h>

#define DLLEXPORT LARKIN_EXTERN_C __declspec(dllexport)
/* The library's DllMain. */
#define LARKIN_DLLMAIN(instance, reason, reserved)                 \
    LARKIN_EXTERN_C BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID); \
    LARKIN_EXTERN_C BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)

#else

#include "../win32/base.h"

#define DLLEXPORT LARKIN_EXTERN_C __attribute__((visibility("default")))

typedef struct LARKIN_ORDINAL {
    WORD ordinal; /* 0 ends the table */
    const char* name;
} LARKIN_ORDINAL;

/* An export known by a name the symbol cannot carry here, as a .def file's
 * "exported=symbol" line: stdcall names such as _CreateUSBBoot@12. */
typedef struct LARKIN_EXPORT_NAME {
    const char* exported; /* NULL ends the table */
    const char* symbol;
} LARKIN_EXPORT_NAME;

typedef struct LARKIN_RESOURCE {
    const char* type; /* for example "BOOTREC"; NULL ends the table */
    WORD id;
    const void* data;
    DWORD size;
} LARKIN_RESOURCE;

typedef BOOL (*LARKIN_DLLMAIN)(HINSTANCE instance, DWORD reason, LPVOID reserved);

/* Called with DLL_PROCESS_ATTACH by the first LoadLibraryA of the module and
 * with DLL_PROCESS_DETACH by the last FreeLibrary, or at process exit for
 * modules still loaded (in reverse order of loading); reserved is then
 * non-null. FALSE from the attach fails the load. */
#define LARKIN_DLLMAIN(instance, reason, reserved)          \
    DLLEXPORT BOOL LarkinDllMain(HINSTANCE, DWORD, LPVOID); \
    DLLEXPORT BOOL LarkinDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
#define LARKIN_ORDINAL_TABLE DLLEXPORT const LARKIN_ORDINAL LarkinOrdinalTable[]
#define LARKIN_RESOURCE_TABLE DLLEXPORT const LARKIN_RESOURCE LarkinResourceTable[]
#define LARKIN_EXPORT_NAME_TABLE DLLEXPORT const LARKIN_EXPORT_NAME LarkinExportNameTable[]

#endif

#endif
