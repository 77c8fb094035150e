// Windows of this process: classes, windows (the console windows of started
// programs among them) and the window in front. The table calls nothing
// outside itself while it holds its mutex, save a console's check of whether
// its program still runs.
#ifndef LARKIN_PLATFORM_WINDOW_TABLE_H
#define LARKIN_PLATFORM_WINDOW_TABLE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "win32/user.h"

namespace larkin::platform {

// What a console window does with keys: deliver text to its program's input
// while the program runs.
struct ConsoleSink {
    std::function<void(const std::string& text)> type;
    std::function<bool()> alive;
};

class WindowTable {
  public:
    // ERROR_CLASS_ALREADY_EXISTS when the instance has a class of that name.
    DWORD AddClass(const WNDCLASSA& cls, ATOM* atom);
    // ERROR_CLASS_DOES_NOT_EXIST, ERROR_CLASS_HAS_WINDOWS or ERROR_SUCCESS.
    DWORD RemoveClass(std::string_view name, HINSTANCE instance);

    struct Created {
        HWND handle = nullptr;  // null when there is no such class
        WNDPROC procedure = nullptr;
    };
    // A window of the instance's class of that name, else of the first one.
    Created AddWindow(std::string_view className, std::string title, bool visible,
                      HINSTANCE instance);
    HWND AddConsole(std::string title, ConsoleSink sink, bool foreground);
    void Remove(HWND handle);
    // Forgets windows and classes; handle numbers go on.
    void Clear();

    // The procedure of a window the API made; null for a console or none.
    WNDPROC Procedure(HWND handle);
    // A window whose console program, if it has one, still runs.
    bool Alive(HWND handle);
    // The first live window of the class and title (null: any).
    HWND Find(const char* className, const char* title);
    // Whether the window was visible before; nothing when there is no such window.
    std::optional<bool> Show(HWND handle, int command);
    HWND Foreground();
    // The console of the live window in front, if that is a console.
    std::optional<ConsoleSink> FocusedConsole();
    // Copies the old.size() extra bytes at index into old, then stores
    // value there when one is given. ERROR_INVALID_WINDOW_HANDLE,
    // ERROR_INVALID_INDEX or ERROR_SUCCESS.
    DWORD Extra(HWND handle, int index, std::span<std::byte> old,
                std::span<const std::byte> value = {});

  private:
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
        std::optional<ConsoleSink> console;
    };

    Window* Find(HWND handle);
    static bool Alive(const Window& window);
    HWND NewHandle();

    std::mutex mutex_;
    std::vector<WindowClass> classes_;
    std::map<HWND, Window> windows_;
    HWND foreground_ = nullptr;
    uintptr_t nextHandle_ = 0x10000;
    ATOM nextAtom_ = 0xC000;
};

}  // namespace larkin::platform

#endif
