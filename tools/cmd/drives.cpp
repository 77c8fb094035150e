#include "drives.h"

#include <array>

#include "command_line.h"
#include "win32/windows.h"

namespace larkin::cmd {

std::string DriveOf(std::string_view word, bool allowRoot) {
    bool letter =
        !word.empty() && ((word[0] >= 'A' && word[0] <= 'Z') || (word[0] >= 'a' && word[0] <= 'z'));
    if (!letter || word.size() < 2 || word[1] != ':') return {};
    if (word.size() == 2 || (allowRoot && word.size() == 3 && word[2] == '\\'))
        return Upper(word.substr(0, 2));
    return {};
}

bool DriveExists(const std::string& drive) {
    std::string root = drive + "\\";
    UINT type = GetDriveTypeA(root.c_str());
    return type != DRIVE_NO_ROOT_DIR && type != DRIVE_UNKNOWN;
}

bool IsSystemDrive(const std::string& drive) {
    std::array<char, MAX_PATH> folder{};
    UINT length = GetWindowsDirectoryA(folder.data(), static_cast<UINT>(folder.size()));
    return length >= 2 && EqualsNoCase(std::string_view(folder.data(), 2), drive);
}

bool IsRemovableDrive(const std::string& drive) {
    std::string root = drive + "\\";
    return GetDriveTypeA(root.c_str()) == DRIVE_REMOVABLE;
}

std::string Grouped(unsigned long long value) {
    std::string digits = std::to_string(value);
    std::string result;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) result += ',';
        result += digits[i];
    }
    return result;
}

}  // namespace larkin::cmd
