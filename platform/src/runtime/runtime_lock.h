// The runtime's lock: recursive, as the API's calls nest, and able to be let
// go whole for the time a call waits on a device. A read, a write or a SCSI
// command may block for as long as a stick takes to answer; no other thread's
// call should wait behind it.
#ifndef LARKIN_PLATFORM_RUNTIME_LOCK_H
#define LARKIN_PLATFORM_RUNTIME_LOCK_H

#include <mutex>

namespace larkin::platform {

class RuntimeLock {
  public:
    void lock();
    bool try_lock();
    void unlock();

    // While it lives, this thread holds the lock no more (at whatever depth
    // it held it); it takes it again, as deep, when it goes. What the caller
    // read under the lock may have changed meanwhile.
    class Released {
      public:
        explicit Released(RuntimeLock& lock);
        ~Released();
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

      private:
        RuntimeLock& lock_;
        int depth_;
    };

  private:
    std::recursive_mutex mutex_;
};

}  // namespace larkin::platform

#endif
