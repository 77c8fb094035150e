#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tool_process.h"

extern char** environ;

namespace larkin::cli {
namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        for (int fd : {read, write})
            if (fd >= 0) ::close(fd);
    }
};

}  // namespace

ChildProcess::~ChildProcess() {
    CloseOutput();
    CloseEvents();
    if (pid_ > 0) Wait();
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         std::string& why) {
    Pipe output, events;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    output.read = ends[0];
    output.write = ends[1];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    events.read = ends[0];
    events.write = ends[1];

    volumetools::SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), output.write, 1);
    posix_spawn_file_actions_adddup2(actions.Get(), output.write, 2);
    // A duplicate onto itself loses its close-on-exec mark too (glibc 2.29).
    posix_spawn_file_actions_adddup2(actions.Get(), events.write, kEventDescriptor);

    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int error = posix_spawn(&pid_, program.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (error != 0) {
        pid_ = -1;
        why = std::strerror(error);
        return false;
    }
    output_ = output.read;
    events_ = events.read;
    output.read = events.read = -1;
    return true;
}

void ChildProcess::CloseOutput() {
    if (output_ >= 0) ::close(output_);
    output_ = -1;
}

void ChildProcess::CloseEvents() {
    if (events_ >= 0) ::close(events_);
    events_ = -1;
}

int ChildProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace larkin::cli
