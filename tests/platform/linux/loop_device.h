// A real block device for tests: a loop device over a sparse file of its
// own. It needs root and loop devices; a test without them is skipped.
#ifndef LARKIN_TESTS_LOOP_DEVICE_H
#define LARKIN_TESTS_LOOP_DEVICE_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "test_machine.h"

namespace larkin::test {

struct LoopOptions {
    uint64_t size = 64ull << 20;
    uint32_t sectorSize = 512;  // the device's logical sector size
    bool readOnly = false;
    bool partitionScan = false;  // the kernel reads the device's partition table
};

// A partition the kernel holds for the device: start and length in bytes.
using LoopPartition = std::pair<uint64_t, uint64_t>;

class LoopDevice {
  public:
    LoopDevice() = default;
    // A partition the kernel still holds (in use) then is a failure.
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    // "" when attached, else why not; Unavailable() then tells a machine
    // without root or loop devices from a failure.
    std::string Attach(const LoopOptions& options = {});
    bool Unavailable() const { return unavailable_; }

    // Pulls the stick out: open handles see no media; its data is lost.
    void Detach();

    // Unplugs the stick and takes its device number away (handles must be
    // closed first): false when the kernel refused.
    bool Vanish();

    const std::string& Node() const { return node_; }  // "/dev/loop3"
    std::string KernelName() const;                    // "loop3"
    const std::string& BackingFile() const { return backing_; }
    const LoopOptions& Options() const { return options_; }

    // The partitions the kernel holds, by number, as sysfs shows them.
    std::map<uint32_t, LoopPartition> Partitions() const;
    // Makes the kernel hold a partition (BLKPG): false when it refuses.
    bool AddPartition(uint32_t number, uint64_t start, uint64_t length);
    // A node for the partition (made where /dev has none); "" when there is none.
    std::string PartitionNode(uint32_t number);

    // The backing file's bytes, past the device and its page cache (only
    // O_DIRECT readers see what WriteBacking wrote).
    std::vector<std::byte> ReadBacking(uint64_t offset, size_t length) const;
    void WriteBacking(uint64_t offset, std::span<const std::byte> data) const;

  private:
    // Drops the partitions (the kernel keeps those given one by one even
    // after the device is detached, for the next user of the number to trip
    // over) and lets the device go.
    void Release();
    std::string Configure(int control);
    // /dev/name where that is the device sysfs shows, else a node made for it.
    std::string NodeOf(const std::string& name, const std::string& sysfsFolder);

    LoopOptions options_;
    TempFolder folder_;  // the backing file and any nodes made
    std::string backing_, node_;
    int device_ = -1;  // held open: the device stays ours while it is
    bool unavailable_ = false;
};

// One MBR primary entry; first and sectors count the disk's own sectors.
struct MbrEntry {
    int slot = 0;  // 0..3
    uint8_t type = 0;
    uint32_t first = 0;
    uint32_t sectors = 0;
    uint8_t status = 0;  // 0x80: active
};
// A boot record holding these entries, signed.
std::vector<std::byte> Mbr(std::initializer_list<MbrEntry> entries);

// Bytes whose every 512-byte sector says where it is and what wrote it.
std::vector<std::byte> Pattern(size_t length, uint8_t seed);

// Whether this kernel reads MBR tables itself (CONFIG_MSDOS_PARTITION); it
// takes partitions one by one (BLKPG) either way.
bool KernelReadsMbrTables();

// A folder with a file system mounted on it, unmounted and removed at the
// end, whatever the test did.
class MountPoint {
  public:
    // A new folder below parent ("/tmp", "/media": made when missing).
    explicit MountPoint(const std::string& parent);
    ~MountPoint();
    MountPoint(const MountPoint&) = delete;
    MountPoint& operator=(const MountPoint&) = delete;

    // Mounts node (of fileSystem) on the folder: "" when done, else why not.
    std::string Mount(const std::string& node, const std::string& fileSystem);
    bool Mounted() const;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string madeParent_;
};

// Whether the kernel mounts fileSystem.
bool KernelOffers(const std::string& fileSystem);

}  // namespace larkin::test

// Attaches loop (a LoopDevice) with the options given; skips the test where
// this machine offers no loop devices and fails it where attaching failed.
#define LARKIN_ATTACH_LOOP(loop, ...)                               \
    do {                                                            \
        std::string loopProblem_ = (loop).Attach(__VA_ARGS__);      \
        if (!loopProblem_.empty()) {                                \
            if ((loop).Unavailable()) GTEST_SKIP() << loopProblem_; \
            FAIL() << "attaching a loop device: " << loopProblem_;  \
        }                                                           \
    } while (false)

#endif
