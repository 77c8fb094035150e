#include "write_guard.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "runtime.h"
#include "text.h"

namespace larkin::platform {

namespace {

std::optional<uint32_t> DiskOfMedia(const std::string& media) {
    if (!StartsWithNoCase(media, "disk:") || media.size() == 5) return std::nullopt;
    char* end = nullptr;
    unsigned long number = std::strtoul(media.c_str() + 5, &end, 10);
    if (*end != '\0' || number > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(number);
}

// Operation codes that read or report and never change the medium. Anything
// else (the write commands, FORMAT UNIT, WRITE SAME, UNMAP, ATA pass-through,
// vendor commands) counts as a write.
constexpr std::array<uint8_t, 26> kNonWriting = {
    0x00,  // TEST UNIT READY
    0x03,  // REQUEST SENSE
    0x08,  // READ(6)
    0x12,  // INQUIRY
    0x1A,  // MODE SENSE(6)
    0x1C,  // RECEIVE DIAGNOSTIC RESULTS
    0x1E,  // PREVENT ALLOW MEDIUM REMOVAL
    0x23,  // READ FORMAT CAPACITIES
    0x25,  // READ CAPACITY(10)
    0x28,  // READ(10)
    0x2F,  // VERIFY(10)
    0x34,  // PRE-FETCH(10)
    0x35,  // SYNCHRONIZE CACHE(10)
    0x37,  // READ DEFECT DATA(10)
    0x3C,  // READ BUFFER
    0x43,  // READ TOC
    0x46,  // GET CONFIGURATION
    0x4A,  // GET EVENT STATUS NOTIFICATION
    0x4D,  // LOG SENSE
    0x51,  // READ DISC INFORMATION
    0x5A,  // MODE SENSE(10)
    0x88,  // READ(16)
    0x91,  // SYNCHRONIZE CACHE(16)
    0x9E,  // SERVICE ACTION IN(16): READ CAPACITY(16)
    0xA0,  // REPORT LUNS
    0xA8,  // READ(12)
};

}  // namespace

std::string WriteRefusal(uint32_t disk) {
    Backend& machine = Machine();
    if (std::string why = machine.WriteRefusal(disk); !why.empty()) return why;
    // Whatever its letter, the volume of the Windows directory is the
    // running system's.
    std::string windows = machine.WindowsDirectory();
    if (windows.size() < 2 || windows[1] != ':') return {};
    std::string root = Upper(windows.substr(0, 2)) + "\\";
    for (const auto& volume : *machine.Volumes()) {
        if (volume.disk != disk) continue;
        for (const auto& path : volume.mountPaths)
            if (EqualsNoCase(path, root))
                return "disk " + std::to_string(disk) + " holds the Windows directory " + windows;
    }
    return {};
}

DWORD WriteMedia(const std::string& media, uint64_t offset, std::span<const std::byte> data,
                 const char* via) {
    if (auto disk = DiskOfMedia(media); disk && !WriteRefusal(*disk).empty())
        return ERROR_ACCESS_DENIED;
    return Machine().Write(media, offset, data, via);
}

bool CommandMayWrite(std::span<const uint8_t> cdb) {
    if (cdb.empty()) return true;
    return std::find(kNonWriting.begin(), kNonWriting.end(), cdb[0]) == kNonWriting.end();
}

ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                        DataDirection direction, std::span<std::byte> data) {
    Backend& machine = Machine();
    if (CommandMayWrite(cdb)) {
        for (const auto& disk : *machine.Disks())
            if (disk.scsiPort == address.port && disk.scsiTarget == address.target &&
                !WriteRefusal(disk.number).empty())
                return ScsiOutcome{ERROR_ACCESS_DENIED, SCSISTAT_GOOD, {}, 0};
    }
    return machine.ExecuteScsi(address, cdb, direction, data);
}

}  // namespace larkin::platform
