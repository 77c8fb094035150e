#include "shell/command_runner.h"

#include <array>
#include <cstring>

#include "larkin/owned.h"
#include "exports/message_channel.h"
#include "win32/processes.h"
#include "win32/user.h"

namespace tessel {
namespace {

constexpr DWORD kConsolePause = 500;  // lets the new console appear

struct Launch {
    bool titled = false;
    WORD show = 0;
    DWORD creationFlags = 0;
};

// The started process's two handles, closed when the run ends.
struct StartedProcess {
    larkin::Handle process;
    larkin::Handle thread;
};

bool Start(char* commandLine, const Launch& launch, StartedProcess& started) {
    std::array<char, 13> title{};
    std::memcpy(title.data(), kConsoleTitle, title.size());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (launch.titled) {
        startup.lpTitle = title.data();
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = launch.show;
    }
    PROCESS_INFORMATION information{};
    if (commandLine == nullptr ||
        !CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, launch.creationFlags,
                        nullptr, nullptr, &startup, &information)) {
        WriteMessageLine(" CreateProcess failed.");
        return false;
    }
    started.process.reset(information.hProcess);
    started.thread.reset(information.hThread);
    return true;
}

void ShowConsole(int command) {
    Sleep(kConsolePause);
    // A console that has not appeared yet gives a null window, which
    // ShowWindow ignores.
    ShowWindow(FindWindowA(nullptr, kConsoleTitle), command);
}

// Waits for the command and passes on how it ended, when asked.
void WaitForEnd(const StartedProcess& started, DWORD timeoutMs, DWORD* exitCode) {
    WaitForSingleObject(started.process.get(), timeoutMs);
    if (exitCode == nullptr) return;
    DWORD code = kNoExitCode;
    if (!GetExitCodeProcess(started.process.get(), &code) || code == STILL_ACTIVE)
        code = kNoExitCode;
    *exitCode = code;
}

}  // namespace

bool RunConsoleCommand(char* commandLine, bool showWindow, DWORD timeoutMs, DWORD* exitCode) {
    Launch launch;
    if (showWindow) launch = {true, SW_SHOWNORMAL, CREATE_NEW_CONSOLE};
    StartedProcess started;
    if (!Start(commandLine, launch, started)) return false;
    if (showWindow) {
        ShowConsole(SW_RESTORE);
        PressEnterKey();
    }
    WaitForEnd(started, timeoutMs, exitCode);
    return true;
}

bool RunMinimizedCommand(char* commandLine, DWORD timeoutMs, DWORD* exitCode) {
    StartedProcess started;
    if (!Start(commandLine, {true, SW_SHOWNORMAL, 0}, started)) return false;
    ShowConsole(SW_FORCEMINIMIZE);
    WaitForEnd(started, timeoutMs, exitCode);
    return true;
}

void PressEnterKey() {
    keybd_event(VK_RETURN, 0, 0, 0);
    keybd_event(VK_RETURN, 0, KEYEVENTF_KEYUP, 0);
}

}  // namespace tessel
