// Programs this process started. A program is known by its process
// descriptor, so any thread may ask whether it ended, or wait for its end,
// without reaping it and without holding a lock; Reap is the one place
// where it is reaped, and then only once.
#ifndef LARKIN_PLATFORM_STARTED_PROGRAMS_H
#define LARKIN_PLATFORM_STARTED_PROGRAMS_H

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "posix.h"
#include "win32/processes.h"

namespace larkin::platform {

// One started program, shared by its process and thread handles and by its
// console window. Its mutex is the last in the lock order: it may be taken
// with any other held, and nothing is taken under it.
class StartedProgram {
  public:
    StartedProgram(pid_t pid, UniqueFd descriptor)
        : pid_(pid), descriptor_(std::move(descriptor)) {}
    ~StartedProgram() { Reap(); }
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    // Whether the program has ended; changes nothing.
    bool Ended() const;
    // Waits up to milliseconds (INFINITE: no limit) for the end.
    bool WaitEnded(DWORD milliseconds) const;
    // Collects the exit code of an ended program; never waits.
    void Reap();
    DWORD ExitCode();
    // Signals through the descriptor, which names this program even after
    // its number has been reused.
    void Kill() const;
    pid_t Pid() const { return pid_; }

    void AttachConsole(UniqueFd input, HWND window);
    HWND Window();
    // Never blocks: keys that do not fit the console's buffer are lost, as
    // they would be with a full keyboard buffer.
    void Type(const std::string& text);

  private:
    bool Readable(int timeout) const;

    const pid_t pid_;
    const UniqueFd descriptor_;
    std::atomic<bool> reaped_{false};
    std::mutex mutex_;
    DWORD exitCode_ = STILL_ACTIVE;
    UniqueFd console_;
    HWND window_ = nullptr;
};

// The started programs that may still need reaping or still own a console
// window. The callers reap them and take their windows away after taking
// them out, with no lock held.
class StartedPrograms {
  public:
    void Add(std::shared_ptr<StartedProgram> program);
    // Takes out the programs that ended and that no handle names any more.
    std::vector<std::shared_ptr<StartedProgram>> TakeEnded();
    std::vector<std::shared_ptr<StartedProgram>> TakeAll();

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<StartedProgram>> programs_;
};

}  // namespace larkin::platform

#endif
