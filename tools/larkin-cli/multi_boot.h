// boot with several drives: one question naming them all, then each drive
// made by a larkin-cli of its own (the engine keeps its state per process),
// all at once, with a line per drive showing how far it got.
#ifndef LARKIN_CLI_MULTI_BOOT_H
#define LARKIN_CLI_MULTI_BOOT_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine_library.h"

namespace larkin::cli {

struct MultiBootRequest {
    std::vector<std::string> drives;   // as DriveArgument gives them, in order
    std::optional<std::string> image;  // an image of imagesFolder, or the floppy in A:
    std::filesystem::path imagesFolder;
    std::optional<std::string> floppyImage;  // the file shown as A:, absolute
    bool keepFloppyPaths = false;
    bool yes = false;
    bool json = false;              // one JSON object per line and event
    std::filesystem::path program;  // this program, started once per drive
};

// The exit code: 0 when every drive was made, else the highest status of
// the drives that failed; 2 when a drive is named twice (by any of its
// letters), before anything starts.
int BootMany(const Engine& engine, const MultiBootRequest& request);

}  // namespace larkin::cli

#endif
