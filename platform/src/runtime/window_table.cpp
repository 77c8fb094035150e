#include "window_table.h"

#include <cstring>

#include "text.h"

namespace larkin::platform {

WindowTable::Window* WindowTable::Find(HWND handle) {
    auto found = windows_.find(handle);
    return found == windows_.end() ? nullptr : &found->second;
}

bool WindowTable::Alive(const Window& window) {
    return !window.console || window.console->alive();
}

HWND WindowTable::NewHandle() {
    nextHandle_ += 4;
    return reinterpret_cast<HWND>(nextHandle_);
}

DWORD WindowTable::AddClass(const WNDCLASSA& cls, ATOM* atom) {
    std::lock_guard guard(mutex_);
    for (const auto& existing : classes_)
        if (EqualsNoCase(existing.name, cls.lpszClassName) &&
            existing.cls.hInstance == cls.hInstance)
            return ERROR_CLASS_ALREADY_EXISTS;
    WindowClass entry;
    entry.cls = cls;
    entry.name = cls.lpszClassName;
    entry.cls.lpszClassName = nullptr;  // the copy in name outlives the caller's text
    entry.atom = ++nextAtom_;
    classes_.push_back(entry);
    *atom = entry.atom;
    return ERROR_SUCCESS;
}

DWORD WindowTable::RemoveClass(std::string_view name, HINSTANCE instance) {
    std::lock_guard guard(mutex_);
    for (auto it = classes_.begin(); it != classes_.end(); ++it) {
        if (!EqualsNoCase(it->name, name) || it->cls.hInstance != instance) continue;
        for (const auto& [handle, window] : windows_)
            if (EqualsNoCase(window.className, name)) return ERROR_CLASS_HAS_WINDOWS;
        classes_.erase(it);
        return ERROR_SUCCESS;
    }
    return ERROR_CLASS_DOES_NOT_EXIST;
}

WindowTable::Created WindowTable::AddWindow(std::string_view className, std::string title,
                                            bool visible, HINSTANCE instance) {
    std::lock_guard guard(mutex_);
    const WindowClass* cls = nullptr;
    for (const auto& candidate : classes_)
        if (EqualsNoCase(candidate.name, className) &&
            (candidate.cls.hInstance == instance || cls == nullptr))
            cls = &candidate;
    if (cls == nullptr) return {};
    Window window;
    window.handle = NewHandle();
    window.className = cls->name;
    window.title = std::move(title);
    window.procedure = cls->cls.lpfnWndProc;
    window.extra.assign(static_cast<size_t>(cls->cls.cbWndExtra), 0);
    window.visible = visible;
    Created created{window.handle, window.procedure};
    windows_[created.handle] = std::move(window);
    return created;
}

HWND WindowTable::AddConsole(std::string title, ConsoleSink sink, bool foreground) {
    std::lock_guard guard(mutex_);
    Window window;
    window.handle = NewHandle();
    window.className = "ConsoleWindowClass";
    window.title = std::move(title);
    window.visible = true;
    window.console = std::move(sink);
    if (foreground) foreground_ = window.handle;
    HWND handle = window.handle;
    windows_[handle] = std::move(window);
    return handle;
}

void WindowTable::Remove(HWND handle) {
    std::lock_guard guard(mutex_);
    windows_.erase(handle);
    if (foreground_ == handle) foreground_ = nullptr;
}

void WindowTable::Clear() {
    std::lock_guard guard(mutex_);
    windows_.clear();
    classes_.clear();
    foreground_ = nullptr;
}

WNDPROC WindowTable::Procedure(HWND handle) {
    std::lock_guard guard(mutex_);
    Window* window = Find(handle);
    return window ? window->procedure : nullptr;
}

bool WindowTable::Alive(HWND handle) {
    std::lock_guard guard(mutex_);
    Window* window = Find(handle);
    return window && Alive(*window);
}

HWND WindowTable::Find(const char* className, const char* title) {
    std::lock_guard guard(mutex_);
    for (const auto& [handle, window] : windows_) {
        if (className && !EqualsNoCase(window.className, className)) continue;
        if (title && window.title != title) continue;
        if (!Alive(window)) continue;
        return handle;
    }
    return nullptr;
}

std::optional<bool> WindowTable::Show(HWND handle, int command) {
    std::lock_guard guard(mutex_);
    Window* window = Find(handle);
    if (!window) return std::nullopt;
    bool wasVisible = window->visible;
    switch (command) {
        case SW_HIDE:
        case SW_MINIMIZE:
        case SW_SHOWMINIMIZED:
        case SW_SHOWMINNOACTIVE:
        case SW_FORCEMINIMIZE:
            window->visible = command != SW_HIDE;
            if (foreground_ == handle) foreground_ = nullptr;
            break;
        default:
            window->visible = true;
            foreground_ = handle;  // shown and restored windows come to the front
            break;
    }
    return wasVisible;
}

HWND WindowTable::Foreground() {
    std::lock_guard guard(mutex_);
    Window* window = Find(foreground_);
    return window && Alive(*window) ? foreground_ : nullptr;
}

std::optional<ConsoleSink> WindowTable::FocusedConsole() {
    std::lock_guard guard(mutex_);
    Window* window = Find(foreground_);
    if (!window || !Alive(*window)) return std::nullopt;
    return window->console;
}

DWORD WindowTable::Extra(HWND handle, int index, std::span<std::byte> old,
                         std::span<const std::byte> value) {
    std::lock_guard guard(mutex_);
    Window* window = Find(handle);
    if (!window) return ERROR_INVALID_WINDOW_HANDLE;
    if (index < 0 || static_cast<size_t>(index) + old.size() > window->extra.size())
        return ERROR_INVALID_INDEX;
    BYTE* slot = window->extra.data() + index;
    std::memcpy(old.data(), slot, old.size());
    if (!value.empty()) std::memcpy(slot, value.data(), old.size());
    return ERROR_SUCCESS;
}

}  // namespace larkin::platform
