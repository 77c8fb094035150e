// Copying a folder's files onto a volume's root over mcopy. The source is a
// folder of this computer or a folder of another volume (whose files are
// first taken out into a private folder); every file is measured against the
// destination's free space before the first byte is written.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "source_files.h"
#include "tool_process.h"
#include "tool_session.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

namespace fs = std::filesystem;

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

// A long name a FAT directory can hold: none of its reserved characters.
bool IsFatName(std::string_view name) {
    constexpr std::string_view kReserved = "\\/:*?\"<>|";
    return std::none_of(name.begin(), name.end(), [&](char c) {
        return static_cast<unsigned char>(c) < 0x20 || kReserved.find(c) != std::string_view::npos;
    });
}

std::string LinkRefused(const std::string& name) {
    return name + " is a symbolic link; links are not copied";
}

// One file of a host folder as it stands: never a link, and only a regular
// file (a pipe or a device has nothing to copy).
Outcome MeasureHostFile(const fs::path& path, const std::string& name, SourceFile* file) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return {ERROR_READ_FAULT, name + ": " + std::strerror(errno)};
    if (S_ISLNK(info.st_mode)) return {ERROR_ACCESS_DENIED, LinkRefused(name)};
    if (!S_ISREG(info.st_mode)) return {ERROR_ACCESS_DENIED, name + " is not a regular file"};
    file->name = name;
    file->path = path;
    file->size = static_cast<uint64_t>(info.st_size);
    return {};
}

Outcome HostFiles(std::string_view folder, std::string_view pattern,
                  std::vector<SourceFile>* files) {
    std::string name(folder);
    std::replace(name.begin(), name.end(), '\\', '/');
    std::error_code error;
    if (!fs::is_directory(name, error))
        return {ERROR_PATH_NOT_FOUND, ErrorText(ERROR_PATH_NOT_FOUND)};
    std::vector<fs::path> found;
    for (fs::directory_iterator it(name, error), end; !error && it != end; it.increment(error)) {
        std::error_code statError;
        std::string file = it->path().filename().string();
        if (!Matches(pattern, file)) continue;
        // A link is refused, whatever it leads to: it could lead anywhere.
        if (it->is_symlink(statError)) return {ERROR_ACCESS_DENIED, LinkRefused(file)};
        if (it->is_regular_file(statError)) found.push_back(it->path());
    }
    if (error) return {ERROR_READ_FAULT, error.message()};
    std::sort(found.begin(), found.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    std::map<std::u32string, std::string> folded;
    for (const fs::path& path : found) {
        std::string file = path.filename().string();
        if (!IsFatName(file))
            return {ERROR_INVALID_NAME,
                    file +
                        " cannot be the name of a file on a FAT drive (it holds a character of "
                        "\\ / : * ? \" < > | or a control character)"};
        auto [other, added] = folded.emplace(FoldedName(file), file);
        if (!added)
            return {ERROR_FILE_EXISTS, other->second + " and " + file +
                                           " differ only in letter case; a FAT drive holds one "
                                           "of them"};
        SourceFile source;
        if (Outcome measured = MeasureHostFile(path, file, &source); !measured.Ok())
            return measured;
        files->push_back(std::move(source));
    }
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
    for (const std::string& line : Lines(listing.output)) {
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
        fs::path path = scratch / name;
        SourceFile file;
        if (!MeasureHostFile(path, name, &file).Ok())
            return {ERROR_READ_FAULT, "mcopy: " + name + " was not read"};
        files->push_back(std::move(file));
    }
    return {};
}

Outcome OpenSourceFile(const SourceFile& file, Descriptor* opened) {
    Descriptor fd(
        ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!fd.Valid() && errno == ELOOP) return {ERROR_ACCESS_DENIED, LinkRefused(file.name)};
    if (!fd.Valid()) return {ERROR_READ_FAULT, file.name + ": " + std::strerror(errno)};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {ERROR_ACCESS_DENIED, file.name + " is not a regular file"};
    *opened = std::move(fd);
    return {};
}

// A private copy of a host file, taken from a descriptor that refuses a
// link, with its modification time (mcopy -m keeps it).
Outcome StageHostFile(const SourceFile& file, const fs::path& folder, fs::path* staged) {
    Descriptor source;
    if (Outcome opened = OpenSourceFile(file, &source); !opened.Ok()) return opened;
    std::error_code ignored;
    fs::create_directory(folder, ignored);
    fs::path path = folder / file.name;
    Descriptor target(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.Valid()) return {ERROR_READ_FAULT, file.name + ": " + std::strerror(errno)};
    char buffer[64 * 1024];
    for (;;) {
        ssize_t got = ::read(source.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {ERROR_READ_FAULT, file.name + ": " + std::strerror(errno)};
        if (got == 0) break;
        for (ssize_t put = 0; put < got;) {
            ssize_t wrote = ::write(target.Get(), buffer + put, static_cast<size_t>(got - put));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote < 0) return {ERROR_READ_FAULT, file.name + ": " + std::strerror(errno)};
            put += wrote;
        }
    }
    struct stat info {};
    if (::fstat(source.Get(), &info) == 0) {
        const timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(target.Get(), times);
    }
    *staged = path;
    return {};
}

DWORD CopyFailure(const std::string& output) {
    for (const char* full : {"Disk full", "disk full", "No directory slots", "No free"})
        if (output.find(full) != std::string::npos) return kErrorDiskFull;
    return ERROR_WRITE_FAULT;
}

}  // namespace

PrivateFolder::PrivateFolder() {
    std::string pattern = (fs::temp_directory_path() / "larkin-copy-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) path_ = made;
}

PrivateFolder::~PrivateFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

bool IsDriveLetter(std::string_view text) {
    return text.size() >= 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

Outcome ListSourceFiles(std::string_view source, std::string_view pattern, const fs::path& scratch,
                        std::vector<SourceFile>* files) {
    return IsDriveLetter(source) ? VolumeFiles(source, pattern, scratch, files)
                                 : HostFiles(source, pattern, files);
}

std::u32string FoldedName(std::string_view name) {
    static locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u32string folded;
    for (size_t i = 0; i < name.size();) {
        auto byte = static_cast<unsigned char>(name[i]);
        char32_t c = byte;
        size_t length = byte < 0x80           ? 1
                        : (byte >> 5) == 0x6  ? 2
                        : (byte >> 4) == 0xE  ? 3
                        : (byte >> 3) == 0x1E ? 4
                                              : 0;
        bool whole = length > 1 && i + length <= name.size();
        for (size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
        if (whole) {
            c = byte & (0x7F >> length);
            for (size_t k = 1; k < length; ++k)
                c = c << 6 | (static_cast<unsigned char>(name[i + k]) & 0x3F);
        } else {
            length = 1;
        }
        i += length;
        if (c < 0x80) {
            folded += (c >= 'a' && c <= 'z') ? static_cast<char32_t>(c - 'a' + 'A') : c;
        } else {
            folded += utf8 ? static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), utf8)) : c;
        }
    }
    return folded;
}

uint32_t DirectoryEntries(std::string_view name) {
    constexpr std::string_view kShortNameSigns = "!#$%&'()-@^_`{}~";
    size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
    auto plain = [&](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [&](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   kShortNameSigns.find(c) != std::string_view::npos;
        });
    };
    bool shortName = !base.empty() && base.size() <= 8 && extension.size() <= 3 &&
                     (dot == std::string_view::npos || !extension.empty()) && plain(base) &&
                     plain(extension);
    if (shortName) return 1;
    // A long name: 13 UTF-16 units to an entry, beside its short one.
    uint32_t units = 0;
    for (char32_t c : FoldedName(name)) units += c > 0xFFFF ? 2 : 1;
    return 1 + (units + 12) / 13;
}

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
    Outcome listed = ListSourceFiles(sourceFolder, pattern, scratch.Path(), &files);
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
    for (const auto& file : files) {
        // mcopy reads the copy taken here from the descriptor checked when
        // listed: a name swapped for a link since then is refused, never
        // followed. A volume's files are already private copies.
        fs::path path = file.path;
        if (!path.string().starts_with(scratch.Path().string())) {
            Outcome staged = StageHostFile(file, scratch.Path() / "host", &path);
            if (!staged.Ok()) return staged;
        }
        arguments.push_back(path.string());
    }
    arguments.push_back("::/");
    size_t started = 0;
    std::string said;  // the first line that is not a file being started
    ToolRun run = RunTool(arguments, MtoolsEnvironment(), -1, [&](std::string_view line) {
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
