// A program started by the multi-drive boot: its standard input is
// /dev/null, its standard output and error come back on one pipe and its
// events on another (descriptor 3 in the child). The destructor waits for
// a child still running: a drive half made is never abandoned to no one.
#ifndef LARKIN_CLI_CHILD_PROCESS_H
#define LARKIN_CLI_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace larkin::cli {

class ChildProcess {
  public:
    // The descriptor the child finds its event pipe on.
    static constexpr int kEventDescriptor = 3;

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False, with the reason in why, when it could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& arguments,
               std::string& why);
    int Output() const { return output_; }
    int Events() const { return events_; }
    void CloseOutput();
    void CloseEvents();
    // Waits for the end: the exit code, or -signal when a signal ended it.
    int Wait();

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    int events_ = -1;
};

}  // namespace larkin::cli

#endif
