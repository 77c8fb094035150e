#include "runtime_lock.h"

namespace larkin::platform {

namespace {
// How deep this thread holds the runtime's lock (there is one per process).
thread_local int depth = 0;
}  // namespace

void RuntimeLock::lock() {
    mutex_.lock();
    ++depth;
}

bool RuntimeLock::try_lock() {
    if (!mutex_.try_lock()) return false;
    ++depth;
    return true;
}

void RuntimeLock::unlock() {
    --depth;
    mutex_.unlock();
}

RuntimeLock::Released::Released(RuntimeLock& lock) : lock_(lock), depth_(depth) {
    for (int i = 0; i < depth_; ++i) lock_.unlock();
}

RuntimeLock::Released::~Released() {
    for (int i = 0; i < depth_; ++i) lock_.lock();
}

}  // namespace larkin::platform
