// cmd: runs the one command after /c, as the Windows shell does for the
// engine: format, copy and mkdosfs, each on drive letters the platform knows.
#include <cstdlib>
#include <iostream>
#include <string>

#include "command_line.h"
#include "commands.h"

namespace {

using namespace larkin::cmd;

constexpr const char* kHelp =
    "Runs one command and ends.\n\n"
    "cmd /c command\n\n"
    "Commands:\n"
    "  format X: [/Q] [/V:label] [/FS:FAT|FAT32] [/X]\n"
    "  copy source\\*.* X:\n"
    "  mkdosfs [-F 12|16|32] [-n label] X:\n\n"
    "The Windows command line is read from LARKIN_COMMAND_LINE when set, else\n"
    "from the arguments.\n";

// The whole Windows command line: the platform hands it over whole.
std::string WindowsLine(int argc, char** argv) {
    if (const char* line = std::getenv("LARKIN_COMMAND_LINE"); line && *line) return line;
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += ' ';
        line += i == 0 ? std::string(argv[0]) : QuoteWord(argv[i]);
    }
    return line;
}

// "format.com" and "FORMAT" name format.
std::string ProgramName(std::string word) {
    for (const char* extension : {".exe", ".com"})
        if (word.size() > 4 &&
            EqualsNoCase(std::string_view(word).substr(word.size() - 4), extension))
            word.resize(word.size() - 4);
    return Upper(word);
}

}  // namespace

int main(int argc, char** argv) {
    ShellRequest request = ParseShellLine(WindowsLine(argc, argv));
    if (request.help) {
        std::cout << kHelp;
        return 0;
    }
    if (!request.found) {
        std::cerr << "cmd: give the command after /c (cmd --help says more)\n";
        return 1;
    }
    std::vector<std::string> words = SplitWords(request.command);
    if (words.empty()) return 0;
    std::string program = ProgramName(words[0]);
    words.erase(words.begin());
    Console console{std::cin, std::cout, std::cerr};
    int code = 1;
    if (program == "FORMAT") {
        code = RunFormat(words, console);
    } else if (program == "COPY") {
        code = RunCopy(words, console);
    } else if (program == "MKDOSFS" || program == "MKFS.FAT" || program == "MKFS.VFAT") {
        code = RunMkdosfs(words, console);
    } else {
        std::cerr << "'" << SplitWords(request.command)[0]
                  << "' is not recognized as an internal or external command,\n"
                     "operable program or batch file.\n";
    }
    std::cout << std::flush;
    return code;
}
