/* Base types, error codes, last error, memory and system texts of the
 * Windows-shaped platform API. Every deliverable includes only these headers
 * for its system services. */
#ifndef WIN32_BASE_H
#define WIN32_BASE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define WIN32_EXTERN_C extern "C"
#define WIN32_BEGIN extern "C" {
#define WIN32_END }
#else
#define WIN32_EXTERN_C
#define WIN32_BEGIN
#define WIN32_END
#endif

/* Calling-convention markers keep the Windows spelling; on this platform
 * there is one convention. A library marks its exports with larkin/exports.h. */
#define WINAPI
#define CALLBACK
#define __stdcall
#define __cdecl
#define PLATFORM_API __attribute__((visibility("default")))

typedef uint8_t BYTE, UCHAR, BOOLEAN;
typedef uint16_t WORD, USHORT;
typedef uint32_t DWORD, ULONG, UINT;
typedef int32_t BOOL, LONG, INT;
typedef int16_t SHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG, DWORD64;
typedef uintptr_t ULONG_PTR, UINT_PTR, DWORD_PTR, SIZE_T, WPARAM;
typedef intptr_t LONG_PTR, INT_PTR, LPARAM, LRESULT;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef CHAR *LPSTR, *PSTR, *PCHAR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef void *LPVOID, *PVOID;
typedef const void* LPCVOID;
typedef DWORD *LPDWORD, *PDWORD;
typedef BYTE *LPBYTE, *PBYTE;

typedef void* HANDLE;
typedef HANDLE HMODULE, HINSTANCE, HWND, HGLOBAL, HLOCAL, HRSRC, HMENU, HICON, HCURSOR, HBRUSH;
typedef WORD ATOM;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED; /* never used: I/O is synchronous */

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

/* System error codes. */
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_INVALID_DRIVE 15u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_BAD_UNIT 20u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_CRC 23u
#define ERROR_SEEK 25u
#define ERROR_SECTOR_NOT_FOUND 27u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_NOT_LOCKED 158u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_FILE_TOO_LARGE 223u
#define ERROR_MORE_DATA 234u
#define ERROR_WAIT_NO_CHILDREN 128u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_UNRECOGNIZED_VOLUME 1005u
#define ERROR_MEDIA_CHANGED 1110u
#define ERROR_DLL_INIT_FAILED 1114u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CANNOT_FIND_WND_CLASS 1407u
#define ERROR_CLASS_ALREADY_EXISTS 1410u
#define ERROR_CLASS_DOES_NOT_EXIST 1411u
#define ERROR_CLASS_HAS_WINDOWS 1412u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#define ERROR_TIMEOUT 1460u
/* Device-installation errors. */
#define ERROR_NO_SUCH_DEVINST 0xE000020Bu
#define ERROR_INVALID_REG_PROPERTY 0xE0000209u
#define ERROR_NO_DEVICE_SELECTED 0xE0000211u
#define ERROR_INVALID_CLASS 0xE0000206u

WIN32_BEGIN
PLATFORM_API DWORD GetLastError(void);
PLATFORM_API void SetLastError(DWORD code);
PLATFORM_API BOOL CloseHandle(HANDLE handle);
PLATFORM_API void Sleep(DWORD milliseconds);
PLATFORM_API UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

/* Memory. */
#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u
PLATFORM_API HLOCAL LocalFree(HLOCAL memory);
PLATFORM_API HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
PLATFORM_API HGLOBAL GlobalFree(HGLOBAL memory);

/* System texts. */
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
/* Only FROM_SYSTEM is supported; with ALLOCATE_BUFFER, buffer receives a
 * text that the caller frees with LocalFree. Inserts are never
 * expanded. */
PLATFORM_API DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                  LPSTR buffer, DWORD size, void* arguments);
WIN32_END

#endif
