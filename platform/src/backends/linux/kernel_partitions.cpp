#include "kernel_partitions.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace larkin::platform::linuxhw {

namespace {

bool ReadNumber(const std::filesystem::path& file, uint64_t* value) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text)) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

bool ReadDevice(const std::filesystem::path& file, dev_t* device) {
    std::ifstream in(file);
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(in >> major >> colon >> minor) || colon != ':') return false;
    *device = makedev(major, minor);
    return true;
}

}  // namespace

std::vector<KernelPartition> KernelPartitionsOf(const std::string& diskSysPath) {
    std::vector<KernelPartition> partitions;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(diskSysPath, error)) {
        uint64_t number = 0, start = 0, sectors = 0;
        // Sizes in sysfs count 512-byte units whatever the disk's sector.
        const auto& folder = entry.path();
        if (!ReadNumber(folder / "partition", &number) || !ReadNumber(folder / "start", &start) ||
            !ReadNumber(folder / "size", &sectors) || number == 0 || number > 0xFFFF)
            continue;
        KernelPartition partition;
        if (!ReadDevice(folder / "dev", &partition.device)) continue;
        partition.number = static_cast<uint32_t>(number);
        partition.kernelName = folder.filename().string();
        partition.start = start * 512;
        partition.length = sectors * 512;
        partitions.push_back(partition);
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
