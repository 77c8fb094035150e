// A boot floppy's CONFIG.SYS and AUTOEXEC.BAT name drive A: (SHELL=A:\...,
// PATH=A:\...); on a stick made from it they name a drive that the stick,
// booted as C:, is not. The stick's copies are pointed at C:, the originals
// kept beside them. FreeDOS reads FDCONFIG.SYS before CONFIG.SYS, and its
// floppies start FDAUTO.BAT: those are pointed too.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "source_files.h"
#include "tool_session.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

namespace fs = std::filesystem;

// DOS's configuration files are a few KiB; anything far larger is left be.
constexpr uint64_t kLargestConfiguration = 256 * 1024;

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Where a drive letter can start: the line's start, or after a character no
// DOS name holds.
bool StartsName(std::string_view line, size_t at) {
    if (at == 0) return true;
    char before = line[at - 1];
    return std::strchr(" \t=;,\"'()<>|+/@", before) != nullptr;
}

// The line's first word, in capitals: a comment or an echoed text stays as
// it is, being no path.
std::string Command(std::string_view line) {
    size_t start = line.find_first_not_of(" \t@");
    if (start == std::string_view::npos) return {};
    size_t end = line.find_first_of(" \t=.", start);
    std::string word(line.substr(start, end == std::string_view::npos ? end : end - start));
    for (char& c : word) c = Upper(c);
    return word;
}

bool IsComment(std::string_view line) {
    std::string command = Command(line);
    size_t start = line.find_first_not_of(" \t@");
    return command == "REM" || command == "ECHO" ||
           (start != std::string_view::npos &&
            (line[start] == ';' || line.substr(start, 2) == "::"));
}

struct Stored {
    SourceFile file;
    std::string text;
};

std::optional<std::string> ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteWhole(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << text) && static_cast<bool>(out.flush());
}

}  // namespace

std::string PointDriveReferences(std::string_view text, char from, char to,
                                 std::vector<std::string>* changed) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        size_t end = text.find('\n');
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string line(text.substr(0, end));
        text.remove_prefix(end);
        bool touched = false;
        if (!IsComment(line))
            for (size_t at = 0; at + 1 < line.size(); ++at)
                if (Upper(line[at]) == Upper(from) && line[at + 1] == ':' && StartsName(line, at)) {
                    line[at] = to;
                    touched = true;
                }
        if (touched && changed) {
            std::string shown = line;
            while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r'))
                shown.pop_back();
            changed->push_back(shown);
        }
        result += line;
    }
    return result;
}

Outcome PointFloppyPathsAtBootDrive(std::string_view root, std::vector<PointedFile>* pointed) {
    std::string letter(root.substr(0, 2));
    PrivateFolder scratch;
    if (scratch.Path().empty()) return {ERROR_WRITE_FAULT, "no private folder for the files"};
    fs::path written = scratch.Path() / "written";
    std::vector<SourceFile> present;
    for (const char* pattern : {"CONFIG.*", "AUTOEXEC.*", "FDCONFIG.*", "FDAUTO.*"}) {
        fs::path taken = scratch.Path() / pattern;
        std::error_code failed;
        fs::create_directories(taken, failed);
        fs::create_directories(written, failed);
        if (failed) return {ERROR_WRITE_FAULT, failed.message()};
        if (Outcome listed = ListSourceFiles(letter, pattern, taken, &present); !listed.Ok())
            return listed;
    }
    auto find = [&](std::string_view name) -> const SourceFile* {
        for (const auto& file : present)
            if (FoldedName(file.name) == FoldedName(name)) return &file;
        return nullptr;
    };
    std::vector<std::string> sources;
    std::vector<PointedFile> changing;  // said only once they are written
    for (auto [name, kept] :
         {std::pair{"CONFIG.SYS", "CONFIG.ORG"}, std::pair{"AUTOEXEC.BAT", "AUTOEXEC.ORG"},
          std::pair{"FDCONFIG.SYS", "FDCONFIG.ORG"}, std::pair{"FDAUTO.BAT", "FDAUTO.ORG"}}) {
        const SourceFile* file = find(name);
        if (!file || file->size > kLargestConfiguration) continue;
        std::optional<std::string> text = ReadWhole(file->path);
        if (!text) return {ERROR_READ_FAULT, std::string(name) + " could not be read back"};
        PointedFile result{name, kept, {}, false};
        std::string changedText = PointDriveReferences(*text, 'A', 'C', &result.lines);
        if (result.lines.empty()) continue;
        // A file of that name that came with the source is the source's own:
        // it is not overwritten, and the file stays as it came.
        if (find(kept)) {
            result.keptExisted = true;
            pointed->push_back(std::move(result));
            continue;
        }
        fs::path original = written / kept;
        fs::path changed = written / file->name;
        if (!WriteWhole(original, *text) || !WriteWhole(changed, changedText))
            return {ERROR_WRITE_FAULT, std::string(name) + ": " + std::strerror(errno)};
        sources.push_back(original.string());
        sources.push_back(changed.string());
        changing.push_back(std::move(result));
    }
    if (sources.empty()) return {};

    ToolSession writing;
    if (Outcome opened = writing.Open(letter, "mcopy", true); !opened.Ok()) return opened;
    std::vector<std::string> arguments = {"mcopy", "-D", "o", "-i", writing.MtoolsImage()};
    arguments.insert(arguments.end(), sources.begin(), sources.end());
    arguments.push_back("::/");
    ToolRun run = RunTool(arguments, MtoolsEnvironment());
    if (!run.started) return {ERROR_FILE_NOT_FOUND, "mcopy: " + FirstLine(run.output)};
    if (run.exitCode != 0) return {ERROR_WRITE_FAULT, "mcopy: " + FirstLine(run.output)};
    for (auto& file : changing) pointed->push_back(std::move(file));
    return {};
}

}  // namespace larkin::volumetools
