// What file system a stretch of a disk holds, as libblkid tells it.
#ifndef LARKIN_PLATFORM_LINUX_FILE_SYSTEM_PROBE_H
#define LARKIN_PLATFORM_LINUX_FILE_SYSTEM_PROBE_H

#include <cstdint>
#include <optional>
#include <string>

namespace larkin::platform::linuxhw {

struct FileSystemFound {
    std::string type;   // "vfat", "exfat", "ntfs", "ext4", ...
    std::string label;  // "" when it has none
};

// Probes length bytes of the device open as fd, from offset. None when no
// file system is found there (or the stretch cannot be read).
std::optional<FileSystemFound> ProbeFileSystem(int fd, uint64_t offset, uint64_t length);

}  // namespace larkin::platform::linuxhw

#endif
