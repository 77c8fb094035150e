#include "partition/partition_entry.h"

#include <new>
#include <vector>

#include "exports/message_channel.h"
#include "partition/drive_geometry.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

// The layout buffer, in 8-byte units so that the structures are aligned.
using LayoutBuffer = std::vector<std::uint64_t>;

bool Allocate(LayoutBuffer& buffer, DWORD size) {
    try {
        buffer.assign(size / sizeof(std::uint64_t), 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

DWORD ByteSize(const LayoutBuffer& buffer) {
    return static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
}

bool GetLayout(HANDLE drive, LayoutBuffer& buffer) {
    DWORD returned = 0;
    return DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(),
                           ByteSize(buffer), &returned, nullptr) != FALSE;
}

// Reads the layout into a buffer that grows until it fits; false when it
// cannot be read.
bool ReadLayout(HANDLE drive, LayoutBuffer& buffer) {
    for (DWORD size = kLayoutBufferStart; size < kLayoutBufferLimit; size += kLayoutBufferStep) {
        if (!Allocate(buffer, size)) return false;
        if (GetLayout(drive, buffer)) return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    }
    return false;
}

void ReportFailure(const char* line) {
    WriteMessageLine(line);
    PrintSystemMessage();
}

}  // namespace

bool ApplyPartitionEntry(HANDLE drive, std::uint32_t hidden, std::uint64_t sectors, bool commit,
                         std::uint8_t type) {
    LayoutBuffer buffer;
    if (!ReadLayout(drive, buffer)) return false;
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    if (layout->PartitionCount == 0) return false;
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    PARTITION_INFORMATION_EX& entry = layout->PartitionEntry[0];
    entry.Mbr.BootIndicator = TRUE;
    if (hidden != 0) entry.Mbr.HiddenSectors = hidden;
    if (sectors != 0)
        entry.PartitionLength.QuadPart = static_cast<LONGLONG>(sectors * kSectorBytes);
    if (type != 0) entry.Mbr.PartitionType = type;
    entry.RewritePartition = TRUE;
    if (!commit) return true;

    bool result = true;
    DWORD returned = 0;
    if (!DeviceIoControl(drive, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), ByteSize(buffer),
                         nullptr, 0, &returned, nullptr)) {
        ReportFailure("\n Unable to partition Dest Device");
        result = false;
    }
    if (!DeviceIoControl(drive, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                         nullptr)) {
        ReportFailure("\n Unable to Update Dest Device Properties");
        result = false;
    }
    std::fill(buffer.begin(), buffer.end(), 0);
    if (!GetLayout(drive, buffer)) {
        ReportFailure("\n Unable to partition Dest Device");
        result = false;
    }
    return result;
}

}  // namespace tessel
