/* Windows, messages, message boxes and keyboard input. Windows exist inside
 * one process; console windows of processes started with CREATE_NEW_CONSOLE
 * are windows too, found by their title. */
#ifndef WIN32_USER_H
#define WIN32_USER_H

#include "base.h"

typedef LRESULT (*WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

typedef struct _WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA;

#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u

#define WS_BORDER 0x00800000u
#define WS_VISIBLE 0x10000000u

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_RESTORE 9
#define SW_FORCEMINIMIZE 11

#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_USER 0x0400u

#define MB_OK 0x00000000u
#define MB_YESNO 0x00000004u
#define MB_ICONERROR 0x00000010u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define VK_RETURN 0x0D
#define KEYEVENTF_KEYUP 0x0002u

WIN32_BEGIN
PLATFORM_API ATOM RegisterClassA(const WNDCLASSA* windowClass);
PLATFORM_API BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);
PLATFORM_API HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                                  int x, int y, int width, int height, HWND parent, HMENU menu,
                                  HINSTANCE instance, LPVOID param);
PLATFORM_API BOOL DestroyWindow(HWND window);
PLATFORM_API BOOL IsWindow(HWND window);
PLATFORM_API LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* Extra window memory: a 32-bit or pointer-sized value at any byte offset
 * that fits in cbWndExtra. */
PLATFORM_API LONG SetWindowLongA(HWND window, int index, LONG value);
PLATFORM_API LONG GetWindowLongA(HWND window, int index);
PLATFORM_API LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
PLATFORM_API LONG_PTR GetWindowLongPtrA(HWND window, int index);
PLATFORM_API HWND FindWindowA(LPCSTR className, LPCSTR windowName);
PLATFORM_API BOOL ShowWindow(HWND window, int command);
PLATFORM_API HWND GetForegroundWindow(void);
PLATFORM_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* Shown through the handler the host program installed (larkin/platform.h). */
PLATFORM_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
/* Key presses go to the foreground window: a console brought forward with
 * ShowWindow receives VK_RETURN as a line end on its input. */
PLATFORM_API void keybd_event(BYTE key, BYTE scan, DWORD flags, ULONG_PTR extra);
WIN32_END

#endif
