#include "console/saved_table_description.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "larkin/owned.h"
#include "win32/files.h"

namespace tessel::console {
namespace {

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

bool IsHexDigest(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

std::string LowerHex(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::string DescriptionPath(std::string_view savedFile) {
    std::string path(savedFile);
    path += kDescriptionSuffix;
    return path;
}

std::string FormatDescription(const SavedTableDescription& description) {
    std::string text(kDescriptionHeader);
    text += "\nsha256=" + Printable(description.sha256);
    text += "\ndrive=" + Printable(description.friendlyName);
    text += "\nmount=" + Printable(description.mountInfo);
    text += "\npath=" + Printable(description.drivePath);
    text += "\nserial=" + Printable(description.serial);
    text += "\nsize=" + std::to_string(description.sizeBytes);
    text += "\nsaved=" + Printable(description.savedAt);
    text += "\n";
    return text;
}

std::optional<SavedTableDescription> ParseDescription(std::string_view text) {
    if (text.size() > kDescriptionLimit) return std::nullopt;
    SavedTableDescription description;
    std::array<bool, 7> seen{};
    bool first = true;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            if (line != kDescriptionHeader) return std::nullopt;
            first = false;
            continue;
        }
        if (line.empty()) continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        std::string_view key = line.substr(0, equals);
        std::string_view value = line.substr(equals + 1);
        constexpr std::array<std::string_view, 7> kKeys = {"sha256", "drive", "mount", "path",
                                                           "size",   "saved", "serial"};
        std::size_t which = 0;
        while (which < kKeys.size() && kKeys[which] != key) ++which;
        if (which == kKeys.size()) continue;  // a later version's key
        if (seen[which]) return std::nullopt;
        seen[which] = true;
        switch (which) {
            case 0:
                if (!IsHexDigest(value)) return std::nullopt;
                description.sha256 = LowerHex(value);
                break;
            case 1:
                description.friendlyName = value;
                break;
            case 2:
                description.mountInfo = value;
                break;
            case 3:
                description.drivePath = value;
                break;
            case 4: {
                auto [ptr, error] = std::from_chars(value.data(), value.data() + value.size(),
                                                    description.sizeBytes);
                if (value.empty() || error != std::errc() || ptr != value.data() + value.size())
                    return std::nullopt;
                break;
            }
            case 5:
                description.savedAt = value;
                break;
            default:
                description.serial = value;
                break;
        }
    }
    if (first || !seen[0]) return std::nullopt;
    return description;
}

std::string CurrentUtcTime() {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

bool WriteDescriptionFile(const std::string& path, const SavedTableDescription& description) {
    std::string text = FormatDescription(description);
    larkin::Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return false;
    if (written != text.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return FlushFileBuffers(file.get()) != FALSE;
}

DescriptionRead ReadDescriptionFile(const std::string& path, SavedTableDescription& description) {
    larkin::Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? DescriptionRead::missing
                                             : DescriptionRead::unreadable;
    }
    std::string text(kDescriptionLimit + 1, '\0');
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr))
        return DescriptionRead::unreadable;
    text.resize(got);
    auto parsed = ParseDescription(text);
    if (!parsed) return DescriptionRead::invalid;
    description = *parsed;
    return DescriptionRead::ok;
}

bool NamesDevice(std::string_view name) {
    auto slash = [](char c) { return c == '\\' || c == '/'; };
    return name.size() >= 4 && slash(name[0]) && slash(name[1]) &&
           (name[2] == '.' || name[2] == '?') && slash(name[3]);
}

std::optional<std::string> TableProblem(std::span<const std::uint8_t> sector,
                                        std::uint64_t driveBytes) {
    if (sector.size() < 512 || sector[510] != 0x55 || sector[511] != 0xAA)
        return "it does not end in 55 AA";
    auto little32 = [&](std::size_t at) {
        return std::uint32_t{sector[at]} | std::uint32_t{sector[at + 1]} << 8 |
               std::uint32_t{sector[at + 2]} << 16 | std::uint32_t{sector[at + 3]} << 24;
    };
    const std::uint64_t driveSectors = driveBytes / 512;
    std::array<std::pair<std::uint64_t, std::uint64_t>, 4> used{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        std::size_t entry = 446 + 16 * i;
        std::string which = "partition entry " + std::to_string(i);
        if (sector[entry] != 0x00 && sector[entry] != 0x80)
            return which + " has the status " + std::to_string(sector[entry]) + ", not 0 or 128";
        if (sector[entry + 4] == 0) continue;
        std::uint64_t first = little32(entry + 8);
        std::uint64_t length = little32(entry + 12);
        if (first == 0 || length == 0) return which + " is used but starts at 0 or is empty";
        if (first + length > driveSectors)
            return which + " ends at sector " + std::to_string(first + length) +
                   ", past the drive's " + std::to_string(driveSectors);
        for (std::size_t j = 0; j < count; ++j)
            if (first < used[j].second && used[j].first < first + length)
                return which + " overlaps another entry";
        used[count++] = {first, first + length};
    }
    return std::nullopt;
}

}  // namespace tessel::console
