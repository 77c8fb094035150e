// SCSI commands through SG_IO, on a disk's sg node or its block node.
#ifndef LARKIN_PLATFORM_LINUX_SCSI_GENERIC_H
#define LARKIN_PLATFORM_LINUX_SCSI_GENERIC_H

#include <cstdint>
#include <span>
#include <string>

#include "core/backend.h"

namespace larkin::platform::linuxhw {

// Sends one command; a target that answers CHECK CONDITION comes back with
// its status and sense, a command that never reached it with error set.
ScsiOutcome SendScsi(const std::string& node, std::span<const uint8_t> cdb, DataDirection direction,
                     std::span<std::byte> data, uint32_t timeoutSeconds);

}  // namespace larkin::platform::linuxhw

#endif
