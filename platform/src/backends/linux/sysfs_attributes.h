// Reading sysfs: attribute files of a device folder, and turning what they
// hold (padded, binary, sometimes garbled) into plain text and numbers.
#ifndef LARKIN_PLATFORM_LINUX_SYSFS_ATTRIBUTES_H
#define LARKIN_PLATFORM_LINUX_SYSFS_ATTRIBUTES_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkin::platform::linuxhw {

// The bytes of a file, or none when it cannot be read; at most limit bytes.
std::optional<std::string> ReadFileBytes(const std::string& path, size_t limit);

// The bytes of folder/name, or none when it cannot be read (absent, a
// folder, no permission). At most 64 KiB are read.
std::optional<std::string> ReadAttribute(const std::string& folder, std::string_view name);

// Printable ASCII only: every other byte becomes '_', blanks around it go,
// and a NUL ends it (binary attributes are NUL padded).
std::string CleanText(std::string_view raw);

// The attribute as CleanText, or "" when it cannot be read.
std::string TextAttribute(const std::string& folder, std::string_view name);

// Without the blanks (spaces, tabs, line ends) around it.
std::string_view Trim(std::string_view text);

// A whole unsigned decimal (blanks around it allowed), or none.
std::optional<uint64_t> ParseDecimal(std::string_view text);
// Four hex digits ("0781"), or none.
std::optional<uint16_t> ParseUsbId(std::string_view text);
// "8:17" as a device number, or none.
std::optional<dev_t> ParseDeviceNumber(std::string_view text);

// The names in a folder, sorted, without "." and ".."; empty when it cannot
// be read.
std::vector<std::string> ListFolder(const std::string& folder);

// The target of a symbolic link, made absolute and tidied (no "." or ".."),
// or "" when path is no link. Done by hand rather than realpath so that a
// test's sysfs, which redirects each call, is followed the same way.
std::string ResolveLink(const std::string& path);

// The last component of a path ("sdb" for ".../block/sdb").
std::string_view BaseName(std::string_view path);

}  // namespace larkin::platform::linuxhw

#endif
