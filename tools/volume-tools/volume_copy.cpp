// Copying a folder's files onto a volume's root over mcopy. The source is a
// folder of this computer or a folder of another volume (whose files are
// first taken out into a private folder); every file is measured against the
// destination's free space before the first byte is written.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tool_process.h"
#include "tool_session.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

namespace fs = std::filesystem;

struct SourceFile {
    std::string name;
    fs::path path;  // on this computer
    uint64_t size = 0;
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// * and ? over the whole name, any case.
bool Matches(std::string_view pattern, std::string_view name) {
    if (pattern == "*" || pattern == "*.*") return true;
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// A folder removed with its contents when it goes.
class PrivateFolder {
  public:
    PrivateFolder() {
        std::string pattern = (fs::temp_directory_path() / "larkin-copy-XXXXXX").string();
        if (char* made = mkdtemp(pattern.data())) path_ = made;
    }
    ~PrivateFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

bool IsDriveLetter(std::string_view text) {
    return text.size() >= 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

Outcome HostFiles(std::string_view folder, std::string_view pattern,
                  std::vector<SourceFile>* files) {
    std::string name(folder);
    std::replace(name.begin(), name.end(), '\\', '/');
    std::error_code error;
    if (!fs::is_directory(name, error))
        return {ERROR_PATH_NOT_FOUND, ErrorText(ERROR_PATH_NOT_FOUND)};
    for (fs::directory_iterator it(name, error), end; !error && it != end; it.increment(error)) {
        std::error_code statError;
        if (!it->is_regular_file(statError)) continue;
        std::string file = it->path().filename().string();
        if (!Matches(pattern, file)) continue;
        files->push_back({file, it->path(), it->file_size(statError)});
    }
    if (error) return {ERROR_READ_FAULT, error.message()};
    std::sort(files->begin(), files->end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    return {};
}

// The files of a folder of a volume, taken out into scratch.
Outcome VolumeFiles(std::string_view folder, std::string_view pattern, const fs::path& scratch,
                    std::vector<SourceFile>* files) {
    std::string letter(folder.substr(0, 2));
    std::string inside(folder.substr(2));
    std::replace(inside.begin(), inside.end(), '\\', '/');
    while (!inside.empty() && inside.front() == '/') inside.erase(0, 1);
    while (!inside.empty() && inside.back() == '/') inside.pop_back();
    std::string dosFolder = "::/" + inside + (inside.empty() ? "" : "/");

    ToolSession session;
    Outcome opened = session.Open(letter, "mcopy", false);
    if (!opened.Ok()) return opened;
    std::string image = session.MtoolsImage();
    ToolRun listing = RunTool({"mdir", "-b", "-i", image, dosFolder}, MtoolsEnvironment());
    if (!listing.started) return {ERROR_FILE_NOT_FOUND, "mdir: " + FirstLine(listing.output)};
    if (listing.exitCode != 0) {
        if (listing.output.find("non DOS media") != std::string::npos)
            return {kErrorUnrecognizedVolume, ErrorText(kErrorUnrecognizedVolume)};
        return {ERROR_PATH_NOT_FOUND, ErrorText(ERROR_PATH_NOT_FOUND)};
    }
    std::vector<std::string> copy = {"mcopy", "-n", "-m", "-i", image};
    std::vector<std::string> names;
    size_t start = 0;
    const std::string& out = listing.output;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        if (!line.starts_with(dosFolder) || line.ends_with("/")) continue;  // folders end in /
        std::string name = line.substr(dosFolder.size());
        if (name.empty() || name.find('/') != std::string::npos || !Matches(pattern, name))
            continue;
        names.push_back(name);
        copy.push_back(line);
    }
    if (names.empty()) return {};
    copy.push_back(scratch.string() + "/");
    ToolRun taken = RunTool(copy, MtoolsEnvironment());
    if (taken.exitCode != 0) return {ERROR_READ_FAULT, "mcopy: " + FirstLine(taken.output)};
    for (const auto& name : names) {
        std::error_code error;
        fs::path path = scratch / name;
        uint64_t size = fs::file_size(path, error);
        if (error) return {ERROR_READ_FAULT, "mcopy: " + name + " was not read"};
        files->push_back({name, path, size});
    }
    return {};
}

DWORD CopyFailure(const std::string& output) {
    for (const char* full : {"Disk full", "disk full", "No directory slots", "No free"})
        if (output.find(full) != std::string::npos) return kErrorDiskFull;
    return ERROR_WRITE_FAULT;
}

}  // namespace

Outcome CopyMatchingFiles(std::string_view sourceFolder, std::string_view pattern,
                          std::string_view root,
                          const std::function<void(std::string_view fileName)>& onFile,
                          int* copied) {
    if (copied) *copied = 0;
    if (sourceFolder.empty() || root.empty())
        return {ERROR_INVALID_PARAMETER, ErrorText(ERROR_INVALID_PARAMETER)};
    if (pattern.empty()) pattern = "*";

    // The destination first: a missing or refused volume is told before the
    // source is read.
    VolumeFacts facts;
    {
        ToolSession reading;
        Outcome opened = reading.Open(root, "mcopy", false);
        if (!opened.Ok()) return opened;
        Outcome read = ReadFactsOf(reading, &facts);
        if (!read.Ok()) return read;
        if (facts.fatBits == 0)
            return {kErrorUnrecognizedVolume, ErrorText(kErrorUnrecognizedVolume)};
    }

    PrivateFolder scratch;
    std::vector<SourceFile> files;
    Outcome listed = IsDriveLetter(sourceFolder)
                         ? VolumeFiles(sourceFolder, pattern, scratch.Path(), &files)
                         : HostFiles(sourceFolder, pattern, &files);
    if (!listed.Ok()) return listed;
    if (files.empty()) return {ERROR_FILE_NOT_FOUND, ErrorText(ERROR_FILE_NOT_FOUND)};

    uint64_t needed = 0;
    for (const auto& file : files)
        needed += (file.size + facts.clusterBytes - 1) / facts.clusterBytes * facts.clusterBytes;
    if (needed > facts.freeBytes) return {kErrorDiskFull, ErrorText(kErrorDiskFull)};

    ToolSession writing;
    Outcome opened = writing.Open(root, "mcopy", true);
    if (!opened.Ok()) return opened;
    // One mcopy for every file: a run for each would write the changed
    // sectors of both FATs and of the root directory again for each file,
    // and mtools writes all it holds from the root directory to a file's
    // data when they share its buffer. It names each file as it starts it.
    std::vector<std::string> arguments = {
        "mcopy", "-v", "-m", "-D", "o", "-i", writing.MtoolsImage()};
    for (const auto& file : files) arguments.push_back(file.path.string());
    arguments.push_back("::/");
    size_t started = 0;
    std::string said;  // the first line that is not a file being started
    ToolRun run = RunTool(arguments, MtoolsEnvironment(), [&](std::string_view line) {
        // A warning without its line break may stand before a file's name.
        for (size_t at; (at = line.find("Copying ")) != std::string_view::npos;) {
            if (said.empty() && at > 0) said = line.substr(0, at);
            if (started < files.size()) {
                if (onFile) onFile(files[started].name);
                ++started;
            }
            line = line.substr(at + 8);
            line = line.substr(std::min(line.size(), line.find("Copying ")));
        }
        if (said.empty() && !line.empty()) said = line;
    });
    if (!run.started) return {ERROR_FILE_NOT_FOUND, "mcopy: " + FirstLine(run.output)};
    if (run.exitCode != 0) {
        // The files before the one it was at when it failed were copied.
        if (copied) *copied = started > 0 ? static_cast<int>(started) - 1 : 0;
        DWORD code = CopyFailure(run.output);
        std::string name = started > 0 ? files[started - 1].name + ": " : "";
        return {code, code == kErrorDiskFull ? ErrorText(code) : name + said};
    }
    if (copied) *copied = static_cast<int>(files.size());
    return {};
}

Outcome CopyFolderFiles(std::string_view sourceFolder, std::string_view root,
                        const std::function<void(std::string_view fileName)>& onFile, int* copied) {
    return CopyMatchingFiles(sourceFolder, "*", root, onFile, copied);
}

}  // namespace larkin::volumetools
