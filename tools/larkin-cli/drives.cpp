#include "drives.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "larkin/ascii_text.h"
#include "larkin/platform.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace larkin::cli {
namespace {

std::string AskRow(const Engine& engine, int index, const char* property) {
    char name[32];
    std::snprintf(name, sizeof name, "%s", property);
    const char* text = engine.getUSBDevInfoW(index, name);
    return text != nullptr ? text : "";
}

}  // namespace

bool DriveSize(const std::string& path, std::uint64_t& bytes, std::uint32_t* sectorsPerTrack) {
    HANDLE drive = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE) return false;
    alignas(8) std::array<unsigned char, 120> buffer{};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &returned, nullptr);
    CloseHandle(drive);
    if (!ok) return false;
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    bytes = static_cast<std::uint64_t>(geometry.DiskSize.QuadPart);
    if (sectorsPerTrack) *sectorsPerTrack = geometry.Geometry.SectorsPerTrack;
    return true;
}

std::vector<Drive> ListDrives(const Engine& engine) {
    std::vector<Drive> drives;
    int count = engine.getUSBDevCount();
    for (int i = 0; i < count; ++i) {
        Drive drive;
        drive.index = i;
        drive.mount = AskRow(engine, i, "MOUNT_INFO");
        drive.friendlyName = AskRow(engine, i, "FRIENDLYNAME");
        std::array<char, 256> path{};
        int size = static_cast<int>(path.size());
        if (engine.getDriveInformation(i, "DriveName", path.data(), &size) == 0) {
            path.back() = '\0';
            drive.path = path.data();
        }
        if (!drive.path.empty())
            drive.sizeKnown = DriveSize(drive.path, drive.sizeBytes, &drive.sectorsPerTrack);
        drives.push_back(std::move(drive));
    }
    return drives;
}

namespace {

// The name the platform knows the drive's disk by.
const std::string& DiskName(const Drive& drive) {
    return drive.path.empty() ? drive.mount : drive.path;
}

}  // namespace

namespace {
std::string& WaivedRefusal() {
    static std::string reason;
    return reason;
}
}  // namespace

void WaiveRefusal(std::string reason) {
    WaivedRefusal() = std::move(reason);
}

std::string DriveRefusal(const Drive& drive) {
    std::array<char, 1024> why{};
    if (!LarkinDriveRefused(DiskName(drive).c_str(), why.data(), static_cast<DWORD>(why.size())))
        return {};
    if (!WaivedRefusal().empty() && WaivedRefusal() == why.data()) return {};
    return why.data();
}

DriveHold::~DriveHold() {
    if (!held_.empty()) LarkinReleaseDrive(held_.c_str());
}

bool DriveHold::Take(const Drive& drive, const std::string& operation, std::string& why) {
    std::array<char, 1024> reason{};
    if (!LarkinHoldDrive(DiskName(drive).c_str(), operation.c_str(), reason.data(),
                         static_cast<DWORD>(reason.size()))) {
        why = reason.data();
        return false;
    }
    held_ = DiskName(drive);
    return true;
}

const Drive* FindDrive(const std::vector<Drive>& drives, std::string_view letter) {
    for (const Drive& drive : drives) {
        std::string_view letters = drive.mount;
        while (!letters.empty()) {
            std::size_t end = letters.find(';');
            if (EqualsNoCase(letters.substr(0, end), letter)) return &drive;
            if (end == std::string_view::npos) break;
            letters.remove_prefix(end + 1);
        }
    }
    return nullptr;
}

std::string DriveArgument(std::string_view typed) {
    bool letter = !typed.empty() && AsciiUpper(typed[0]) >= 'A' && AsciiUpper(typed[0]) <= 'Z';
    if (letter && (typed.size() == 1 || (typed.size() == 2 && typed[1] == ':')))
        return std::string(1, AsciiUpper(typed[0])) + ":";
    return std::string(typed);
}

bool SupportedModel(const Drive& drive) {
    return StartsWithNoCase(drive.friendlyName, "QM");
}

std::string GroupedNumber(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::string DescribeDrive(const Drive& drive) {
    std::string text =
        (drive.mount.empty() ? std::string("(no letter)") : drive.mount) + " " + drive.friendlyName;
    if (drive.sizeKnown) {
        char megabytes[32];
        std::snprintf(megabytes, sizeof megabytes, "%.1f MB",
                      static_cast<double>(drive.sizeBytes) / 1e6);
        text += ", " + GroupedNumber(drive.sizeBytes) + " bytes (" + megabytes + ")";
    } else {
        text += ", size unknown";
    }
    return text;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else if (byte >= 0x80) {
            // The system's 8-bit texts: each byte as the Latin-1 character.
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool ReadInputLine(std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

bool Confirm(const std::string& question, bool assumeYes) {
    std::printf("%s [y/N] ", question.c_str());
    if (assumeYes) {
        std::printf("yes (--yes)\n");
        std::fflush(stdout);
        return true;
    }
    std::fflush(stdout);
    std::string answer;
    if (!ReadInputLine(answer)) {
        std::printf("\n");
        return false;
    }
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    std::string lower = Lower(answer);
    return lower == "y" || lower == "yes";
}

}  // namespace larkin::cli
