// copy: every file of a folder (a wildcard picks them) onto a drive's root,
// each name shown, then the count.
#include <cstdio>
#include <iostream>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "drives.h"
#include "volume_tools.h"

namespace larkin::cmd {
namespace {

namespace vt = larkin::volumetools;

void Count(Console& console, int copied) {
    char line[64];
    std::snprintf(line, sizeof line, "%9d file(s) copied.\n", copied);
    console.out << line;
}

int Fail(Console& console, const std::string& message, int copied) {
    console.err << message << "\n";
    Count(console, copied);
    return 1;
}

// "/Y" is a switch; "/tmp/boot\*.*" is a folder of this computer.
bool IsSwitch(std::string_view word) {
    return word.size() >= 2 && word[0] == '/' &&
           word.find_first_of("/\\", 1) == std::string_view::npos;
}

bool HasWildcard(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

}  // namespace

int RunCopy(const std::vector<std::string>& words, Console& console) {
    std::vector<std::string> names;
    for (const auto& word : words) {
        if (word == "/?") {
            console.out << "Copies one or more files to another location.\n\n"
                           "COPY [/V] [/B] [/Y | /-Y] source destination\n";
            return 0;
        }
        if (IsSwitch(word)) {
            std::string name = Upper(word);
            // Switches that change nothing here: verify, binary, overwrite
            // prompts (files are replaced, as a batch file's copy does),
            // short names, restartable, decrypt.
            if (name == "/V" || name == "/B" || name == "/A" || name == "/Y" || name == "/-Y" ||
                name == "/N" || name == "/Z" || name == "/D")
                continue;
            console.err << "Invalid switch - " << word << "\n";
            return 1;
        }
        names.push_back(word);
    }
    if (names.size() != 2 || names[0].find('+') != std::string::npos) {
        console.err << "The syntax of the command is incorrect.\n";
        return 1;
    }
    const std::string& source = names[0];
    std::string destination = DriveOf(names[1], true);
    // Files go to a drive's root only.
    if (destination.empty()) return Fail(console, vt::ErrorText(ERROR_PATH_NOT_FOUND), 0);

    // The folder and the files of it: "A:\*.*", "A:", "/tmp/boot\*.*", "A:\KERNEL.SYS".
    size_t split = source.find_last_of("\\/");
    // The current folder unless the source names one (set here rather than
    // assigned below, where GCC 12 at -O2 warns wrongly of overlapping copies).
    std::string folder = ".", pattern, shown;
    if (split != std::string::npos) {
        folder = source.substr(0, split + 1);
        pattern = source.substr(split + 1);
        shown = folder;
    } else if (!DriveOf(source.substr(0, 2), false).empty()) {
        folder = source.substr(0, 2);
        pattern = source.substr(2);
        shown = folder;
    } else {
        pattern = source;
    }
    if (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/') &&
        !(folder.size() == 3 && folder[1] == ':'))
        folder.pop_back();
    if (!DriveOf(folder.substr(0, 2), false).empty() && !DriveExists(Upper(folder.substr(0, 2))))
        return Fail(console, vt::ErrorText(vt::kErrorInvalidDrive), 0);
    if (!DriveExists(destination)) return Fail(console, vt::ErrorText(vt::kErrorInvalidDrive), 0);

    auto onFile = [&](std::string_view name) {
        console.out << shown << name << "\n" << std::flush;
    };
    int copied = 0;
    vt::Outcome outcome;
    if (pattern.empty() || HasWildcard(pattern)) {
        outcome = vt::CopyMatchingFiles(folder, pattern.empty() ? "*" : pattern, destination,
                                        onFile, &copied);
    } else {
        // A name without wildcards is a file, or else a folder whose files go.
        outcome = vt::CopyMatchingFiles(folder, pattern, destination, {}, &copied);
        if (outcome.code == ERROR_FILE_NOT_FOUND) {
            std::string inner = source;
            shown = source + "\\";
            outcome = vt::CopyMatchingFiles(inner, "*", destination, onFile, &copied);
            if (outcome.code == ERROR_PATH_NOT_FOUND) outcome.code = ERROR_FILE_NOT_FOUND;
            if (outcome.code == ERROR_FILE_NOT_FOUND)
                outcome.message = vt::ErrorText(ERROR_FILE_NOT_FOUND);
        }
    }
    if (!outcome.Ok()) return Fail(console, outcome.message, copied);
    Count(console, copied);
    return 0;
}

}  // namespace larkin::cmd
