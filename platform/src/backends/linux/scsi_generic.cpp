#include "scsi_generic.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include "block_device.h"
#include "runtime/posix.h"

namespace larkin::platform::linuxhw {

namespace {

// The host adapter's verdict (the kernel's DID_* codes).
enum HostStatus : uint16_t {
    kHostOk = 0x00,
    kHostNoConnect = 0x01,
    kHostBusBusy = 0x02,
    kHostTimeOut = 0x03,
    kHostBadTarget = 0x04,
    kHostImmediateRetry = 0x0c,
    kHostRequeue = 0x0d,
    kHostTransportDisrupted = 0x0e,
    kHostTransportFailFast = 0x0f,
};

constexpr uint16_t kDriverMask = 0x0f;
constexpr uint16_t kDriverTimeout = 0x06;

constexpr uint32_t kDefaultTimeoutSeconds = 60;
constexpr size_t kMaxCdb = 16;

DWORD HostError(uint16_t host) {
    switch (host) {
        case kHostNoConnect:
        case kHostBadTarget:
        case kHostTransportFailFast:  // the device went away
            return ERROR_DEVICE_NOT_CONNECTED;
        case kHostTimeOut:
            return ERROR_TIMEOUT;
        case kHostBusBusy:
        case kHostImmediateRetry:
        case kHostRequeue:
        case kHostTransportDisrupted:  // worth asking again
            return ERROR_NOT_READY;
        default:
            return ERROR_IO_DEVICE;
    }
}

DWORD IoctlError(int error) {
    switch (error) {
        case ENOTTY:
        case EINVAL:  // a node that takes no SCSI commands (a loop device)
            return ERROR_NOT_SUPPORTED;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EIO:
            return ERROR_IO_DEVICE;
        case EFAULT:
            return ERROR_INVALID_USER_BUFFER;
        default:
            return DeviceError(error);
    }
}

}  // namespace

ScsiOutcome ScsiOutcomeOf(const SgIoReply& reply) {
    ScsiOutcome outcome;
    if (reply.error != 0) {
        outcome.error = IoctlError(reply.error);
        return outcome;
    }
    if (reply.hostStatus != kHostOk) {
        outcome.error = HostError(reply.hostStatus);
        return outcome;
    }
    if ((reply.driverStatus & kDriverMask) == kDriverTimeout) {
        outcome.error = ERROR_TIMEOUT;
        return outcome;
    }
    outcome.status = reply.status;
    if (reply.status == SCSISTAT_CHECK_CONDITION)
        outcome.sense.assign(reply.sense.begin(), reply.sense.end());
    int64_t resid = std::clamp<int64_t>(reply.resid, 0, reply.length);
    outcome.transferred = static_cast<uint32_t>(reply.length - resid);
    return outcome;
}

ScsiOutcome SendScsi(const std::string& node, std::span<const uint8_t> cdb, DataDirection direction,
                     std::span<std::byte> data, uint32_t timeoutSeconds) {
    ScsiOutcome outcome;
    if (direction == DataDirection::None) data = {};
    if (cdb.empty() || cdb.size() > kMaxCdb || data.size() > std::numeric_limits<uint32_t>::max()) {
        outcome.error = ERROR_INVALID_PARAMETER;
        return outcome;
    }
    // Non-blocking: a reader without media still answers TEST UNIT READY.
    // Write-protected media, or a kernel that keeps writers off a mounted
    // device, still takes commands through a read-only open.
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid() && (errno == EROFS || errno == EACCES || errno == EBUSY))
        fd.Reset(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        outcome.error = errno == ENOMEDIUM ? ERROR_NOT_READY : IoctlError(errno);
        return outcome;
    }

    std::array<uint8_t, kMaxCdb> command{};
    std::copy(cdb.begin(), cdb.end(), command.begin());
    std::array<uint8_t, 252> sense{};
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = direction == DataDirection::In    ? SG_DXFER_FROM_DEV
                             : direction == DataDirection::Out ? SG_DXFER_TO_DEV
                                                               : SG_DXFER_NONE;
    header.cmd_len = static_cast<unsigned char>(cdb.size());
    header.cmdp = command.data();
    header.mx_sb_len = static_cast<unsigned char>(sense.size());
    header.sbp = sense.data();
    header.dxfer_len = static_cast<unsigned int>(data.size());
    header.dxferp = data.empty() ? nullptr : data.data();
    uint64_t seconds = timeoutSeconds ? timeoutSeconds : kDefaultTimeoutSeconds;
    header.timeout = static_cast<unsigned int>(
        std::min<uint64_t>(seconds * 1000, std::numeric_limits<unsigned int>::max()));

    SgIoReply reply;
    // A command cut short by a signal is sent again: the ones sent here read,
    // write or ask, and mean the same the second time.
    while (::ioctl(fd.Get(), SG_IO, &header) < 0) {
        if (errno == EINTR) continue;
        reply.error = errno;
        break;
    }
    reply.status = header.status;
    reply.hostStatus = header.host_status;
    reply.driverStatus = header.driver_status;
    reply.resid = header.resid;
    reply.length = header.dxfer_len;
    reply.sense = std::span(sense).first(std::min<size_t>(header.sb_len_wr, sense.size()));
    return ScsiOutcomeOf(reply);
}

}  // namespace larkin::platform::linuxhw
