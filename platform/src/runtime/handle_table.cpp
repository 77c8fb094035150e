#include "handle_table.h"

namespace larkin::platform {

HANDLE HandleTable::Add(std::shared_ptr<Object> object) {
    std::lock_guard lock(mutex_);
    next_ += 4;  // Windows handles are multiples of four
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<HANDLE>(next_);
}

std::shared_ptr<Object> HandleTable::Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return found == objects_.end() ? nullptr : found->second;
}

std::shared_ptr<Object> HandleTable::Remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == objects_.end()) return nullptr;
    auto object = std::move(found->second);
    objects_.erase(found);
    return object;
}

void HandleTable::Clear() {
    std::map<uintptr_t, std::shared_ptr<Object>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(objects_);
    }
}

std::vector<HANDLE> HandleTable::Handles() {
    std::lock_guard lock(mutex_);
    std::vector<HANDLE> handles;
    for (const auto& [value, object] : objects_) handles.push_back(reinterpret_cast<HANDLE>(value));
    return handles;
}

}  // namespace larkin::platform
