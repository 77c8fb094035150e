// Running a "cmd /c" line in a console of its own, answering its first
// prompt with one Enter, and waiting for it.
#ifndef TESSEL_SHELL_COMMAND_RUNNER_H
#define TESSEL_SHELL_COMMAND_RUNNER_H

#include "win32/base.h"

namespace tessel {

// The title both runners give the new console and look it up by.
inline constexpr const char* kConsoleTitle = "FormatWindow";

// Starts commandLine (writable, as CreateProcessA wants it). With showWindow:
// in a new console titled "FormatWindow"; after 500 ms that window is brought
// forward and Enter pressed once. Then waits up to timeoutMs and closes the
// process and thread handles. True when the process was started, whatever
// its exit code and whether the wait ran out; false, after the line
// " CreateProcess failed.", when it was not.
bool RunConsoleCommand(char* commandLine, bool showWindow, DWORD timeoutMs);
// The same with the titled console minimised after 500 ms and no key press.
bool RunMinimizedCommand(char* commandLine, DWORD timeoutMs);
// One key-down and one key-up of Enter, to whichever window is in front.
void PressEnterKey();

}  // namespace tessel

#endif
