#include "kernel_partitions.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "sysfs_attributes.h"

namespace larkin::platform::linuxhw {

std::vector<KernelPartition> KernelPartitionsOf(const std::string& diskSysPath) {
    std::vector<KernelPartition> partitions;
    for (const std::string& name : ListFolder(diskSysPath)) {
        std::string folder = diskSysPath + "/" + name;
        auto number = ParseDecimal(TextAttribute(folder, "partition"));
        // Sizes in sysfs count 512-byte units whatever the disk's sector.
        auto start = ParseDecimal(TextAttribute(folder, "start"));
        auto sectors = ParseDecimal(TextAttribute(folder, "size"));
        auto device = ParseDeviceNumber(TextAttribute(folder, "dev"));
        if (!number || !start || !sectors || !device || *number == 0 || *number > 0xFFFF) continue;
        partitions.push_back(
            {static_cast<uint32_t>(*number), 0, *start * 512, *sectors * 512, name, *device});
    }
    std::sort(partitions.begin(), partitions.end(),
              [](const auto& a, const auto& b) { return a.number < b.number; });
    return partitions;
}

std::vector<KernelPartition> HeldPartitions(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) return {};
    return KernelPartitionsOf("/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" +
                              std::to_string(minor(status.st_rdev)));
}

bool IsNodeOf(const std::string& path, dev_t device) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
           status.st_rdev == device;
}

std::string NodeOf(const KernelPartition& partition) {
    std::string node = "/dev/" + partition.kernelName;
    return IsNodeOf(node, partition.device) ? node : std::string();
}

}  // namespace larkin::platform::linuxhw
