// The handles of this process and the objects they stand for.
#ifndef LARKIN_PLATFORM_HANDLE_TABLE_H
#define LARKIN_PLATFORM_HANDLE_TABLE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "win32/base.h"

namespace larkin::platform {

// Everything a HANDLE can stand for.
class Object {
  public:
    virtual ~Object() = default;
};

class HandleTable {
  public:
    HANDLE Add(std::shared_ptr<Object> object);
    // The object behind handle if it is a T; otherwise null, with
    // ERROR_INVALID_HANDLE as the last error.
    template <class T>
    std::shared_ptr<T> Get(HANDLE handle) {
        auto object = std::dynamic_pointer_cast<T>(Find(handle));
        if (!object) SetLastError(ERROR_INVALID_HANDLE);
        return object;
    }
    std::shared_ptr<Object> Find(HANDLE handle);
    std::shared_ptr<Object> Remove(HANDLE handle);
    template <class T>
    std::vector<std::shared_ptr<T>> All() {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<T>> found;
        for (auto& [key, object] : objects_)
            if (auto typed = std::dynamic_pointer_cast<T>(object)) found.push_back(typed);
        return found;
    }
    void Clear();
    std::vector<HANDLE> Handles();

  private:
    std::mutex mutex_;
    uintptr_t next_ = 0x100;
    std::map<uintptr_t, std::shared_ptr<Object>> objects_;
};

}  // namespace larkin::platform

#endif
