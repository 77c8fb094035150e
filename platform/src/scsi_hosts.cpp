// SCSI host adapters as an ASPI manager sees them, for the ASPI library.
#include <algorithm>
#include <cstring>

#include "larkin/platform.h"
#include "guard.h"
#include "runtime.h"
#include "write_guard.h"

using namespace larkin::platform;

namespace {
constexpr uint32_t kAspiTimeoutSeconds = 30;
}  // namespace

DWORD LarkinScsiHostCount(void) {
    return larkin::platform::Guarded<DWORD>(0, [&]() -> DWORD {
        std::lock_guard guard(Runtime::Get().lock);
        return static_cast<DWORD>(View()->aspiHosts.size());
    });
}

BOOL LarkinScsiHostInfo(DWORD host, LARKIN_SCSI_HOST* info) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::lock_guard guard(Runtime::Get().lock);
        auto hosts = View()->aspiHosts;
        if (info == nullptr || host >= hosts.size()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const AspiHostInfo& found = hosts[host];
        std::memset(info, 0, sizeof *info);
        info->hostScsiId = found.hostScsiId;
        info->maxTargets = found.maxTargets;
        std::strncpy(info->manager, found.manager.c_str(), 16);
        std::strncpy(info->identifier, found.identifier.c_str(), 16);
        return TRUE;
    });
}

BOOL LarkinScsiRescanHost(DWORD host) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::lock_guard guard(Runtime::Get().lock);
        if (host >= View()->aspiHosts.size()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        Machine().Rescan();
        return TRUE;
    });
}

DWORD LarkinScsiExecute(DWORD host, BYTE target, BYTE lun, const BYTE* cdb, BYTE cdbLength,
                        int direction, void* data, DWORD length, BYTE* sense, BYTE senseLength,
                        BYTE* status) {
    return larkin::platform::Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        std::lock_guard guard(Runtime::Get().lock);
        auto hosts = View()->aspiHosts;
        if (host >= hosts.size() || cdb == nullptr || cdbLength == 0 || cdbLength > 16 ||
            status == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (FaultFires("LarkinScsiExecute", std::to_string(host) + ":" + std::to_string(target)))
            return GetLastError();
        DataDirection dir = direction == LARKIN_SCSI_DATA_IN    ? DataDirection::In
                            : direction == LARKIN_SCSI_DATA_OUT ? DataDirection::Out
                                                                : DataDirection::None;
        std::span<std::byte> buffer(static_cast<std::byte*>(data),
                                    data && dir != DataDirection::None ? length : 0);
        // ASPI requests carry no time-out of their own: the driver's default.
        ScsiOutcome outcome =
            ExecuteScsi({hosts[host].port, target, lun}, std::span<const uint8_t>(cdb, cdbLength),
                        dir, buffer, kAspiTimeoutSeconds);
        if (outcome.error != ERROR_SUCCESS) return outcome.error;
        *status = outcome.status;
        if (sense && senseLength > 0) {
            std::memset(sense, 0, senseLength);
            if (!outcome.sense.empty())
                std::memcpy(sense, outcome.sense.data(),
                            std::min<size_t>(senseLength, outcome.sense.size()));
        }
        return ERROR_SUCCESS;
    });
}
