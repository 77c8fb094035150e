// Drive letters as the commands take them, and what the platform says of
// them.
#ifndef LARKIN_CMD_DRIVES_H
#define LARKIN_CMD_DRIVES_H

#include <string>
#include <string_view>

namespace larkin::cmd {

// "E:" (any case) gives "E:"; "E:\" too when allowRoot. "" when the word is
// not a drive letter and colon.
std::string DriveOf(std::string_view word, bool allowRoot);
// True when the platform knows a volume with this letter ("E:").
bool DriveExists(const std::string& drive);
// True when drive holds the running system (the Windows folder's volume).
bool IsSystemDrive(const std::string& drive);
// True when the drive's media can be taken out.
bool IsRemovableDrive(const std::string& drive);

// 134,185,472: digits grouped by commas, as the Windows tools print them.
std::string Grouped(unsigned long long value);

}  // namespace larkin::cmd

#endif
