// format: asks for the disk and waits for Enter before the drive is touched,
// then makes a FAT file system sized as DOS format sizes it.
#include <iostream>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "drives.h"
#include "volume_tools.h"

namespace larkin::cmd {
namespace {

namespace vt = larkin::volumetools;

// Exit codes of format: 1 a wrong command line, 4 a failure.
constexpr int kBadParameters = 1;
constexpr int kFatal = 4;

struct FormatRequest {
    std::string drive;
    bool quick = false;
    bool labelGiven = false;
    std::string label;
    std::string fileSystem;  // "", "FAT" or "FAT32"
};

// The size as format shows it: "127M", "7.9M".
std::string Megabytes(unsigned long long bytes) {
    unsigned long long tenths = bytes * 10 / (1024 * 1024);
    if (tenths >= 100) return std::to_string(tenths / 10) + "M";
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "M";
}

std::string ShownFileSystem(const vt::VolumeFacts& facts) {
    return facts.fatBits == 12 || facts.fatBits == 16 ? "FAT" : facts.fileSystem;
}

int Failed(Console& console, const std::string& message) {
    console.err << message << "\n";
    console.out << "Format failed.\n";
    return kFatal;
}

// A volume held by another handle, or one the platform may not write.
int Failed(Console& console, const vt::Outcome& outcome) {
    if (outcome.code == ERROR_ACCESS_DENIED) return Failed(console, "Cannot lock current drive.");
    return Failed(console, outcome.message);
}

// Reads a label until a valid one or the end of the input.
std::string AskLabel(Console& console) {
    for (;;) {
        console.out << "Volume label (11 characters, ENTER for none)? " << std::flush;
        std::string line;
        if (!std::getline(console.in, line)) {
            console.out << "\n";
            return {};
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (vt::IsValidDosLabel(line)) return Upper(line);
        console.err << "Invalid characters in volume label\n";
    }
}

void Report(Console& console, const vt::VolumeFacts& facts) {
    auto column = [](unsigned long long value) {
        std::string text = Grouped(value);
        return std::string(text.size() < 15 ? 15 - text.size() : 0, ' ') + text;
    };
    console.out << "\n"
                << column(facts.totalBytes) << " bytes total disk space.\n"
                << column(facts.freeBytes) << " bytes available on disk.\n\n"
                << column(facts.clusterBytes) << " bytes in each allocation unit.\n";
    if (facts.clusterBytes != 0)
        console.out << column(facts.freeBytes / facts.clusterBytes)
                    << " allocation units available on disk.\n";
    console.out << "\n" << column(facts.fatBits) << " bits in each FAT entry.\n\n";
    char serial[16];
    std::snprintf(serial, sizeof serial, "%04X-%04X", facts.serialNumber >> 16,
                  facts.serialNumber & 0xFFFF);
    console.out << "Volume Serial Number is " << serial << "\n";
}

}  // namespace

int RunFormat(const std::vector<std::string>& words, Console& console) {
    FormatRequest request;
    for (const auto& word : words) {
        if (word == "/?") {
            console.out << "Formats a disk for use with DOS.\n\n"
                           "FORMAT volume [/FS:file-system] [/V:label] [/Q] [/X]\n";
            return 0;
        }
        if (!word.empty() && word[0] == '/') {
            std::string name = Upper(word);
            if (name == "/Q") {
                request.quick = true;
            } else if (name == "/X") {
                // Dismounting first changes nothing here: a volume in use
                // stays refused.
            } else if (name == "/V") {
                request.labelGiven = false;
            } else if (name.starts_with("/V:")) {
                request.labelGiven = true;
                request.label = word.substr(3);
            } else if (name == "/FS:FAT" || name == "/FS:FAT32") {
                request.fileSystem = name.substr(4);
            } else {
                console.err << "Invalid parameter - " << word << "\n";
                return kBadParameters;
            }
            continue;
        }
        if (!request.drive.empty()) {
            console.err << "Invalid parameter - " << word << "\n";
            return kBadParameters;
        }
        request.drive = DriveOf(word, false);
        if (request.drive.empty()) {
            console.err << "Invalid drive specification.\n";
            return kFatal;
        }
    }
    if (request.drive.empty()) {
        console.err << "Required parameter missing -\n";
        return kBadParameters;
    }
    if (request.labelGiven && !vt::IsValidDosLabel(request.label)) {
        console.err << "Invalid characters in volume label\n";
        return kBadParameters;
    }
    if (!DriveExists(request.drive)) {
        console.err << "Invalid drive specification.\n";
        return kFatal;
    }
    if (IsSystemDrive(request.drive)) {
        console.err << "Cannot lock current drive.\n";
        return kFatal;
    }

    // Nothing is touched before the Enter: the disk may not be in yet.
    console.out << "Insert new disk for drive " << request.drive << "\n"
                << "and press ENTER when ready..." << std::flush;
    std::string answer;
    if (!std::getline(console.in, answer)) {
        console.out << "\n";
        console.err << "No answer on the console input: nothing was formatted.\n";
        return kFatal;
    }
    console.out << "\n";

    vt::VolumeFacts before;
    vt::Outcome read = vt::ReadVolumeFacts(request.drive, &before);
    if (!read.Ok()) return Failed(console, read);
    console.out << "The type of the file system is " << ShownFileSystem(before) << ".\n";
    int fatBits = 0;
    if (request.fileSystem == "FAT32" || (request.fileSystem.empty() && before.fatBits == 32))
        fatBits = 32;
    if (!request.fileSystem.empty())
        console.out << "The new file system is " << request.fileSystem << ".\n";

    unsigned long long size = before.volumeBytes;
    console.out << (request.quick ? "QuickFormatting " : "Verifying ") << Megabytes(size) << "\n";
    if (fatBits != 32) {
        unsigned long long sectors = size / 512;
        if (vt::ChooseFatBits(sectors) == 0)
            return Failed(console, "The volume is too big for FAT.");
    }
    console.out << "Initializing the File Allocation Table (FAT)...\n" << std::flush;

    std::string label = Upper(request.label);
    vt::FormatReport report;
    vt::Outcome made = vt::FormatFat(request.drive, label, fatBits, &report);
    if (!made.Ok()) return Failed(console, made);
    if (!request.labelGiven) {
        label = AskLabel(console);
        if (!label.empty()) {
            vt::Outcome labelled = vt::SetVolumeLabel(request.drive, label);
            if (!labelled.Ok()) return Failed(console, labelled);
        }
    }
    console.out << "Format complete.\n";

    vt::VolumeFacts after;
    vt::Outcome readAfter = vt::ReadVolumeFacts(request.drive, &after);
    if (!readAfter.Ok() || after.fatBits == 0)
        return Failed(console,
                      readAfter.Ok() ? "The new file system cannot be read." : readAfter.message);
    Report(console, after);
    return 0;
}

}  // namespace larkin::cmd
