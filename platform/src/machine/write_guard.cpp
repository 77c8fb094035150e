#include "write_guard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "machine/volume_lock_file.h"
#include "runtime/runtime.h"
#include "runtime/text.h"

namespace larkin::platform {

namespace {

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

// The name the journal gives the media.
std::string JournalName(const MachineView& view, const MediaRef& media) {
    if (!media.disk) return "floppy";
    const DiskInfo* disk = view.Disk(*media.disk);
    return disk ? disk->id : "disk" + std::to_string(*media.disk);
}

// Where a command that may write lands: the blocks of a WRITE, the whole
// disk for any other.
std::pair<uint64_t, uint64_t> WriteExtent(std::span<const uint8_t> cdb, const DiskInfo& disk) {
    auto be = [&](size_t at, size_t bytes) {
        uint64_t value = 0;
        for (size_t i = 0; i < bytes && at + i < cdb.size(); ++i) value = value << 8 | cdb[at + i];
        return value;
    };
    uint64_t sector = disk.geometry.bytesPerSector;
    uint64_t lba = 0, blocks = 0;
    switch (cdb[0]) {
        case 0x0A:  // WRITE(6)
            lba = be(1, 3) & 0x1FFFFF;
            blocks = cdb.size() > 4 && cdb[4] == 0 ? 256 : be(4, 1);
            break;
        case 0x2A:  // WRITE(10)
        case 0x2E:  // WRITE AND VERIFY(10)
            lba = be(2, 4);
            blocks = be(7, 2);
            break;
        case 0xAA:  // WRITE(12)
            lba = be(2, 4);
            blocks = be(6, 4);
            break;
        case 0x8A:  // WRITE(16)
            lba = be(2, 8);
            blocks = be(10, 4);
            break;
        default:
            return {0, disk.size};
    }
    return {lba * sector, blocks * sector};
}

std::string CommandName(uint8_t opcode) {
    switch (opcode) {
        case 0x0A:
            return "SCSI WRITE(6)";
        case 0x2A:
            return "SCSI WRITE(10)";
        case 0xAA:
            return "SCSI WRITE(12)";
        case 0x8A:
            return "SCSI WRITE(16)";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "SCSI command %02Xh", opcode);
            return text;
        }
    }
}

}  // namespace

bool NeverWritten(const DiskFacts& facts) {
    return facts.system || !facts.writeRefusal.empty();
}

std::string WriteRefusal(uint32_t disk) {
    auto view = View();
    const DiskInfo* info = view->Disk(disk);
    if (info && info->system) return "disk \"" + info->id + "\" holds the running system";
    if (info && !info->writeRefusal.empty()) return info->writeRefusal;
    // Whatever its letter, the volume of the Windows directory is the
    // running system's.
    const std::string& windows = view->windowsDirectory;
    if (windows.size() < 2 || windows[1] != ':') return {};
    std::string root = Upper(windows.substr(0, 2)) + "\\";
    for (const auto& volume : view->volumes) {
        if (volume.disk != disk) continue;
        for (const auto& path : volume.mountPaths)
            if (EqualsNoCase(path, root))
                return "disk " + std::to_string(disk) + " holds the Windows directory " + windows;
    }
    return {};
}

namespace {

std::string DiskKey(uint32_t disk) {
    auto view = View();
    const DiskInfo* info = view->Disk(disk);
    return info ? info->id : std::string();
}

}  // namespace

void TellRefusal(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "larkin: %s\n", why.c_str());
}

// The handle's share of the disk, taken at its first write; a refusal is
// said, since callers above see only the Windows error.
DWORD JoinDiskWriters(uint32_t disk, WriterShare& share) {
    if (share.Joined()) return ERROR_SUCCESS;
    std::string key = DiskKey(disk);
    if (key.empty()) return ERROR_SUCCESS;
    std::string why;
    DWORD error = Runtime::Get().holds.JoinWriters(Machine().LockFolder(), key, &share, &why);
    if (error != ERROR_SUCCESS)
        TellRefusal("disk " + std::to_string(disk) + " is not written: " + why);
    return error;
}

DWORD HoldDisk(uint32_t disk, const std::string& operation, std::string* why) {
    std::string key = DiskKey(disk);
    if (key.empty()) {
        *why = "the drive is no longer there";
        return ERROR_FILE_NOT_FOUND;
    }
    if (std::string refused = WriteRefusalNow(disk); !refused.empty()) {
        *why = refused;
        return ERROR_ACCESS_DENIED;
    }
    Runtime& runtime = Runtime::Get();
    if (DWORD error = runtime.holds.Hold(Machine().LockFolder(), key, operation, why);
        error != ERROR_SUCCESS)
        return error;
    // Another program's lock of one of its volumes keeps it too.
    auto view = View();
    for (const auto& volume : view->volumes)
        if (volume.disk == disk && VolumeLockedElsewhere(volume.key, nullptr)) {
            *why = "another program has locked its volume " +
                   (volume.mountPaths.empty() ? volume.name : volume.mountPaths.front());
            runtime.holds.Release(key);
            return ERROR_SHARING_VIOLATION;
        }
    if (DWORD error = Machine().ClaimDisk(disk, why); error != ERROR_SUCCESS) {
        runtime.holds.Release(key);
        return error;
    }
    return ERROR_SUCCESS;
}

void ReleaseDisk(uint32_t disk) {
    std::string key = DiskKey(disk);
    if (!key.empty()) Runtime::Get().holds.Release(key);
}

std::string WriteRefusalNow(uint32_t disk) {
    if (std::string refused = WriteRefusal(disk); !refused.empty()) return refused;
    if (std::string blocker = Machine().WritesRefused(); !blocker.empty()) return blocker;
    std::string key = DiskKey(disk);
    if (key.empty()) return {};
    return Runtime::Get().holds.HolderElsewhere(Machine().LockFolder(), key);
}

DWORD WriteMedia(MediaAccess& access, const MediaRef& media, WriterShare& share, uint64_t offset,
                 std::span<const std::byte> data, const char* via) {
    if (media.disk && !WriteRefusal(*media.disk).empty()) return ERROR_ACCESS_DENIED;
    if (media.disk)
        if (DWORD error = JoinDiskWriters(*media.disk, share); error != ERROR_SUCCESS) return error;
    WriteJournal& journal = Runtime::Get().Journal();
    uint64_t key = 0;
    if (DWORD error = journal.Intent(JournalName(*View(), media), offset, data.size(), via, &key);
        error != ERROR_SUCCESS)
        return error;
    DWORD error = WhileWaiting([&] { return access.Write(offset, data); });
    journal.Done(key, error == ERROR_SUCCESS);
    return error;
}

TableCommit CommitPartitionTable(uint32_t disk, WriterShare& share,
                                 std::span<const std::byte> sector0) {
    if (!WriteRefusal(disk).empty()) return TableCommit{ERROR_ACCESS_DENIED, true, {}};
    if (DWORD error = JoinDiskWriters(disk, share); error != ERROR_SUCCESS)
        return TableCommit{error, true, {}};
    WriteJournal& journal = Runtime::Get().Journal();
    uint64_t key = 0;
    if (DWORD error = journal.Intent(JournalName(*View(), MediaRef{disk}), 0, sector0.size(),
                                     "drive layout", &key);
        error != ERROR_SUCCESS)
        return TableCommit{error, true, {}};
    TableCommit commit =
        WhileWaiting([&] { return Machine().CommitPartitionTable(disk, sector0); });
    journal.Done(key, commit.error == ERROR_SUCCESS);
    return commit;
}

bool CommandMayWrite(std::span<const uint8_t> cdb) {
    if (cdb.empty()) return true;
    return std::find(kNonWriting.begin(), kNonWriting.end(), cdb[0]) == kNonWriting.end();
}

ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                        DataDirection direction, std::span<std::byte> data,
                        uint32_t timeoutSeconds) {
    // Every caller's command is measured here, where its first byte is read.
    if (cdb.empty() || cdb.size() > 16)
        return ScsiOutcome{ERROR_INVALID_PARAMETER, SCSISTAT_GOOD, {}, 0};
    Backend& machine = Machine();
    auto view = View();
    const DiskInfo* target = nullptr;
    for (const auto& disk : view->disks)
        if (disk.scsiPort == address.port && disk.scsiTarget == address.target) target = &disk;
    // A process narrowed to one disk reaches no other, not even to ask.
    if (!target && !Runtime::Get().NarrowedTo().empty())
        return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
    // A command may wait as long as its time-out for a stick that does not
    // answer; the rest of the process goes on meanwhile.
    auto send = [&] {
        return WhileWaiting(
            [&] { return machine.ExecuteScsi(address, cdb, direction, data, timeoutSeconds); });
    };
    if (!CommandMayWrite(cdb)) return send();
    if (target && !WriteRefusal(target->number).empty())
        return ScsiOutcome{ERROR_ACCESS_DENIED, SCSISTAT_GOOD, {}, 0};
    // Commands reach the disk without an open of it: an operation's hold
    // elsewhere is looked at here.
    if (target) {
        std::string key = target->id;
        if (std::string holder = Runtime::Get().holds.HolderElsewhere(machine.LockFolder(), key);
            !holder.empty()) {
            TellRefusal("disk " + std::to_string(target->number) + ": " + holder);
            return ScsiOutcome{ERROR_SHARING_VIOLATION, SCSISTAT_GOOD, {}, 0};
        }
    }
    WriteJournal& journal = Runtime::Get().Journal();
    uint64_t key = 0;
    if (target) {
        auto [offset, length] = WriteExtent(cdb, *target);
        if (DWORD error = journal.Intent(target->id, offset, length, CommandName(cdb[0]), &key);
            error != ERROR_SUCCESS)
            return ScsiOutcome{error, SCSISTAT_GOOD, {}, 0};
    }
    ScsiOutcome outcome = send();
    if (target)
        journal.Done(key, outcome.error == ERROR_SUCCESS && outcome.status == SCSISTAT_GOOD);
    return outcome;
}

DWORD BeginToolWrite(const VolumeInfo& volume, WriterShare& share, const std::string& tool,
                     uint64_t* key) {
    if (volume.disk && !WriteRefusal(*volume.disk).empty()) return ERROR_ACCESS_DENIED;
    if (volume.disk)
        if (DWORD error = JoinDiskWriters(*volume.disk, share); error != ERROR_SUCCESS)
            return error;
    return Runtime::Get().Journal().Intent(JournalName(*View(), volume.Media()), volume.offset,
                                           volume.length, tool, key);
}

void EndToolWrite(uint64_t key) {
    Runtime::Get().Journal().Done(key, true);
}

}  // namespace larkin::platform
