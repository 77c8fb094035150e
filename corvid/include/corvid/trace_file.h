// The shared trace file that Corvid and its core modules append to: one
// "tag:message" line per call, in Corvid.log in the current directory. The
// lines go through the platform's file calls, opened, appended and closed
// each time, so that other libraries can append in between and a test can
// make the file fail like any other. A line that cannot be written is lost,
// and nothing else.
#ifndef CORVID_TRACE_FILE_H
#define CORVID_TRACE_FILE_H

#include <string>
#include <string_view>

#include "corvid/corvid.h"
#include "win32/windows.h"

namespace corvid {

inline void AppendTraceLine(std::string_view tag, std::string_view message) {
    HANDLE file = CreateFileA(CORVID_LOG_FILE, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string line;
    line.reserve(tag.size() + message.size() + 2);
    line.append(tag).append(":").append(message).append("\n");
    LARGE_INTEGER end{};
    DWORD written = 0;
    if (SetFilePointerEx(file, end, nullptr, FILE_END))
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace corvid

#endif
