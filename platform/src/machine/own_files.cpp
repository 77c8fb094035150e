#include "own_files.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/posix.h"

namespace larkin::platform {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

using CText = std::unique_ptr<char, Releaser<::free>>;

// The folder a name is in, with every link and ".." resolved; null when it
// cannot be found.
CText CanonicalFolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return CText(::realpath(".", nullptr));
    if (slash == 0) return CText(::strdup("/"));
    return CText(::realpath(path.substr(0, slash).c_str(), nullptr));
}

// Whether folder, or a folder below it, holds target by another name.
bool HoldsSecondName(const std::string& folder, const struct stat& target, int depth) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string inside = folder + "/" + entry->d_name;
        struct stat info {};
        if (::lstat(inside.c_str(), &info) != 0) continue;
        if (S_ISREG(info.st_mode) && SameFile(info, target)) found = true;
        if (S_ISDIR(info.st_mode) && depth > 0) found = HoldsSecondName(inside, target, depth - 1);
        if (found) break;
    }
    ::closedir(listing);
    return found;
}

}  // namespace

std::string OwnFileRefusal(Backend& machine, const std::string& path, const struct stat* opened) {
    struct stat target {};
    bool exists = opened ? (target = *opened, true) : ::stat(path.c_str(), &target) == 0;
    if (exists && machine.MadeOf(target.st_dev, target.st_ino))
        return "is a file of the machine itself, never a plain file";

    const std::string& folderName = machine.OwnFolder();
    struct stat folder {};
    if (folderName.empty() || ::stat(folderName.c_str(), &folder) != 0) return {};
    // Inside the folder, by any spelling: each folder above the name.
    if (auto above = CanonicalFolderOf(path)) {
        char* text = above.get();  // absolute: it starts with '/'
        for (;;) {
            struct stat info {};
            if (::stat(text, &info) == 0 && SameFile(info, folder))
                return "is in the machine's state folder, never a plain file";
            char* slash = std::strrchr(text, '/');
            if (slash == nullptr || text[1] == '\0') break;
            slash[slash == text ? 1 : 0] = '\0';  // "/a/b" -> "/a" -> "/"
        }
    }
    // A second name, elsewhere, of a file in the folder (its locks one deeper).
    if (exists && target.st_nlink > 1 && HoldsSecondName(folderName, target, 1))
        return "is a second name of a file in the machine's state folder, never a plain file";
    return {};
}

}  // namespace larkin::platform
