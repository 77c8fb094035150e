// Window classes, windows and their messages, message boxes and synthetic
// key presses, within one process.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/runtime.h"
#include "core/exported_call.h"
#include "core/text.h"
#include "core/windowing.h"

namespace larkin::platform {
namespace {

struct WindowClass {
    WNDCLASSA cls{};
    std::string name;
    ATOM atom = 0;
};

struct Window {
    HWND handle = nullptr;
    std::string className;
    std::string title;
    WNDPROC procedure = nullptr;
    std::vector<BYTE> extra;
    bool visible = false;
    std::thread::id owner;
    std::optional<ConsoleSink> console;
};

struct MessageQueue {
    std::deque<MSG> messages;
    std::condition_variable ready;
};

class WindowManager {
  public:
    std::recursive_mutex mutex;
    std::vector<WindowClass> classes;
    std::map<HWND, Window> windows;
    HWND foreground = nullptr;
    uintptr_t nextHandle = 0x10000;
    ATOM nextAtom = 0xC000;
    std::mutex queueMutex;
    std::map<std::thread::id, MessageQueue> queues;

    Window* Find(HWND handle) {
        auto found = windows.find(handle);
        return found == windows.end() ? nullptr : &found->second;
    }
    HWND NewHandle() {
        nextHandle += 4;
        return reinterpret_cast<HWND>(nextHandle);
    }
};

WindowManager& Manager() {
    static WindowManager manager;
    return manager;
}

BOOL Failed(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool Alive(const Window& window) {
    return !window.console || window.console->alive();
}

}  // namespace

HWND AddConsoleWindow(const std::string& title, ConsoleSink sink, bool foreground) {
    WindowManager& manager = Manager();
    std::lock_guard guard(manager.mutex);
    Window window;
    window.handle = manager.NewHandle();
    window.className = "ConsoleWindowClass";
    window.title = title;
    window.visible = true;
    window.console = std::move(sink);
    if (foreground) manager.foreground = window.handle;
    HWND handle = window.handle;
    manager.windows[handle] = std::move(window);
    return handle;
}

void RemoveWindow(HWND handle) {
    WindowManager& manager = Manager();
    std::lock_guard guard(manager.mutex);
    manager.windows.erase(handle);
    if (manager.foreground == handle) manager.foreground = nullptr;
}

void ResetWindows() {
    WindowManager& manager = Manager();
    std::lock_guard guard(manager.mutex);
    manager.windows.clear();
    manager.classes.clear();
    manager.foreground = nullptr;
}

}  // namespace larkin::platform

using namespace larkin::platform;

ATOM RegisterClassA(const WNDCLASSA* cls) {
    return larkin::platform::Guarded<ATOM>(0, [&]() -> ATOM {
        if (cls == nullptr || cls->lpszClassName == nullptr || cls->lpfnWndProc == nullptr ||
            cls->cbWndExtra < 0 || cls->cbClsExtra < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        for (const auto& existing : manager.classes)
            if (EqualsNoCase(existing.name, cls->lpszClassName) &&
                existing.cls.hInstance == cls->hInstance) {
                SetLastError(ERROR_CLASS_ALREADY_EXISTS);
                return 0;
            }
        WindowClass entry;
        entry.cls = *cls;
        entry.name = cls->lpszClassName;
        entry.cls.lpszClassName = nullptr;  // the copy in name outlives the caller's text
        entry.atom = ++manager.nextAtom;
        manager.classes.push_back(entry);
        return entry.atom;
    });
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (className == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        for (auto it = manager.classes.begin(); it != manager.classes.end(); ++it) {
            if (!EqualsNoCase(it->name, className) || it->cls.hInstance != instance) continue;
            for (const auto& [handle, window] : manager.windows)
                if (EqualsNoCase(window.className, className))
                    return Failed(ERROR_CLASS_HAS_WINDOWS);
            manager.classes.erase(it);
            return TRUE;
        }
        return Failed(ERROR_CLASS_DOES_NOT_EXIST);
    });
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName, DWORD style, int, int, int, int,
                     HWND, HMENU, HINSTANCE instance, LPVOID) {
    return larkin::platform::Guarded<HWND>(nullptr, [&]() -> HWND {
        WindowManager& manager = Manager();
        HWND handle = nullptr;
        WNDPROC procedure = nullptr;
        {
            std::lock_guard guard(manager.mutex);
            const WindowClass* cls = nullptr;
            for (const auto& candidate : manager.classes)
                if (className && EqualsNoCase(candidate.name, className) &&
                    (candidate.cls.hInstance == instance || cls == nullptr))
                    cls = &candidate;
            if (cls == nullptr) {
                SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
                return nullptr;
            }
            Window window;
            window.handle = manager.NewHandle();
            window.className = cls->name;
            window.title = windowName ? windowName : "";
            window.procedure = cls->cls.lpfnWndProc;
            window.extra.assign(static_cast<size_t>(cls->cls.cbWndExtra), 0);
            window.visible = style & WS_VISIBLE;
            window.owner = std::this_thread::get_id();
            handle = window.handle;
            procedure = window.procedure;
            manager.windows[handle] = std::move(window);
        }
        if (procedure(handle, WM_CREATE, 0, 0) == -1) {
            RemoveWindow(handle);
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return handle;
    });
}

BOOL DestroyWindow(HWND handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        WindowManager& manager = Manager();
        WNDPROC procedure = nullptr;
        {
            std::lock_guard guard(manager.mutex);
            Window* window = manager.Find(handle);
            if (!window || window->console) return Failed(ERROR_INVALID_WINDOW_HANDLE);
            procedure = window->procedure;
        }
        procedure(handle, WM_DESTROY, 0, 0);
        RemoveWindow(handle);
        return TRUE;
    });
}

BOOL IsWindow(HWND handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        Window* window = manager.Find(handle);
        return window && Alive(*window);
    });
}

LRESULT DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM) {
    return larkin::platform::Guarded<LRESULT>(0, [&]() -> LRESULT {
        if (message == WM_CLOSE) DestroyWindow(handle);
        return 0;
    });
}

namespace {

template <class T>
bool ExtraSlot(HWND handle, int index, T** slot) {
    Window* window = Manager().Find(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(T) > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return false;
    }
    *slot = reinterpret_cast<T*>(window->extra.data() + index);
    return true;
}

template <class T>
T SetExtra(HWND handle, int index, T value) {
    std::lock_guard guard(Manager().mutex);
    T* slot = nullptr;
    if (!ExtraSlot(handle, index, &slot)) return 0;
    T old;
    std::memcpy(&old, slot, sizeof(T));
    std::memcpy(slot, &value, sizeof(T));
    SetLastError(ERROR_SUCCESS);
    return old;
}

template <class T>
T GetExtra(HWND handle, int index) {
    std::lock_guard guard(Manager().mutex);
    T* slot = nullptr;
    if (!ExtraSlot(handle, index, &slot)) return 0;
    T value;
    std::memcpy(&value, slot, sizeof(T));
    return value;
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
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        for (const auto& [handle, window] : manager.windows) {
            if (className && !EqualsNoCase(window.className, className)) continue;
            if (windowName && window.title != windowName) continue;
            if (!Alive(window)) continue;
            return handle;
        }
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    });
}

BOOL ShowWindow(HWND handle, int command) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        Window* window = manager.Find(handle);
        if (!window) return FALSE;
        bool wasVisible = window->visible;
        switch (command) {
            case SW_HIDE:
            case SW_MINIMIZE:
            case SW_SHOWMINIMIZED:
            case SW_SHOWMINNOACTIVE:
            case SW_FORCEMINIMIZE:
                window->visible = command != SW_HIDE;
                if (manager.foreground == handle) manager.foreground = nullptr;
                break;
            default:
                window->visible = true;
                manager.foreground = handle;  // shown and restored windows come to the front
                break;
        }
        return wasVisible;
    });
}

HWND GetForegroundWindow(void) {
    return larkin::platform::Guarded<HWND>(nullptr, [&]() -> HWND {
        WindowManager& manager = Manager();
        std::lock_guard guard(manager.mutex);
        Window* window = manager.Find(manager.foreground);
        return window && Alive(*window) ? manager.foreground : nullptr;
    });
}

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = nullptr;
    {
        std::lock_guard guard(Manager().mutex);
        Window* window = Manager().Find(handle);
        if (!window || !window->procedure) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        procedure = window->procedure;
    }
    return procedure(handle, message, wParam, lParam);
}

BOOL PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        WindowManager& manager = Manager();
        std::thread::id owner = std::this_thread::get_id();
        if (handle != nullptr) {
            std::lock_guard guard(manager.mutex);
            Window* window = manager.Find(handle);
            if (!window || window->console) return Failed(ERROR_INVALID_WINDOW_HANDLE);
            owner = window->owner;
        }
        std::lock_guard guard(manager.queueMutex);
        MessageQueue& queue = manager.queues[owner];
        queue.messages.push_back({handle, message, wParam, lParam, GetTickCount(), {0, 0}});
        queue.ready.notify_all();
        return TRUE;
    });
}

namespace {

bool Matches(const MSG& msg, HWND handle, UINT first, UINT last) {
    if (handle && msg.hwnd != handle) return false;
    if (first == 0 && last == 0) return true;
    return msg.message >= first && msg.message <= last;
}

bool TakeMessage(LPMSG out, HWND handle, UINT first, UINT last, bool remove, bool wait) {
    WindowManager& manager = Manager();
    std::unique_lock lock(manager.queueMutex);
    MessageQueue& queue = manager.queues[std::this_thread::get_id()];
    for (;;) {
        for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
            if (!Matches(*it, handle, first, last)) continue;
            *out = *it;
            if (remove) queue.messages.erase(it);
            return true;
        }
        if (!wait) return false;
        queue.ready.wait(lock);
    }
}

}  // namespace

BOOL PeekMessageA(LPMSG msg, HWND handle, UINT first, UINT last, UINT remove) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (msg == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        return TakeMessage(msg, handle, first, last, remove & PM_REMOVE, false);
    });
}

BOOL GetMessageA(LPMSG msg, HWND handle, UINT first, UINT last) {
    return larkin::platform::Guarded<BOOL>(-1, [&]() -> BOOL {
        if (msg == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        TakeMessage(msg, handle, first, last, true, true);
        return msg->message == WM_QUIT ? FALSE : TRUE;
    });
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) return 0;
    return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
    larkin::platform::GuardedVoid(
        [&] { PostMessageA(nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0); });
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
        WindowManager& manager = Manager();
        std::optional<ConsoleSink> console;
        HWND target = nullptr;
        {
            std::lock_guard guard(manager.mutex);
            Window* window = manager.Find(manager.foreground);
            if (!window || !Alive(*window)) return;  // nothing has the focus
            target = window->handle;
            console = window->console;
        }
        if (console) {
            if (key == VK_RETURN) {
                console->type("\n");
            } else if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || key == ' ') {
                console->type(std::string(1, static_cast<char>(key)));
            }
            return;
        }
        PostMessageA(target, WM_KEYDOWN, key, 0);
    });
}
