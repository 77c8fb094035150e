// The USB drives as the engine lists them, with the identity and size a
// person needs to be sure which drive a command will erase.
#ifndef LARKIN_CLI_DRIVES_H
#define LARKIN_CLI_DRIVES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine_library.h"

namespace larkin::cli {

struct Drive {
    int index = 0;
    std::string mount;  // "E:", "E:;F:" or ""
    std::string friendlyName;
    std::string path;  // the device path the engine opens
    std::uint64_t sizeBytes = 0;
    bool sizeKnown = false;
    std::uint32_t sectorsPerTrack = 0;  // as the system reports it; 0 when unknown
};

// GetUSBDevCount, then each row.
std::vector<Drive> ListDrives(const Engine& engine);
// The drive whose letters include letter ("e:" matches "E:;F:"); null if none.
const Drive* FindDrive(const std::vector<Drive>& drives, std::string_view letter);
// A drive as typed: a letter alone or with its colon, in either case,
// becomes "E:"; anything else (a number) stays as it is.
std::string DriveArgument(std::string_view typed);
// Whether zero and partition take the drive: the engine works only on
// drives whose name begins with QM.
bool SupportedModel(const Drive& drive);
// "E: SanDisk Cruzer Blade USB Device, 8,388,608 bytes (8.4 MB)".
std::string DescribeDrive(const Drive& drive);
// The size of the drive at path, and its sectors per track when asked for;
// false when they cannot be asked.
bool DriveSize(const std::string& path, std::uint64_t& bytes,
               std::uint32_t* sectorsPerTrack = nullptr);

// Why the drive must not be written now (the running system's disk, in use
// by the system, held by another program, ...); "" when it may be.
std::string DriveRefusal(const Drive& drive);
// From now on DriveRefusal does not give reason: the want of privileges that
// the writing helper has.
void WaiveRefusal(std::string reason);

// Holds a drive for one operation that erases it: no other program writes it
// meanwhile, and what the desktop mounted from it is unmounted. Released
// when the hold goes.
class DriveHold {
  public:
    DriveHold() = default;
    ~DriveHold();
    DriveHold(const DriveHold&) = delete;
    DriveHold& operator=(const DriveHold&) = delete;
    // False, with the reason in why, when the drive cannot be held.
    bool Take(const Drive& drive, const std::string& operation, std::string& why);

  private:
    std::string held_;
};

// "1,234,567".
std::string GroupedNumber(std::uint64_t value);
// Text as a JSON string, quotes included.
std::string JsonString(std::string_view text);

// Asks question on the standard output and reads a line from the standard
// input: true for y or yes (any case). assumeYes answers yes at once, and
// says so.
bool Confirm(const std::string& question, bool assumeYes);
// One line from the standard input (C stdio, shared with the engine's own
// reads); false at its end.
bool ReadInputLine(std::string& line);

}  // namespace larkin::cli

#endif
