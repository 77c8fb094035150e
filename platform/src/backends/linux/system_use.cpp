#include "system_use.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>

#include "sysfs_attributes.h"

namespace larkin::platform::linuxhw {

namespace {

constexpr size_t kProcFileLimit = 16 * 1024 * 1024;
constexpr int kStackLimit = 16;  // dm over md over loop ... deeper is a loop in sysfs

// Undoes the kernel's octal escapes ("\040" for a blank) in a path it shows.
std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            std::string_view digits = text.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                int value = (digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0');
                if (value < 256) {
                    out.push_back(static_cast<char>(value));
                    i += 3;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        size_t end = line.find_first_of(" \t");
        fields.push_back(line.substr(0, end));
        line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    }
    return fields;
}

template <typename Each>
void ForEachLine(std::string_view text, Each each) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        each(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

// Strictly below folder: "/media/stick" is below "/media", "/media" is not.
bool Below(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() + 1 && path.starts_with(folder) &&
           path[folder.size()] == '/';
}

// At or below folder, by whole components.
bool AtOrBelow(std::string_view path, std::string_view folder) {
    if (folder == "/") return path.starts_with('/');
    return path == folder || Below(path, folder);
}

bool IsSystemPath(std::string_view mountPoint) {
    return std::any_of(std::begin(kSystemPaths), std::end(kSystemPaths),
                       [&](const char* path) { return mountPoint == path; });
}

std::string NumberText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The device's folder in sysfs ("/sys/devices/.../block/sdb/sdb1"), or "".
std::string BlockFolder(dev_t device) {
    return ResolveLink("/sys/dev/block/" + NumberText(device));
}

// "/dev/sdb1" for a device number, or its number where sysfs has no name.
std::string DeviceName(dev_t device) {
    std::string folder = BlockFolder(device);
    return folder.empty() ? NumberText(device) : "/dev/" + std::string(BaseName(folder));
}

// A loop device's backing file as the kernel shows it, or "".
std::string BackingFile(const std::string& diskFolder) {
    auto raw = ReadAttribute(diskFolder, "loop/backing_file");
    if (!raw) return {};
    std::string path = *raw;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path;
}

void CollectDisks(const std::string& folder, int depth, std::vector<std::string>& disks);

void CollectDisks(dev_t device, int depth, std::vector<std::string>& disks) {
    if (major(device) == 0) return;  // no block device: tmpfs, proc, overlay ...
    std::string folder = BlockFolder(device);
    if (!folder.empty()) CollectDisks(folder, depth, disks);
}

void CollectDisks(const std::string& folder, int depth, std::vector<std::string>& disks) {
    if (depth > kStackLimit) return;
    std::string disk = folder;
    if (ReadAttribute(folder, "partition")) disk = folder.substr(0, folder.rfind('/'));
    std::string name(BaseName(disk));
    if (std::find(disks.begin(), disks.end(), name) != disks.end()) return;
    disks.push_back(name);
    for (const auto& slave : ListFolder(disk + "/slaves")) {
        std::string slaveFolder = ResolveLink(disk + "/slaves/" + slave);
        if (!slaveFolder.empty()) CollectDisks(slaveFolder, depth + 1, disks);
    }
    std::string backing = BackingFile(disk);
    struct stat info {};
    if (!backing.empty() && ::stat(backing.c_str(), &info) == 0)
        CollectDisks(S_ISBLK(info.st_mode) ? info.st_rdev : info.st_dev, depth + 1, disks);
}

bool RestsOn(dev_t device, const FoundDisk& disk, const SystemUse& use) {
    auto found = use.restingOn.find(device);
    if (found == use.restingOn.end())
        found = use.restingOn.emplace(device, DisksUnder(device)).first;
    const auto& disks = found->second;
    return std::find(disks.begin(), disks.end(), disk.kernelName) != disks.end();
}

std::string Join(const std::vector<std::string>& parts, std::string_view between) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += between;
        text += part;
    }
    return text;
}

// "sdb1 is held by dm-0" for the disk and each of its partitions that a
// device mapper, md or LVM device sits on.
std::vector<std::string> Holders(const FoundDisk& disk) {
    std::vector<std::string> folders{disk.sysPath};
    for (const auto& entry : ListFolder(disk.sysPath))
        if (entry.starts_with(disk.kernelName) &&
            ReadAttribute(disk.sysPath + "/" + entry, "partition"))
            folders.push_back(disk.sysPath + "/" + entry);
    std::vector<std::string> held;
    for (const auto& folder : folders) {
        auto holders = ListFolder(folder + "/holders");
        if (!holders.empty())
            held.push_back(std::string(BaseName(folder)) + " is held by " + Join(holders, " and "));
    }
    return held;
}

}  // namespace

std::vector<Mount> ParseMountInfo(std::string_view text) {
    std::vector<Mount> mounts;
    ForEachLine(text, [&](std::string_view line) {
        auto fields = Fields(line);
        // id parent major:minor root mount-point options [optional...] - type source options
        auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 6 || separator - fields.begin() < 6 || fields.end() - separator < 3)
            return;
        auto device = ParseDeviceNumber(fields[2]);
        if (!device) return;
        Mount mount;
        mount.device = *device;
        mount.mountPoint = Unescape(fields[4]);
        mount.fileSystem = Unescape(separator[1]);
        mount.source = Unescape(separator[2]);
        mount.automounted =
            Below(mount.mountPoint, "/media") || Below(mount.mountPoint, "/run/media");
        mounts.push_back(std::move(mount));
    });
    return mounts;
}

std::vector<std::string> ParseSwaps(std::string_view text) {
    std::vector<std::string> swaps;
    bool first = true;
    ForEachLine(text, [&](std::string_view line) {
        auto fields = Fields(line);
        bool heading = first && !fields.empty() && fields[0] == "Filename";
        first = false;
        if (!fields.empty() && !heading) swaps.push_back(Unescape(fields[0]));
    });
    return swaps;
}

std::optional<dev_t> SwapDevice(const std::string& path, const std::vector<Mount>& mounts) {
    std::string file = path;
    constexpr std::string_view kDeleted = " (deleted)";
    if (file.ends_with(kDeleted)) file.resize(file.size() - kDeleted.size());
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) {
        if (S_ISBLK(info.st_mode)) return info.st_rdev;
        if (major(info.st_dev) != 0) return info.st_dev;
    }
    // The innermost mount holding the file.
    const Mount* holder = nullptr;
    for (const auto& mount : mounts)
        if (AtOrBelow(file, mount.mountPoint) &&
            (!holder || mount.mountPoint.size() >= holder->mountPoint.size()))
            holder = &mount;
    if (!holder || major(holder->device) == 0) return std::nullopt;
    return holder->device;
}

SystemUse ReadSystemUse() {
    SystemUse use;
    auto mountInfo = ReadFileBytes("/proc/self/mountinfo", kProcFileLimit + 1);
    auto swaps = ReadFileBytes("/proc/swaps", kProcFileLimit + 1);
    if (!mountInfo || mountInfo->size() > kProcFileLimit) {
        use.unreadable = "/proc/self/mountinfo cannot be read";
        return use;
    }
    if (!swaps || swaps->size() > kProcFileLimit) {
        use.unreadable = "/proc/swaps cannot be read";
        return use;
    }
    use.mounts = ParseMountInfo(*mountInfo);
    for (auto& mount : use.mounts) {
        struct stat info {};
        if (major(mount.device) == 0 && mount.source.starts_with("/dev/") &&
            ::stat(mount.source.c_str(), &info) == 0 && S_ISBLK(info.st_mode))
            mount.device = info.st_rdev;
    }
    for (const auto& path : ParseSwaps(*swaps)) {
        if (auto device = SwapDevice(path, use.mounts))
            use.swaps.push_back(*device);
        else
            use.unreadable = "the device of the swap area " + path + " cannot be found";
    }
    return use;
}

std::vector<std::string> DisksUnder(dev_t device) {
    std::vector<std::string> disks;
    CollectDisks(device, 0, disks);
    return disks;
}

bool HoldsSystem(const FoundDisk& disk, const SystemUse& use) {
    return std::any_of(use.mounts.begin(), use.mounts.end(), [&](const Mount& mount) {
        return IsSystemPath(mount.mountPoint) && RestsOn(mount.device, disk, use);
    });
}

std::vector<Mount> MountsOn(const FoundDisk& disk, const SystemUse& use) {
    std::vector<Mount> mounts;
    for (const auto& mount : use.mounts)
        if (RestsOn(mount.device, disk, use)) mounts.push_back(mount);
    return mounts;
}

std::string WriteRefusalOf(const FoundDisk& disk, const SystemUse& use) {
    std::vector<std::string> reasons;
    if (!use.unreadable.empty())
        reasons.push_back("what the running system uses is unknown (" + use.unreadable + ")");
    std::vector<std::string> systemPaths, otherMounts;
    for (const auto& mount : MountsOn(disk, use)) {
        if (IsSystemPath(mount.mountPoint))
            systemPaths.push_back(mount.mountPoint);
        else if (!mount.automounted)
            otherMounts.push_back(mount.source + " at " + mount.mountPoint);
    }
    if (!systemPaths.empty())
        reasons.push_back("it holds the running system (" + Join(systemPaths, ", ") + ")");
    std::vector<std::string> swaps;
    for (dev_t swap : use.swaps)
        if (RestsOn(swap, disk, use)) swaps.push_back(DeviceName(swap));
    if (!swaps.empty()) reasons.push_back("it holds active swap (" + Join(swaps, ", ") + ")");
    if (auto held = Holders(disk); !held.empty())
        reasons.push_back("it is in use by device mapper, md or LVM (" + Join(held, ", ") + ")");
    if (!otherMounts.empty())
        reasons.push_back("it is mounted outside /media and /run/media (" +
                          Join(otherMounts, ", ") + ")");
    if (!disk.facts.removable && !disk.usb)
        reasons.push_back("it is a fixed disk that is not on USB");
    // A loop device over a block device would write that device itself.
    std::string backing = BackingFile(disk.sysPath);
    struct stat info {};
    if (!backing.empty() && ::stat(backing.c_str(), &info) == 0 && S_ISBLK(info.st_mode))
        reasons.push_back("it is a loop device over the block device " + backing);
    return Join(reasons, "; ");
}

}  // namespace larkin::platform::linuxhw
