// mkdosfs: the dosfstools formatter, given a drive letter instead of a
// device; it asks nothing.
#include <iostream>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "drives.h"
#include "volume_tools.h"

namespace larkin::cmd {
namespace {

namespace vt = larkin::volumetools;

int Usage(Console& console) {
    console.err << "Usage: mkdosfs [OPTIONS] TARGET [BLOCKS]\n"
                   "Try 'mkdosfs --help' for more information.\n";
    return 1;
}

// The reason mkfs.fat gives when it cannot open a device.
std::string OpenReason(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
            return "Device or resource busy";
        case ERROR_NOT_READY:
            return "No medium found";
        default:
            return "No such file or directory";
    }
}

}  // namespace

int RunMkdosfs(const std::vector<std::string>& words, Console& console) {
    int fatBits = 0;
    std::string label;
    std::string target;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help") {
            console.out << "Usage: mkdosfs [-F 12|16|32] [-n LABEL] [-v] DRIVE:\n";
            return 0;
        }
        if (word == "-F" || word == "-n") {
            if (i + 1 >= words.size()) {
                console.err << "mkdosfs: option requires an argument -- '" << word[1] << "'\n";
                return Usage(console);
            }
            const std::string& value = words[++i];
            if (word == "-n") {
                label = value;
                continue;
            }
            if (value != "12" && value != "16" && value != "32") {
                console.err << "mkdosfs: Invalid FAT type: " << value << "\n";
                return Usage(console);
            }
            fatBits = std::stoi(value);
        } else if (word == "-v" || word == "-I") {
            // Verbose output and the partition check: mkfs.fat's own say.
        } else if (word.size() > 1 && word[0] == '-') {
            console.err << "mkdosfs: invalid option -- '" << word.substr(1, 1) << "'\n";
            return Usage(console);
        } else if (target.empty()) {
            target = word;
        } else {
            console.err << "mkdosfs: Block count may only be given with a device\n";
            return Usage(console);
        }
    }
    if (target.empty()) {
        console.err << "mkdosfs: No device specified.\n";
        return Usage(console);
    }
    if (label.size() > 11) {
        console.err << "mkdosfs: Label can be no longer than 11 characters\n";
        return Usage(console);
    }
    std::string drive = DriveOf(target, true);
    if (drive.empty() || !DriveExists(drive)) {
        console.err << "mkdosfs: unable to open " << target << ": No such file or directory\n";
        return 1;
    }
    if (IsSystemDrive(drive)) {
        console.err << "mkdosfs: unable to open " << target << ": Device or resource busy\n";
        return 1;
    }
    vt::FormatReport report;
    vt::Outcome made = vt::FormatFat(drive, label, fatBits, &report);
    console.out << report.toolOutput << std::flush;
    if (!made.Ok()) {
        if (report.toolOutput.empty())
            console.err << "mkdosfs: unable to open " << target << ": " << OpenReason(made.code)
                        << "\n";
        return 1;
    }
    return 0;
}

}  // namespace larkin::cmd
