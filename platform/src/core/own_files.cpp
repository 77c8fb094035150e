#include "own_files.h"

#include <filesystem>
#include <system_error>

namespace larkin::platform {

namespace fs = std::filesystem;

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool StatOf(const fs::path& path, struct stat* info) {
    return ::stat(path.c_str(), info) == 0;
}

}  // namespace

std::string OwnFileRefusal(Backend& machine, const std::string& path, const struct stat* opened) {
    const std::string refused = "is a file of the machine itself, never a plain file";
    struct stat target {};
    bool exists = opened ? (target = *opened, true) : StatOf(path, &target);
    struct stat own {};
    if (exists)
        for (const std::string& file : machine.OwnFiles())
            if (StatOf(file, &own) && SameFile(own, target)) return refused;

    std::string folderName = machine.StateFolder();
    struct stat folder {};
    if (folderName.empty() || !StatOf(folderName, &folder)) return {};
    // Inside the folder, by any spelling: each folder above the name.
    std::error_code error;
    fs::path spelled = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) spelled = fs::absolute(path, error).lexically_normal();
    struct stat above {};
    for (fs::path at = spelled.parent_path(); !at.empty(); at = at.parent_path()) {
        if (StatOf(at, &above) && SameFile(above, folder)) return refused;
        if (at == at.root_path()) break;
    }
    // A second name, elsewhere, of a file in the folder.
    if (!exists || target.st_nlink < 2) return {};
    auto options = fs::directory_options::skip_permission_denied;
    for (fs::recursive_directory_iterator it(folderName, options, error), end; !error && it != end;
         it.increment(error))
        if (StatOf(it->path(), &own) && S_ISREG(own.st_mode) && SameFile(own, target))
            return refused;
    return {};
}

}  // namespace larkin::platform
