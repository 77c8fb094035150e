/* Processes and waits. */
#ifndef WIN32_PROCESSES_H
#define WIN32_PROCESSES_H

#include "base.h"

#define STARTF_USESHOWWINDOW 0x00000001u
#define CREATE_NEW_CONSOLE 0x00000010u

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

WIN32_BEGIN
/* The program is the first word of commandLine (or applicationName); a
 * Windows program name ("cmd", "cmd.exe") is looked up beside the running
 * program first, then on PATH. With CREATE_NEW_CONSOLE the child gets a
 * console of its own: its keyboard input comes only from keybd_event while
 * its console window is in front (see user.h). */
PLATFORM_API BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                                 LPSECURITY_ATTRIBUTES processAttributes,
                                 LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                 DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                                 LPSTARTUPINFOA startupInfo,
                                 LPPROCESS_INFORMATION processInformation);
PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
PLATFORM_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
PLATFORM_API BOOL TerminateProcess(HANDLE process, UINT exitCode);
WIN32_END

#endif
