#include "file_system_probe.h"

#include <blkid/blkid.h>

#include <memory>

#include "runtime/posix.h"

namespace larkin::platform::linuxhw {

namespace {

using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, Releaser<blkid_free_probe>>;

std::string Value(blkid_probe probe, const char* name) {
    const char* value = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &value, &length) != 0 || value == nullptr) return {};
    std::string text(value, length);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

}  // namespace

std::optional<FileSystemFound> ProbeFileSystem(int fd, uint64_t offset, uint64_t length) {
    Probe probe(blkid_new_probe());
    if (!probe || length == 0) return std::nullopt;
    if (blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(length)) != 0)
        return std::nullopt;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    blkid_probe_enable_partitions(probe.get(), 0);
    // Zero: found one; 1: nothing there; negative: unreadable or ambiguous.
    if (blkid_do_safeprobe(probe.get()) != 0) return std::nullopt;
    FileSystemFound found{Value(probe.get(), "TYPE"), Value(probe.get(), "LABEL")};
    if (found.type.empty()) return std::nullopt;
    return found;
}

}  // namespace larkin::platform::linuxhw
