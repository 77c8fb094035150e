#include "volume_claim.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "block_device.h"

namespace larkin::platform::linuxhw {

namespace {

std::string Describe(const Mount& mount) {
    return (mount.source.empty() ? std::string("the volume") : mount.source) + " on " +
           mount.mountPoint;
}

}  // namespace

DWORD UnmountAutomounted(const std::vector<Mount>& mounts, std::string* why) {
    // Nothing is unmounted unless everything may be.
    for (const auto& mount : mounts) {
        if (mount.automounted) continue;
        if (why)
            *why = Describe(mount) +
                   " was mounted by the system, not by the desktop: unmount it first";
        return ERROR_ACCESS_DENIED;
    }
    for (const auto& mount : mounts) {
        int result = 0;
        while ((result = ::umount2(mount.mountPoint.c_str(), UMOUNT_NOFOLLOW)) != 0 &&
               errno == EINTR) {
        }
        // Someone else unmounted it meanwhile: it is gone as wanted.
        if (result == 0 || errno == EINVAL || errno == ENOENT) continue;
        int error = errno;
        if (why) {
            *why =
                error == EBUSY
                    ? Describe(mount) + " is busy: a program is using its files; close them first"
                    : Describe(mount) + " could not be unmounted: " + std::strerror(error);
        }
        return error == EBUSY ? ERROR_ACCESS_DENIED : DeviceError(error);
    }
    return ERROR_SUCCESS;
}

DWORD VolumeClaim::Take(const std::string& node, const std::vector<Mount>& mounts,
                        VolumeClaim* claim, std::string* why) {
    claim->Release();
    if (DWORD error = UnmountAutomounted(mounts, why)) return error;
    // Read-only is enough to claim: exclusivity does not depend on the mode,
    // and write-protected media can be claimed too.
    UniqueFd fd(::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!fd.Valid()) {
        int error = errno;
        if (why) {
            *why =
                error == EBUSY
                    ? node +
                          " is in use: another program holds it or a file system is mounted from it"
                    : node + " could not be opened: " + std::strerror(error);
        }
        return error == EBUSY ? ERROR_ACCESS_DENIED : DeviceError(error);
    }
    claim->fd_ = std::move(fd);
    return ERROR_SUCCESS;
}

}  // namespace larkin::platform::linuxhw
