// The partitions the kernel keeps for a disk (from sysfs) and their device
// nodes, where it made any: the way to a volume that the kernel knows as a
// device of its own.
#ifndef LARKIN_PLATFORM_LINUX_KERNEL_PARTITIONS_H
#define LARKIN_PLATFORM_LINUX_KERNEL_PARTITIONS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace larkin::platform::linuxhw {

struct KernelPartition {
    uint32_t number = 0;
    std::string kernelName;  // "sdb1"
    dev_t device = 0;
    uint64_t offset = 0;  // bytes from the start of the disk
    uint64_t length = 0;
};

// The partitions below a disk's sysfs folder; none where it cannot be read.
std::vector<KernelPartition> KernelPartitionsOf(const std::string& diskSysPath);

// "/dev/NAME" when that is a block device node of the partition's number;
// "" when the kernel (or a container) made none.
std::string NodeOf(const KernelPartition& partition);

// True when path names a block device with exactly that number.
bool IsNodeOf(const std::string& path, dev_t device);

}  // namespace larkin::platform::linuxhw

#endif
