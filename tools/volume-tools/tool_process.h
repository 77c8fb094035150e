// Running a Linux program (mkfs.fat, the mtools) to its end with its output
// captured. These are programs of this computer, not Windows programs, so
// they are started here rather than through CreateProcessA.
#ifndef LARKIN_VOLUME_TOOLS_TOOL_PROCESS_H
#define LARKIN_VOLUME_TOOLS_TOOL_PROCESS_H

#include <spawn.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkin::volumetools {

// A descriptor closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1);

  private:
    int fd_;
};

// posix_spawn's file actions, destroyed when they go.
class SpawnActions {
  public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// The program's descriptor 3 when RunTool is given one: it names the file as
// "/dev/fd/3", the very file that was opened and checked here.
inline constexpr char kInheritedFile[] = "/dev/fd/3";

struct ToolRun {
    bool started = false;  // false: the program was not found or could not start
    int exitCode = -1;     // the exit status; -1 when killed by a signal
    std::string output;    // standard output and standard error, interleaved
};

// Runs arguments[0] (looked up on PATH and in /usr/sbin and /sbin) with the
// rest as its arguments, standard input empty, and the environment of this
// process plus extraEnvironment ("NAME=value" entries). A valid inherited
// descriptor becomes the program's descriptor 3 (kInheritedFile). onLine,
// when given, hears each line of output (without its line break) as it comes.
ToolRun RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {}, int inherited = -1,
                const std::function<void(std::string_view line)>& onLine = {});

}  // namespace larkin::volumetools

#endif
