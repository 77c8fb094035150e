// The description kept beside a saved sector 0: the SHA-256 of its 512
// bytes and the drive it came from, so that a restore can refuse a file
// that changed and warn before it writes a table onto another drive. The
// saved file itself stays the bare 512 bytes; a saved file without a
// description restores only when it holds a table that fits the drive.
//
// The description is a short text file, "<saved file>.info":
//
//   Larkin saved sector 0
//   sha256=<64 hexadecimal digits>
//   drive=<friendly name>
//   mount=<mount information>
//   path=<device path>
//   serial=<the drive's serial number, empty when it reports none>
//   size=<drive size in bytes>
//   saved=<UTC time, YYYY-MM-DDTHH:MM:SSZ>
//
// Lines end with LF (CR LF is read too); keys not listed are ignored.
#ifndef TESSEL_CONSOLE_SAVED_TABLE_DESCRIPTION_H
#define TESSEL_CONSOLE_SAVED_TABLE_DESCRIPTION_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "win32/base.h"

namespace tessel::console {

inline constexpr std::string_view kDescriptionHeader = "Larkin saved sector 0";
inline constexpr std::string_view kDescriptionSuffix = ".info";
// A description is a few hundred bytes; more is not one.
inline constexpr std::size_t kDescriptionLimit = 4096;

struct SavedTableDescription {
    std::string sha256;  // 64 lower-case hexadecimal digits
    std::string friendlyName;
    std::string mountInfo;
    std::string drivePath;
    std::string serial;
    std::uint64_t sizeBytes = 0;
    std::string savedAt;
};

std::string DescriptionPath(std::string_view savedFile);
// The text of a description; control characters in the texts become '?'.
std::string FormatDescription(const SavedTableDescription& description);
// Nothing when text is not a description: wrong first line, no valid
// sha256, a size that is not a number, a key given twice, too long.
std::optional<SavedTableDescription> ParseDescription(std::string_view text);
// The current time as the description gives it.
std::string CurrentUtcTime();

// Writes the description file and flushes it to the disk; false with the
// last error set when any step fails.
bool WriteDescriptionFile(const std::string& path, const SavedTableDescription& description);

enum class DescriptionRead { ok, missing, unreadable, invalid };
DescriptionRead ReadDescriptionFile(const std::string& path, SavedTableDescription& description);

// Whether a name given for the saved file names a device (\\.\..., \\?\...)
// rather than a file: a saved table is never read from or written to one.
bool NamesDevice(std::string_view name);

// Why a sector 0 is no partition table for a drive of driveBytes: no 55 AA
// at its end, an entry whose status is neither 0 nor 80h, a used entry that
// is empty, starts at sector 0, reaches past the drive or overlaps another.
// Nothing when it is one.
std::optional<std::string> TableProblem(std::span<const std::uint8_t> sector,
                                        std::uint64_t driveBytes);

}  // namespace tessel::console

#endif
