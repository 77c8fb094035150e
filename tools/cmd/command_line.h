// The Windows command line as cmd reads it: words split at blanks, double
// quotes grouping blanks into a word, and the text after /c taken whole.
#ifndef LARKIN_CMD_COMMAND_LINE_H
#define LARKIN_CMD_COMMAND_LINE_H

#include <string>
#include <string_view>
#include <vector>

namespace larkin::cmd {

// Words of line; the quotes are removed, a quoted empty word is kept.
std::vector<std::string> SplitWords(std::string_view line);

// A word joined back into a command line, quoted when it holds a blank.
std::string QuoteWord(std::string_view word);

// The command cmd is asked to run: the text after the first /c (or /C) of a
// cmd line, with a surrounding pair of quotes removed as cmd does. found is
// false when the line has no /c.
struct ShellRequest {
    bool found = false;
    bool help = false;  // /? or --help before the command
    std::string command;
};
ShellRequest ParseShellLine(std::string_view line);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Upper(std::string_view text);

}  // namespace larkin::cmd

#endif
