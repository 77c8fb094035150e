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

// A partition as the kernel numbers it (sdb5 is 5): primary entries by their
// slot, 1 to 4, an extended container as a stub of its first sector or two,
// logical partitions from 5 in chain order.
struct KernelPartition {
    uint32_t number = 0;
    uint32_t systemNumber = 0;  // its number in Partitions(); 0 where it has none
    uint64_t start = 0;         // bytes from the start of the disk
    uint64_t length = 0;
    // Of a partition the kernel holds now: its name ("sdb1") and number.
    std::string kernelName;
    dev_t device = 0;
    bool operator==(const KernelPartition&) const = default;
};

// The partitions the kernel holds for a disk now, by number, from the
// disk's sysfs folder (systemNumber is 0); none where it cannot be read.
std::vector<KernelPartition> KernelPartitionsOf(const std::string& diskSysPath);
// The same for an open disk.
std::vector<KernelPartition> HeldPartitions(int fd);

// "/dev/NAME" when that is a block device node of the partition's number;
// "" when the kernel (or a container) made none.
std::string NodeOf(const KernelPartition& partition);

// True when path names a block device with exactly that number.
bool IsNodeOf(const std::string& path, dev_t device);

}  // namespace larkin::platform::linuxhw

#endif
