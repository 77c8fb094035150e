// The one point where the platform changes what a disk stores, and the
// safety rules in front of it. Every path that writes (WriteFile on a disk
// or volume, drive-layout writes, SCSI commands through pass-through or
// ASPI) comes through here, so no caller can get around the guard.
#ifndef LARKIN_PLATFORM_WRITE_GUARD_H
#define LARKIN_PLATFORM_WRITE_GUARD_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "backend.h"

namespace larkin::platform {

// Why the disk must never be written (it holds the running system or the
// Windows directory), or "" when it may be.
std::string WriteRefusal(uint32_t disk);

// Writes bytes to media ("disk:N" or another media id) after the guard.
// via names the path that wrote, for the machine's journal.
DWORD WriteMedia(const std::string& media, uint64_t offset, std::span<const std::byte> data,
                 const char* via);

// True unless the command is one known to leave the medium as it is.
bool CommandMayWrite(std::span<const uint8_t> cdb);

// Runs one SCSI command; a command that may write is refused with
// ERROR_ACCESS_DENIED when it is addressed to a disk that must not be written.
ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                        DataDirection direction, std::span<std::byte> data);

}  // namespace larkin::platform

#endif
