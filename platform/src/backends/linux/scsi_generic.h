// SCSI commands through SG_IO, on a disk's sg node or its block node.
#ifndef LARKIN_PLATFORM_LINUX_SCSI_GENERIC_H
#define LARKIN_PLATFORM_LINUX_SCSI_GENERIC_H

#include <cstdint>
#include <span>
#include <string>

#include "machine/backend.h"

namespace larkin::platform::linuxhw {

// What SG_IO gave back for one command.
struct SgIoReply {
    int error = 0;            // errno of the ioctl, 0 when it went through
    uint8_t status = 0;       // the target's SCSI status
    uint16_t hostStatus = 0;  // DID_*
    uint16_t driverStatus = 0;
    int resid = 0;
    uint32_t length = 0;  // bytes asked to move
    std::span<const uint8_t> sense = {};
};

// The outcome of a reply: a command that never reached the target (ioctl
// refused, host or driver failure, time-out) carries an error; one the
// target answered carries its status, and its sense on CHECK CONDITION.
ScsiOutcome ScsiOutcomeOf(const SgIoReply& reply);

// Sends one command (timeoutSeconds 0: 60 seconds); a target that answers CHECK CONDITION comes
// back with its status and sense, a command that never reached it with error set.
ScsiOutcome SendScsi(const std::string& node, std::span<const uint8_t> cdb, DataDirection direction,
                     std::span<std::byte> data, uint32_t timeoutSeconds);

}  // namespace larkin::platform::linuxhw

#endif
