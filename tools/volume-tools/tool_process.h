// Running a Linux program (mkfs.fat, the mtools) to its end with its output
// captured. These are programs of this computer, not Windows programs, so
// they are started here rather than through CreateProcessA.
#ifndef LARKIN_VOLUME_TOOLS_TOOL_PROCESS_H
#define LARKIN_VOLUME_TOOLS_TOOL_PROCESS_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace larkin::volumetools {

struct ToolRun {
    bool started = false;  // false: the program was not found or could not start
    int exitCode = -1;     // the exit status; -1 when killed by a signal
    std::string output;    // standard output and standard error, interleaved
};

// Runs arguments[0] (looked up on PATH and in /usr/sbin and /sbin) with the
// rest as its arguments, standard input empty, and the environment of this
// process plus extraEnvironment ("NAME=value" entries). onLine, when given,
// hears each line of output (without its line break) as it comes.
ToolRun RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {},
                const std::function<void(std::string_view line)>& onLine = {});

}  // namespace larkin::volumetools

#endif
