// The programs cmd runs itself. Each takes the words after its name, reads
// its console input from in, and returns its exit code.
#ifndef LARKIN_CMD_COMMANDS_H
#define LARKIN_CMD_COMMANDS_H

#include <iosfwd>
#include <string>
#include <vector>

namespace larkin::cmd {

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
};

// format X: [/Q] [/V[:label]] [/FS:FAT|FAT32] [/X]
int RunFormat(const std::vector<std::string>& words, Console& console);
// copy [switches] source destination
int RunCopy(const std::vector<std::string>& words, Console& console);
// mkdosfs [-F 12|16|32] [-n label] [-v] X:
int RunMkdosfs(const std::vector<std::string>& words, Console& console);

}  // namespace larkin::cmd

#endif
