#include "sysfs_attributes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>

#include "runtime/posix.h"

namespace larkin::platform::linuxhw {

namespace {

constexpr size_t kAttributeLimit = 64 * 1024;

}  // namespace

std::optional<std::string> ReadAttribute(const std::string& folder, std::string_view name) {
    return ReadFileBytes(folder + "/" + std::string(name), kAttributeLimit);
}

std::optional<std::string> ReadFileBytes(const std::string& path, size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < limit) {
        ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;  // EISDIR, EIO from the driver
        if (got == 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    if (bytes.size() > limit) bytes.resize(limit);
    return bytes;
}

std::string_view Trim(std::string_view text) {
    size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

std::string CleanText(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    std::string text;
    text.reserve(raw.size());
    for (unsigned char c : raw) text.push_back(c == '\t' || c == '\n' ? ' ' : c);
    std::string_view trimmed = Trim(text);
    std::string clean(trimmed);
    for (char& c : clean)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '_';
    return clean;
}

std::string TextAttribute(const std::string& folder, std::string_view name) {
    auto raw = ReadAttribute(folder, name);
    return raw ? CleanText(*raw) : std::string();
}

std::optional<uint64_t> ParseDecimal(std::string_view text) {
    text = Trim(text);
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<uint16_t> ParseUsbId(std::string_view text) {
    text = Trim(text);
    uint16_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.size() != 4 || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<dev_t> ParseDeviceNumber(std::string_view text) {
    text = Trim(text);
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto major = ParseDecimal(text.substr(0, colon));
    auto minor = ParseDecimal(text.substr(colon + 1));
    if (!major || !minor || *major > 0xfffff || *minor > 0xfffff) return std::nullopt;
    return makedev(static_cast<unsigned>(*major), static_cast<unsigned>(*minor));
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, Releaser<::closedir>> dir(::opendir(folder.c_str()));
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ResolveLink(const std::string& path) {
    char buffer[4096];
    ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return {};
    std::string_view target(buffer, static_cast<size_t>(length));
    std::string joined;
    if (target.front() == '/')
        joined = target;
    else
        joined = path.substr(0, path.rfind('/') + 1) + std::string(target);
    std::vector<std::string_view> parts;
    std::string_view rest = joined;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string resolved;
    for (auto part : parts) resolved.append("/").append(part);
    return resolved.empty() ? "/" : resolved;
}

std::string_view BaseName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace larkin::platform::linuxhw
