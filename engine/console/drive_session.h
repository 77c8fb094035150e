// What both image operations do before their own steps: list the drives,
// let the user choose one, and open it; and the few drive facts they share.
#ifndef TESSEL_CONSOLE_DRIVE_SESSION_H
#define TESSEL_CONSOLE_DRIVE_SESSION_H

#include <cstdint>
#include <optional>
#include <string>

#include "console/device_dialogue.h"
#include "larkin/owned.h"

namespace tessel::console {

struct ChosenDrive {
    ListedDevice row;
    int index = -1;
    larkin::Handle handle;
};

// Lists, asks and opens. Nothing when there is no drive, the user quit, the
// input ended or the drive cannot be opened (each with its line).
std::optional<ChosenDrive> ChooseAndOpenDrive(const char* driveLetter, QuestionStyle style,
                                              Console& console);

struct ReportedGeometry {
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t heads = 0;
    std::uint64_t diskSize = 0;
};
// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX; nothing when the request fails.
std::optional<ReportedGeometry> ReportedDriveGeometry(HANDLE drive);

// The serial number the drive reports (IOCTL_STORAGE_QUERY_PROPERTY), without
// the blanks around it; "" when it reports none.
std::string ReportedSerial(HANDLE drive);

// Whether two names lead to one file, by whatever spelling or link: both
// are opened without access, which no share mode keeps out.
bool SameFile(const std::string& first, const std::string& second);

// "friendly [mount] [~MB MB]" as the failure lines name a drive.
std::string DriveText(const ListedDevice& row);

}  // namespace tessel::console

#endif
