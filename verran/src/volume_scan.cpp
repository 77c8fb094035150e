#include "volume_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "device_handles.h"

namespace verran {

namespace {

constexpr DWORD kExtentBufferSize = 1024;

bool Examined(UINT driveType) {
    return driveType == DRIVE_UNKNOWN || driveType == DRIVE_REMOVABLE || driveType == DRIVE_FIXED;
}

}  // namespace

void ScanVolumes(DiskLetterMap& letters) {
    letters.clear();
    DWORD mask = GetLogicalDrives() >> 2;  // A: and B: are never scanned
    for (char letter = 'C'; mask != 0 && letter <= 'Z'; ++letter, mask >>= 1) {
        if ((mask & 1) == 0) continue;
        const std::string drive{letter, ':'};
        const std::string volumePath = "\\\\.\\" + drive;
        if (!Examined(GetDriveTypeA((volumePath + "\\").c_str()))) continue;

        FileHandle volume(volumePath.c_str(), GENERIC_READ, 0);
        if (!volume) continue;
        union {
            VOLUME_DISK_EXTENTS extents;
            std::array<BYTE, kExtentBufferSize> bytes;
        } reply{};
        DWORD returned = 0;
        if (!Control(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &reply, sizeof reply, &returned))
            return;

        // Only extents that lie wholly within the bytes returned are read.
        constexpr size_t kHeader = offsetof(VOLUME_DISK_EXTENTS, Extents);
        size_t room = returned > kHeader ? (std::min<size_t>(returned, sizeof reply) - kHeader) /
                                               sizeof(DISK_EXTENT)
                                         : 0;
        size_t count = std::min<size_t>(reply.extents.NumberOfDiskExtents, room);
        for (size_t i = 0; i < count; ++i) {
            DISK_EXTENT extent;
            std::memcpy(&extent, reply.bytes.data() + kHeader + i * sizeof(DISK_EXTENT),
                        sizeof extent);
            AddProperty(letters, std::to_string(extent.DiskNumber), drive, ';');
        }
    }
}

}  // namespace verran
