#include "tool_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace larkin::volumetools {
namespace {

// mkfs.fat lives in /usr/sbin, which an ordinary user's PATH may lack.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    path += ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(start, end - start);
        if (!folder.empty()) {
            std::string candidate = folder + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate))
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

}  // namespace

void Descriptor::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

ToolRun RunTool(const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment, int inherited,
                const std::function<void(std::string_view line)>& onLine) {
    ToolRun run;
    if (arguments.empty()) return run;
    std::string program = FindProgram(arguments[0]);
    if (program.empty()) {
        run.output = arguments[0] + ": not found\n";
        return run;
    }
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
    Descriptor reader(pipeEnds[0]), writer(pipeEnds[1]);

    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), writer.Get(), 1);
    posix_spawn_file_actions_adddup2(actions.Get(), writer.Get(), 2);
    if (inherited >= 0) posix_spawn_file_actions_adddup2(actions.Get(), inherited, 3);

    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& extra : extraEnvironment) {
            auto name = extra.substr(0, extra.find('=') + 1);
            if (text.starts_with(name)) replaced = true;
        }
        if (!replaced) environment.emplace_back(text);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), actions.Get(), nullptr, argv.data(), envp.data()) != 0) {
        run.output = arguments[0] + ": cannot start\n";
        return run;
    }
    run.started = true;
    writer.Reset();
    char buffer[4096];
    size_t heard = 0;  // of the output, what onLine has heard
    for (;;) {
        ssize_t got = ::read(reader.Get(), buffer, sizeof buffer);
        if (got > 0) {
            run.output.append(buffer, static_cast<size_t>(got));
            for (size_t end; onLine && (end = run.output.find('\n', heard)) != std::string::npos;
                 heard = end + 1)
                onLine(std::string_view(run.output).substr(heard, end - heard));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    if (onLine && heard < run.output.size()) onLine(std::string_view(run.output).substr(heard));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace larkin::volumetools
