// Window classes, windows and their messages, message boxes and synthetic
// key presses, within one process.
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "runtime/exported_call.h"
#include "runtime/runtime.h"
#include "runtime/window_table.h"

namespace larkin::platform {
namespace {

WindowTable& Windows() {
    return Runtime::Get().windows;
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

ATOM RegisterClassA(const WNDCLASSA* cls) {
    return larkin::platform::Guarded<ATOM>(0, [&]() -> ATOM {
        if (cls == nullptr || cls->lpszClassName == nullptr || cls->lpfnWndProc == nullptr ||
            cls->cbWndExtra < 0 || cls->cbClsExtra < 0) {
            return Failed(ERROR_INVALID_PARAMETER);
        }
        ATOM atom = 0;
        if (DWORD error = Windows().AddClass(*cls, &atom); error != ERROR_SUCCESS)
            return Failed(error);
        return atom;
    });
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (className == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        DWORD error = Windows().RemoveClass(className, instance);
        return error == ERROR_SUCCESS ? TRUE : Failed(error);
    });
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName, DWORD style, int, int, int, int,
                     HWND, HMENU, HINSTANCE instance, LPVOID) {
    return larkin::platform::Guarded<HWND>(nullptr, [&]() -> HWND {
        auto [handle, procedure] =
            className ? Windows().AddWindow(className, windowName ? windowName : "",
                                            style & WS_VISIBLE, instance)
                      : WindowTable::Created{};
        if (handle == nullptr) return FailedNull(ERROR_CANNOT_FIND_WND_CLASS);
        if (procedure(handle, WM_CREATE, 0, 0) == -1) {
            Windows().Remove(handle);
            return FailedNull(ERROR_INVALID_PARAMETER);
        }
        return handle;
    });
}

BOOL DestroyWindow(HWND handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        // Console windows have no procedure and are not the caller's to destroy.
        WNDPROC procedure = Windows().Procedure(handle);
        if (!procedure) return Failed(ERROR_INVALID_WINDOW_HANDLE);
        procedure(handle, WM_DESTROY, 0, 0);
        Windows().Remove(handle);
        return TRUE;
    });
}

BOOL IsWindow(HWND handle) {
    return larkin::platform::Guarded<BOOL>(FALSE,
                                           [&]() -> BOOL { return Windows().Alive(handle); });
}

LRESULT DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM) {
    return larkin::platform::Guarded<LRESULT>(0, [&]() -> LRESULT {
        if (message == WM_CLOSE) DestroyWindow(handle);
        return 0;
    });
}

namespace {

template <class T>
T SetExtra(HWND handle, int index, T value) {
    T old{};
    DWORD error = Windows().Extra(handle, index, std::as_writable_bytes(std::span(&old, 1)),
                                  std::as_bytes(std::span(&value, 1)));
    SetLastError(error);
    return error == ERROR_SUCCESS ? old : 0;
}

template <class T>
T GetExtra(HWND handle, int index) {
    T value{};
    DWORD error = Windows().Extra(handle, index, std::as_writable_bytes(std::span(&value, 1)));
    if (error == ERROR_SUCCESS) return value;
    return Failed(error);
}

}  // namespace

LONG SetWindowLongA(HWND handle, int index, LONG value) {
    return larkin::platform::Guarded<LONG>(
        0, [&]() -> LONG { return SetExtra<LONG>(handle, index, value); });
}
LONG GetWindowLongA(HWND handle, int index) {
    return larkin::platform::Guarded<LONG>(0,
                                           [&]() -> LONG { return GetExtra<LONG>(handle, index); });
}
LONG_PTR SetWindowLongPtrA(HWND handle, int index, LONG_PTR value) {
    return larkin::platform::Guarded<LONG_PTR>(
        0, [&]() -> LONG_PTR { return SetExtra<LONG_PTR>(handle, index, value); });
}
LONG_PTR GetWindowLongPtrA(HWND handle, int index) {
    return larkin::platform::Guarded<LONG_PTR>(
        0, [&]() -> LONG_PTR { return GetExtra<LONG_PTR>(handle, index); });
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    return larkin::platform::Guarded<HWND>(nullptr, [&]() -> HWND {
        HWND found = Windows().Find(className, windowName);
        if (!found) SetLastError(ERROR_SUCCESS);
        return found;
    });
}

BOOL ShowWindow(HWND handle, int command) {
    return larkin::platform::Guarded<BOOL>(
        FALSE, [&]() -> BOOL { return Windows().Show(handle, command).value_or(false); });
}

HWND GetForegroundWindow(void) {
    return larkin::platform::Guarded<HWND>(nullptr,
                                           [&]() -> HWND { return Windows().Foreground(); });
}

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = Windows().Procedure(handle);
    if (!procedure) return Failed(ERROR_INVALID_WINDOW_HANDLE);
    return procedure(handle, message, wParam, lParam);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Runtime& runtime = Runtime::Get();
    if (auto handler = runtime.messageBoxHandler.load())
        return handler(runtime.messageBoxContext.load(), owner, text ? text : "",
                       caption ? caption : "Error", type);
    std::fprintf(stderr, "[%s] %s\n", caption ? caption : "Error", text ? text : "");
    // Nobody can answer: a question gets its cautious answer.
    switch (type & 0x0F) {
        case MB_OK:
            return IDOK;
        case MB_YESNO:
            return IDNO;
        default:
            return IDCANCEL;
    }
}

void keybd_event(BYTE key, BYTE, DWORD flags, ULONG_PTR) {
    larkin::platform::GuardedVoid([&] {
        if (flags & KEYEVENTF_KEYUP) return;
        // Only a console takes keys: no window of this process reads a queue.
        auto console = Windows().FocusedConsole();
        if (!console) return;
        if (key == VK_RETURN) {
            console->type("\n");
        } else if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || key == ' ') {
            console->type(std::string(1, static_cast<char>(key)));
        }
    });
}
