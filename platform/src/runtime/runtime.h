// The process-wide state behind the API: the backend, the picture of the
// machine made from its facts with its device-tree index, the handle table,
// the write journal, the faults, the pause record, the loaded modules, the
// windows, the started programs and the device instance numbers. One
// instance per process, in this library.
//
// Lock order, outermost first; a mutex may be held while taking one below
// it, never one above it:
//   1. modules.mutex (recursive): held while a module's entry point runs,
//      which may call anything below;
//   2. a handle's positionLock, held across a read or write on it;
//   3. Runtime::lock (recursive): the API's work on the machine. Let go
//      whole while a call waits on a device (RuntimeLock::Released): a
//      read, a write, a SCSI command, a rescan of the hardware;
//   4. the backend's own mutexes, taken by its calls and never held while
//      its I/O blocks;
//   5. the tables' own mutexes: the handle table's, the fault table's,
//      pauseMutex, the device instance numbers', the started programs', and
//      the window table's; none of them is held while taking another;
//   6. a started program's own mutex, which a window's check of whether its
//      console program runs may take last.
// No lock is held while a call blocks: waiting for a device, a program or a
// message, sleeping, running an outside tool. Of the cross-process file
// locks, drive holds, writer shares and volume locks are tried, never waited
// for; the simulated machine's state lock is waited for, and held only for
// a read or write of its small state files. A module entry point that
// waits holds modules.mutex, as it would hold the loader lock on Windows.
#ifndef LARKIN_PLATFORM_RUNTIME_H
#define LARKIN_PLATFORM_RUNTIME_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "machine/backend.h"
#include "device_instances.h"
#include "device_tree_index.h"
#include "machine/drive_hold.h"
#include "fault_table.h"
#include "handle_table.h"
#include "machine/identities.h"
#include "module_table.h"
#include "runtime_lock.h"
#include "started_programs.h"
#include "window_table.h"
#include "machine/write_journal.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"

namespace larkin::platform {

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
    // The device tree of View(), indexed.
    std::shared_ptr<const DeviceTreeIndex> DeviceTree();
    WriteJournal& Journal();
    // Shows this process, and the programs it starts (LARKIN_ONLY_DISK), the
    // disk with this key alone: every other disk is as if unplugged. ""
    // shows them all again.
    void Narrow(const std::string& diskKey);
    std::string NarrowedTo();
    // What programs started from here add to this process's environment
    // ("NAME=value"): the machine they run on and the disk they see alone.
    // Kept here, not set in the environment, which another thread may be
    // reading.
    std::vector<std::string> ChildEnvironment();
    // The floppy image file the machine shows as drive A: ("" for none),
    // handed on to started programs as LARKIN_FLOPPY_IMAGE.
    void SetFloppyImage(const std::string& path);
    // The simulated machine's file, made absolute; "" on hardware.
    std::string MachineFile();

    ModuleTable modules;
    HandleTable handles;
    FaultTable faults;

    std::mutex pauseMutex;
    std::vector<DWORD> pauses;

    std::atomic<LARKIN_MESSAGE_BOX_HANDLER> messageBoxHandler{nullptr};
    std::atomic<void*> messageBoxContext{nullptr};

    WindowTable windows;
    StartedPrograms programs;
    DeviceInstances deviceInstances;
    DriveHolds holds;

    // Serialises the API's work on the machine and its own tables.
    RuntimeLock lock;

  private:
    Runtime() = default;
    ~Runtime();
    bool StartLocked(const char* machineFile, std::string* error);
    // Forgets the started programs and takes their console windows away.
    void ForgetPrograms();

    std::unique_ptr<Backend> backend_;
    std::string startError_;
    std::unique_ptr<WriteJournal> journal_;
    std::shared_ptr<const MachineView> view_;
    std::shared_ptr<const DeviceTreeIndex> deviceTree_;
    std::string narrowedTo_;
    std::string floppyImage_;
    std::string machineFile_;  // the simulated machine's, made absolute
};

// The backend, started on first use.
inline Backend& Machine() {
    return Runtime::Get().TheBackend();
}
// Runs call, which may wait on a device (a rescan, a table re-read, I/O),
// with the runtime's lock let go meanwhile.
template <class Call>
decltype(auto) WhileWaiting(Call&& call) {
    RuntimeLock::Released waiting(Runtime::Get().lock);
    return call();
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
std::unique_ptr<Backend> MakeSimulatedBackend(const std::string& machineFile, std::string* error);
std::unique_ptr<Backend> MakeLinuxBackend(std::string* error);
std::unique_ptr<Backend> MakeUnavailableBackend(std::string reason);

}  // namespace larkin::platform

#endif
