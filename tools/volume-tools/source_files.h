// The files a copy takes from its source, listed once for the check made
// before a drive is written and for the copy itself, so that both see the
// same files: a folder of this computer, or a folder of a volume.
#ifndef LARKIN_VOLUME_TOOLS_SOURCE_FILES_H
#define LARKIN_VOLUME_TOOLS_SOURCE_FILES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tool_process.h"
#include "volume_tools.h"

namespace larkin::volumetools {

struct SourceFile {
    std::string name;
    std::filesystem::path path;  // on this computer
    uint64_t size = 0;
};

// A folder removed with its contents when it goes.
class PrivateFolder {
  public:
    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

bool IsDriveLetter(std::string_view text);

// The files of source whose names match pattern, in name order. A folder of
// this computer gives its regular files; a symbolic link among them is
// refused (ERROR_ACCESS_DENIED, naming it), and so are a name a FAT
// directory cannot hold (ERROR_INVALID_NAME) and two names that differ only
// in letter case (ERROR_FILE_EXISTS, naming both), which a FAT volume would
// hold as one. A drive letter with an optional
// folder ("A:", "A:\BOOT") gives its files but not hidden ones, taken out
// into scratch. ERROR_PATH_NOT_FOUND for a missing folder.
Outcome ListSourceFiles(std::string_view source, std::string_view pattern,
                        const std::filesystem::path& scratch, std::vector<SourceFile>* files);

// The root directory entries a file of that name takes: one for a name DOS
// can hold as it is (8.3, capitals), more for a long name's parts.
uint32_t DirectoryEntries(std::string_view name);

// The same name to a FAT volume: Unicode capitals of the UTF-8 text (a byte
// that is not UTF-8 stands for itself).
std::u32string FoldedName(std::string_view name);

}  // namespace larkin::volumetools

#endif
