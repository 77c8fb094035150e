#include "device_instances.h"

#include "text.h"

namespace larkin::platform {

DEVINST DeviceInstances::For(const std::string& instanceId) {
    std::lock_guard guard(mutex_);
    auto [where, added] = numbers_.emplace(Upper(instanceId), 0);
    if (added) {
        ids_.push_back(instanceId);
        where->second = static_cast<DEVINST>(ids_.size());
    }
    return where->second;
}

std::optional<std::string> DeviceInstances::Id(DEVINST devInst) {
    std::lock_guard guard(mutex_);
    if (devInst == 0 || devInst > ids_.size()) return std::nullopt;
    return ids_[devInst - 1];
}

}  // namespace larkin::platform
