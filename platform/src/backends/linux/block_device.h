// A whole disk opened as a block device: its size and geometry, sector I/O
// that bypasses the page cache, and making the kernel take a new partition
// table.
#ifndef LARKIN_PLATFORM_LINUX_BLOCK_DEVICE_H
#define LARKIN_PLATFORM_LINUX_BLOCK_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "machine/backend.h"
#include "machine/partition_table.h"
#include "runtime/posix.h"
#include "kernel_partitions.h"

namespace larkin::platform::linuxhw {

// The Windows error for a failed system call on a device: ENOMEDIUM, ENXIO,
// ENODEV, ENOENT and EIO are ERROR_NOT_READY, EROFS ERROR_WRITE_PROTECT,
// EACCES and EPERM ERROR_ACCESS_DENIED, EBUSY ERROR_SHARING_VIOLATION, ...
DWORD DeviceError(int error);

struct DeviceShape {
    uint64_t size = 0;          // BLKGETSIZE64
    uint32_t sectorSize = 512;  // BLKSSZGET
    uint32_t heads = 255;       // HDIO_GETGEO, or 255/63 where it has no answer
    uint32_t sectorsPerTrack = 63;
    bool readOnly = false;  // BLKROGET
};

class BlockDevice {
  public:
    // Opens node (O_DIRECT, O_CLOEXEC; read-only unless write). A read-only
    // device opened for writing fails with ERROR_WRITE_PROTECT.
    static BlockDevice Open(const std::string& node, bool write, DWORD* error);
    BlockDevice() = default;

    bool IsOpen() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }
    const DeviceShape& Shape() const { return shape_; }
    // The size now (0 when the media is gone).
    uint64_t CurrentSize();

    // Any offset and length: unaligned edges go through a sector-aligned
    // buffer, read, changed and written back. A short transfer is an error.
    DWORD Read(uint64_t offset, std::span<std::byte> data);
    DWORD Write(uint64_t offset, std::span<const std::byte> data);
    DWORD Flush();

  private:
    DWORD CheckRange(uint64_t offset, uint64_t length);
    DWORD TransferError(int error);

    UniqueFd fd_;
    DeviceShape shape_;
    bool write_ = false;
};

// Reads the shape of an open device.
DWORD ReadShape(int fd, DeviceShape* shape);

// The partitions the kernel makes of a table on a disk of diskBytes whose
// logical sectors are sectorSize bytes (the table's sectors count in them):
// none for a table it does not read as MBR (no signature, a boot flag other
// than 0 or 0x80, a GPT's protective entry); a partition reaching past the
// end is cut there, one starting past it left out.
std::vector<KernelPartition> KernelPartitions(const PartitionTable& table, uint32_t sectorSize,
                                              uint64_t diskBytes);

// The table on the disk, its sectors counted in the disk's logical sectors.
PartitionTable ReadTable(BlockDevice& disk);

// Writes sector0 (512 bytes up to one logical sector) to the disk opened for
// writing and makes the kernel take the table: BLKRRPART, or, when a
// partition is in use, BLKPG per partition (deleting what changed or went,
// adding what is new; wholeDisk false, and the kernel numbers of the
// partitions it could not update come back). A disk the kernel keeps no
// partitions for (a loop device without partition scanning) takes the table
// as written: volumes are then reached through their offsets. error is set
// when the table could not be written or the kernel refused to look at it.
TableCommit CommitTable(BlockDevice& disk, std::span<const std::byte> sector0);

// Asks the kernel to read the table again (BLKRRPART), with the same
// fallback as CommitTable when busy.
TableCommit RereadTable(BlockDevice& disk);

}  // namespace larkin::platform::linuxhw

#endif
