#include "block_device.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

namespace larkin::platform::linuxhw {

namespace {

// O_DIRECT wants the buffer's address aligned too; a page satisfies every
// device, whatever its own DMA alignment.
constexpr size_t kMemoryAlignment = 4096;
// Unaligned transfers move through a buffer of at most this size at a time.
constexpr size_t kBounceBytes = size_t{1} << 20;

// A zeroed buffer at an address aligned for O_DIRECT.
class AlignedBuffer {
  public:
    AlignedBuffer(size_t size, size_t alignment)
        // aligned_alloc takes only whole multiples of the alignment.
        : data_(static_cast<std::byte*>(
              std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment))),
          size_(size) {
        if (data_) std::memset(data_.get(), 0, size);
    }
    bool Valid() const { return data_ != nullptr; }
    std::span<std::byte> Bytes() { return {data_.get(), size_}; }

  private:
    std::unique_ptr<std::byte, Releaser<::free>> data_;
    size_t size_;
};

bool Aligned(uint64_t value, uint64_t alignment) {
    return value % alignment == 0;
}

uint64_t RoundDown(uint64_t value, uint64_t alignment) {
    return value / alignment * alignment;
}

uint64_t RoundUp(uint64_t value, uint64_t alignment) {
    return RoundDown(value + alignment - 1, alignment);
}

// True when the request can go to the device as it stands: whole sectors
// from memory as aligned as O_DIRECT wants.
bool Direct(uint64_t offset, uint64_t size, const void* memory, uint64_t sector) {
    return Aligned(offset, sector) && Aligned(size, sector) &&
           Aligned(reinterpret_cast<uintptr_t>(memory), kMemoryAlignment);
}

// Moves [offset, offset + size) through whole, aligned sectors of a bounce
// buffer, chunk by chunk: step(at, chunk, from, to) moves one chunk, of
// which [from, to) is the request's. 0, or the first error (ENOMEM when no
// buffer could be had).
template <class Step>
int ThroughBuffer(uint64_t offset, uint64_t size, uint64_t sector, Step step) {
    const uint64_t end = offset + size;
    const uint64_t first = RoundDown(offset, sector), last = RoundUp(end, sector);
    const size_t alignment = std::max<size_t>(sector, kMemoryAlignment);
    AlignedBuffer buffer(std::min<uint64_t>(RoundUp(kBounceBytes, alignment), last - first),
                         alignment);
    if (!buffer.Valid()) return ENOMEM;
    for (uint64_t at = first; at < last;) {
        auto chunk = buffer.Bytes().first(std::min<uint64_t>(buffer.Bytes().size(), last - at));
        uint64_t from = std::max(at, offset), to = std::min(at + chunk.size(), end);
        if (int error = step(at, chunk, from, to)) return error;
        at += chunk.size();
    }
    return 0;
}

int Ioctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    while ((result = ::ioctl(fd, request, argument)) < 0 && errno == EINTR) {
    }
    return result < 0 ? errno : 0;
}

// One BLKPG request on partition number, start and length in bytes.
int Blkpg(int fd, int op, const KernelPartition& partition) {
    blkpg_partition part{};
    part.pno = static_cast<int>(partition.number);
    part.start = static_cast<long long>(partition.start);
    part.length = static_cast<long long>(partition.length);
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof part;
    arg.data = &part;
    return Ioctl(fd, BLKPG, &arg);
}

const KernelPartition* Numbered(const std::vector<KernelPartition>& list, uint32_t number) {
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const KernelPartition& p) { return p.number == number; });
    return found == list.end() ? nullptr : &*found;
}

bool SameExtent(const KernelPartition& a, const KernelPartition& b) {
    return a.start == b.start && a.length == b.length;
}

// Brings the kernel's partitions of a busy disk to those of the table on it,
// one by one: what is in use cannot be deleted, and stays as it was.
TableCommit UpdatePartitions(BlockDevice& disk) {
    TableCommit commit;
    commit.wholeDisk = false;
    auto wanted = KernelPartitions(ReadTable(disk), disk.Shape().sectorSize, disk.CurrentSize());
    auto held = HeldPartitions(disk.Fd());
    std::set<uint32_t> notUpdated;
    for (const auto& partition : held) {
        const KernelPartition* kept = Numbered(wanted, partition.number);
        if (kept && SameExtent(*kept, partition)) continue;
        int error = Blkpg(disk.Fd(), BLKPG_DEL_PARTITION, partition);
        if (error != 0 && error != ENXIO) notUpdated.insert(partition.number);
    }
    for (const auto& partition : wanted) {
        const KernelPartition* had = Numbered(held, partition.number);
        if (had && SameExtent(*had, partition)) continue;
        if (notUpdated.count(partition.number)) continue;
        // Overlapping a partition that stayed (in use) fails too.
        if (Blkpg(disk.Fd(), BLKPG_ADD_PARTITION, partition) != 0)
            notUpdated.insert(partition.number);
    }
    commit.partitionsNotUpdated.assign(notUpdated.begin(), notUpdated.end());
    return commit;
}

// BLKRRPART, and the per-partition fallback when a partition is in use.
TableCommit TakeTable(BlockDevice& disk) {
    int error = Ioctl(disk.Fd(), BLKRRPART, nullptr);
    if (error == 0) return {};
    // The kernel keeps no partitions for this disk: the table stands as written.
    if (error == EINVAL) return {};
    if (error == EBUSY) return UpdatePartitions(disk);
    TableCommit commit;
    commit.error = DeviceError(error);
    return commit;
}

}  // namespace

DWORD DeviceError(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOMEDIUM:
        case EMEDIUMTYPE:
        case ENXIO:
        case ENODEV:
        case ENOENT:
        case EIO:
            return ERROR_NOT_READY;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ENOSPC:
        case EFBIG:
        case EOVERFLOW:
            return ERROR_SECTOR_NOT_FOUND;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return static_cast<DWORD>(ErrorFromErrno(error));
    }
}

DWORD ReadShape(int fd, DeviceShape* shape) {
    DeviceShape read;
    uint64_t size = 0;
    if (int error = Ioctl(fd, BLKGETSIZE64, &size)) return DeviceError(error);
    int sectorSize = 0;
    if (int error = Ioctl(fd, BLKSSZGET, &sectorSize)) return DeviceError(error);
    // Every transfer is aligned to it: only powers of two a disk can have.
    if (sectorSize < 512 || sectorSize > 65536 || !std::has_single_bit(unsigned(sectorSize)))
        return ERROR_NOT_SUPPORTED;
    int readOnly = 0;
    if (int error = Ioctl(fd, BLKROGET, &readOnly)) return DeviceError(error);
    read.size = size;
    read.sectorSize = static_cast<uint32_t>(sectorSize);
    read.readOnly = readOnly != 0;
    // Many devices (loop, most USB bridges) have no geometry to give.
    hd_geometry geometry{};
    if (Ioctl(fd, HDIO_GETGEO, &geometry) == 0 && geometry.heads != 0 && geometry.sectors != 0) {
        read.heads = geometry.heads;
        read.sectorsPerTrack = geometry.sectors;
    }
    *shape = read;
    return ERROR_SUCCESS;
}

BlockDevice BlockDevice::Open(const std::string& node, bool write, DWORD* error) {
    BlockDevice device;
    // Other nodes may refuse O_DIRECT before they could say they are no disk.
    struct stat status {};
    if (::stat(node.c_str(), &status) == 0 && !S_ISBLK(status.st_mode)) {
        *error = ERROR_INVALID_FUNCTION;
        return device;
    }
    UniqueFd fd(::open(node.c_str(), (write ? O_RDWR : O_RDONLY) | O_DIRECT | O_CLOEXEC));
    if (!fd.Valid()) {
        int why = errno;
        // A write-protected device may refuse a writer at the door: say so.
        if (write && (why == EROFS || why == EACCES || why == EPERM)) {
            UniqueFd reader(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
            int readOnly = 0;
            if (reader.Valid() && Ioctl(reader.Get(), BLKROGET, &readOnly) == 0 && readOnly)
                why = EROFS;
        }
        *error = DeviceError(why);
        return device;
    }
    if (::fstat(fd.Get(), &status) != 0) {
        *error = DeviceError(errno);
        return device;
    }
    if (!S_ISBLK(status.st_mode)) {
        *error = ERROR_INVALID_FUNCTION;
        return device;
    }
    DeviceShape shape;
    if (DWORD failed = ReadShape(fd.Get(), &shape)) {
        *error = failed;
        return device;
    }
    if (write && shape.readOnly) {
        *error = ERROR_WRITE_PROTECT;
        return device;
    }
    device.fd_ = std::move(fd);
    device.shape_ = shape;
    device.write_ = write;
    *error = ERROR_SUCCESS;
    return device;
}

uint64_t BlockDevice::CurrentSize() {
    uint64_t size = 0;
    if (!fd_.Valid() || Ioctl(fd_.Get(), BLKGETSIZE64, &size) != 0) return 0;
    return size;
}

// Whether [offset, offset + length) lies on the device now.
DWORD BlockDevice::CheckRange(uint64_t offset, uint64_t length) {
    if (!fd_.Valid()) return ERROR_INVALID_HANDLE;
    if (offset + length < offset) return ERROR_SECTOR_NOT_FOUND;
    if (offset + length <= shape_.size) return ERROR_SUCCESS;
    // The media may have gone, or changed size since the open.
    uint64_t size = CurrentSize();
    if (size == 0) return ERROR_NOT_READY;
    shape_.size = size;
    return offset + length <= size ? ERROR_SUCCESS : ERROR_SECTOR_NOT_FOUND;
}

DWORD BlockDevice::TransferError(int error) {
    if (error == 0) return ERROR_SUCCESS;
    if (error == kEndReached || error == ENOSPC)
        return CurrentSize() == 0 ? ERROR_NOT_READY : ERROR_SECTOR_NOT_FOUND;
    // The kernel refuses writes to a device made read-only since the open.
    if (error == EPERM) {
        int readOnly = 0;
        if (Ioctl(fd_.Get(), BLKROGET, &readOnly) == 0 && readOnly) return ERROR_WRITE_PROTECT;
    }
    return DeviceError(error);
}

DWORD BlockDevice::Read(uint64_t offset, std::span<std::byte> data) {
    if (data.empty()) return fd_.Valid() ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    if (DWORD error = CheckRange(offset, data.size())) return error;
    const uint64_t sector = shape_.sectorSize;
    if (Direct(offset, data.size(), data.data(), sector))
        return TransferError(ReadWholeAt(fd_.Get(), offset, data));
    return TransferError(ThroughBuffer(
        offset, data.size(), sector,
        [&](uint64_t at, std::span<std::byte> chunk, uint64_t from, uint64_t to) {
            if (int error = ReadWholeAt(fd_.Get(), at, chunk)) return error;
            std::memcpy(data.data() + (from - offset), chunk.data() + (from - at), to - from);
            return 0;
        }));
}

DWORD BlockDevice::Write(uint64_t offset, std::span<const std::byte> data) {
    if (fd_.Valid() && !write_) return ERROR_ACCESS_DENIED;
    if (data.empty()) return fd_.Valid() ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    if (DWORD error = CheckRange(offset, data.size())) return error;
    const uint64_t sector = shape_.sectorSize;
    if (Direct(offset, data.size(), data.data(), sector))
        return TransferError(WriteWholeAt(fd_.Get(), offset, data));
    return TransferError(ThroughBuffer(
        offset, data.size(), sector,
        [&](uint64_t at, std::span<std::byte> chunk, uint64_t from, uint64_t to) {
            // Sectors the data covers only in part keep the bytes it does not.
            bool partialHead = from > at, partialTail = to < at + chunk.size();
            if (partialHead || (partialTail && chunk.size() == sector))
                if (int error = ReadWholeAt(fd_.Get(), at, chunk.first(sector))) return error;
            if (partialTail && chunk.size() > sector) {
                uint64_t tail = chunk.size() - sector;
                if (int error = ReadWholeAt(fd_.Get(), at + tail, chunk.subspan(tail)))
                    return error;
            }
            std::memcpy(chunk.data() + (from - at), data.data() + (from - offset), to - from);
            return WriteWholeAt(fd_.Get(), at, chunk);
        }));
}

DWORD BlockDevice::Flush() {
    if (!fd_.Valid()) return ERROR_INVALID_HANDLE;
    int result = 0;
    while ((result = ::fsync(fd_.Get())) != 0 && errno == EINTR) {
    }
    return result == 0 ? ERROR_SUCCESS : DeviceError(errno);
}

PartitionTable ReadTable(BlockDevice& disk) {
    const uint64_t sector = disk.Shape().sectorSize;
    return ReadPartitionTable(
        [&](uint64_t number, std::span<uint8_t, 512> data) {
            return number <= UINT64_MAX / sector &&
                   disk.Read(number * sector, std::as_writable_bytes(std::span(data))) ==
                       ERROR_SUCCESS;
        },
        disk.CurrentSize() / sector);
}

std::vector<KernelPartition> KernelPartitions(const PartitionTable& table, uint32_t sectorSize,
                                              uint64_t diskBytes) {
    std::vector<KernelPartition> found;
    if (!table.hasSignature) return found;
    for (const auto& record : table.primary) {
        if (record.status != 0 && record.status != 0x80) return found;
        if (record.type == 0xEE) return found;  // a GPT's: the kernel reads the GPT
    }
    // Partitions() numbers the entries that hold a partition in the same
    // order: primary entries, then logical ones.
    uint32_t counted = 0;
    auto systemNumber = [&](const PartitionRecord& record) -> uint32_t {
        return IsNumbered(record) ? ++counted : 0;
    };
    auto add = [&](uint32_t number, uint32_t systemNo, uint64_t start, uint64_t length) {
        if (start >= diskBytes) return;
        found.push_back({number, systemNo, start, std::min(length, diskBytes - start), {}, 0});
    };
    for (uint32_t slot = 0; slot < 4; ++slot) {
        const auto& record = table.primary[slot];
        if (record.sectors == 0) continue;
        uint64_t start = record.firstSector * sectorSize;
        uint64_t length = record.sectors * sectorSize;
        // The kernel shows a container as a stub, so that nothing mistakes
        // it for a volume, but room stays for a boot loader.
        if (IsExtendedType(record.type))
            length = std::min<uint64_t>(length, std::max<uint64_t>(sectorSize, 1024));
        add(slot + 1, systemNumber(record), start, length);
    }
    uint32_t next = 5;
    for (const auto& ebr : table.extended) {
        const auto& record = ebr.logical;
        if (record.sectors == 0 || IsExtendedType(record.type)) continue;
        add(next++, systemNumber(record), record.firstSector * sectorSize,
            record.sectors * sectorSize);
    }
    return found;
}

TableCommit CommitTable(BlockDevice& disk, std::span<const std::byte> sector0) {
    TableCommit commit;
    if (sector0.size() < 512 || sector0.size() > disk.Shape().sectorSize) {
        commit.error = ERROR_INVALID_PARAMETER;
        return commit;
    }
    commit.error = disk.Write(0, sector0);
    if (commit.error == ERROR_SUCCESS) commit.error = disk.Flush();
    if (commit.error != ERROR_SUCCESS) return commit;
    return TakeTable(disk);
}

TableCommit RereadTable(BlockDevice& disk) {
    if (!disk.IsOpen()) return {ERROR_INVALID_HANDLE, true, {}};
    return TakeTable(disk);
}

}  // namespace larkin::platform::linuxhw
