// Running a "cmd /c" line in a console of its own, answering its first
// prompt with one Enter, and waiting for it.
#ifndef TESSEL_SHELL_COMMAND_RUNNER_H
#define TESSEL_SHELL_COMMAND_RUNNER_H

#include "win32/base.h"

namespace tessel {

// The title both runners give the new console and look it up by.
inline constexpr const char* kConsoleTitle = "FormatWindow";
// The exit code a runner reports when the command's own is not known.
inline constexpr DWORD kNoExitCode = 0xFFFFFFFFu;

// Starts commandLine (writable, as CreateProcessA wants it). With showWindow:
// in a new console titled "FormatWindow"; after 500 ms that window is brought
// forward and Enter pressed once. Then waits up to timeoutMs and closes the
// process and thread handles. True when the process was started, whatever
// its exit code and whether the wait ran out; false, after the line
// " CreateProcess failed.", when it was not.
//
// exitCode, when given, receives the command's exit code once it has ended;
// kNoExitCode when it is still running or the code cannot be had.
bool RunConsoleCommand(char* commandLine, bool showWindow, DWORD timeoutMs,
                       DWORD* exitCode = nullptr);
// The same with the titled console minimised after 500 ms and no key press.
bool RunMinimizedCommand(char* commandLine, DWORD timeoutMs, DWORD* exitCode = nullptr);
// One key-down and one key-up of Enter, to whichever window is in front.
void PressEnterKey();

}  // namespace tessel

#endif
