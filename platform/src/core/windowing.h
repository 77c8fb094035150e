// Windows of this process, shared by the window API and the console windows
// that CreateProcessA makes for CREATE_NEW_CONSOLE.
#ifndef LARKIN_PLATFORM_WINDOWING_H
#define LARKIN_PLATFORM_WINDOWING_H

#include <functional>
#include <string>

#include "win32/user.h"

namespace larkin::platform {

// What a console window does with keys: deliver text to its program's input
// while the program runs.
struct ConsoleSink {
    std::function<void(const std::string& text)> type;
    std::function<bool()> alive;
};

HWND AddConsoleWindow(const std::string& title, ConsoleSink sink, bool foreground);
void RemoveWindow(HWND window);

}  // namespace larkin::platform

#endif
