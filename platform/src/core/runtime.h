// The process-wide state behind the API: the backend, the picture of the
// machine made from its facts, the handle table, the write journal, the
// faults and the pause record. One instance per process, in this library.
//
// Lock order: Runtime::lock (the API's work on the machine) before the
// handle table's, the fault table's and the pause record's own mutexes;
// the window manager's mutex and a started program's mutex are never held
// while taking another. No lock is held while a call blocks (waits for a
// program, sleeps, or runs an outside tool).
#ifndef LARKIN_PLATFORM_RUNTIME_H
#define LARKIN_PLATFORM_RUNTIME_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "identities.h"
#include "write_journal.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"

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

class FaultTable {
  public:
    void Add(const larkin::sim::Fault& fault);
    void Clear();
    // True (with the fault's error as the last error) when a fault fires.
    bool Fires(std::string_view call, std::string_view device, DWORD ioctl);
    void Record(bool on);
    std::vector<larkin::sim::CallRecord> Recorded();

  private:
    bool recording_ = false;
    std::vector<larkin::sim::CallRecord> recorded_;
    struct Active {
        larkin::sim::Fault fault;
        int seen = 0;
        int fired = 0;
    };
    std::mutex mutex_;
    std::vector<Active> faults_;
};

class Runtime {
  public:
    static Runtime& Get();

    // Starts on the given machine file, LARKIN_MACHINE or hardware.
    bool Start(const char* machineFile, std::string* error);
    bool Restart(const std::string& machineFile, std::string* error);
    Backend& TheBackend();
    const std::string& StartError() const { return startError_; }
    // The machine as it is now, made again only when the backend signals a change.
    std::shared_ptr<const MachineView> View();
    WriteJournal& Journal();

    HandleTable handles;
    FaultTable faults;

    std::mutex pauseMutex;
    std::vector<DWORD> pauses;

    std::atomic<LARKIN_MESSAGE_BOX_HANDLER> messageBoxHandler{nullptr};
    std::atomic<void*> messageBoxContext{nullptr};

    // Serialises the API's work on the backend and its own tables.
    std::recursive_mutex lock;

  private:
    Runtime() = default;
    bool StartLocked(const char* machineFile, std::string* error);

    std::unique_ptr<Backend> backend_;
    std::string startError_;
    std::unique_ptr<WriteJournal> journal_;
    std::shared_ptr<const MachineView> view_;
};

// The backend, started on first use.
inline Backend& Machine() {
    return Runtime::Get().TheBackend();
}
// The machine as Windows shows it now.
inline std::shared_ptr<const MachineView> View() {
    return Runtime::Get().View();
}
// True when call on device is to fail now; the last error is then set.
bool FaultFires(std::string_view call, std::string_view device = {}, DWORD ioctl = 0);

// LARKIN_TIME_SCALE, where it is set, into scale: a number from 0 to 1000
// by which every pause is scaled.
bool TimeScaleFromEnvironment(double* scale, std::string* error);

// Backends.
std::unique_ptr<Backend> MakeSimulatedBackend(const std::string& machineFile, std::string* error,
                                              FaultTable& faults);
std::unique_ptr<Backend> MakeLinuxBackend(std::string* error);
std::unique_ptr<Backend> MakeUnavailableBackend(std::string reason);

// Hooks the other API parts register to forget their per-process state on
// Restart (windows, consoles, loaded modules keep their own tables).
void ResetWindows();
void ResetConsoles();

}  // namespace larkin::platform

#endif
