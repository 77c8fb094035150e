// The one point where the platform changes what a disk stores, and the
// safety rules in front of it. Every path that writes (WriteFile on a disk
// or volume, drive-layout writes, SCSI commands through pass-through or
// ASPI, outside programs given a volume) comes through here, so no caller
// can get around the guard, and every write is in the journal before it is
// made.
#ifndef LARKIN_PLATFORM_WRITE_GUARD_H
#define LARKIN_PLATFORM_WRITE_GUARD_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "backend.h"
#include "drive_hold.h"
#include "identities.h"

namespace larkin::platform {

// A disk with these facts is never written: it holds the running system, or
// the backend found why not. The backends' I/O asks it last, should a path
// ever come there around the guard.
bool NeverWritten(const DiskFacts& facts);

// Why the disk must never be written (it holds the running system or the
// Windows directory), or "" when it may be.
std::string WriteRefusal(uint32_t disk);

// Holds the disk for an operation that erases it (see LarkinHoldDrive):
// refused with why when it must not be written, is held or written
// elsewhere, or the backend cannot ready it.
DWORD HoldDisk(uint32_t disk, const std::string& operation, std::string* why);
void ReleaseDisk(uint32_t disk);
// Why the disk would be refused for writing now, a hold elsewhere and the
// program's missing privileges included; "" when it may be written.
std::string WriteRefusalNow(uint32_t disk);
// Says a refusal on the standard error stream: callers above see only the
// Windows error.
void TellRefusal(const std::string& why);

// Writes bytes through a handle's access to its media.
// A handle's first write takes its share of the disk (see drive_hold.h):
// ERROR_SHARING_VIOLATION while another process holds the disk.
DWORD WriteMedia(MediaAccess& access, const MediaRef& media, WriterShare& share, uint64_t offset,
                 std::span<const std::byte> data, const char* via);

// Writes sector 0 of the disk and has the system take the new table.
TableCommit CommitPartitionTable(uint32_t disk, WriterShare& share,
                                 std::span<const std::byte> sector0);

// True unless the command is one known to leave the medium as it is.
bool CommandMayWrite(std::span<const uint8_t> cdb);

// Runs one SCSI command; a command that may write is refused with
// ERROR_ACCESS_DENIED when it is addressed to a disk that must not be written.
ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                        DataDirection direction, std::span<std::byte> data,
                        uint32_t timeoutSeconds);

// An outside program may write the whole volume from now until EndToolWrite.
DWORD BeginToolWrite(const VolumeInfo& volume, WriterShare& share, const std::string& tool,
                     uint64_t* key);
void EndToolWrite(uint64_t key);

}  // namespace larkin::platform

#endif
