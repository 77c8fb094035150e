#include "fault_table.h"

#include "text.h"
#include "larkin/test_controls.h"

namespace larkin::platform {

void FaultTable::Record(bool on) {
    std::lock_guard lock(mutex_);
    recording_ = on;
    if (on) recorded_.clear();
}

std::vector<larkin::controls::CallRecord> FaultTable::Recorded() {
    std::lock_guard lock(mutex_);
    return recorded_;
}

void FaultTable::Add(const larkin::controls::Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back({fault});
}

void FaultTable::Clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

bool FaultTable::Fires(std::string_view call, std::string_view device, DWORD ioctl) {
    std::lock_guard lock(mutex_);
    if (recording_) recorded_.push_back({std::string(call), std::string(device), ioctl});
    for (auto& active : faults_) {
        const auto& fault = active.fault;
        if (fault.call != call) continue;
        if (fault.ioctl != 0 && fault.ioctl != ioctl) continue;
        if (!fault.device.empty() && !ContainsNoCase(device, fault.device)) continue;
        if (active.seen++ < fault.skip) continue;
        if (fault.count != 0 && active.fired >= fault.count) continue;
        ++active.fired;
        SetLastError(fault.error);
        return true;
    }
    return false;
}

}  // namespace larkin::platform
