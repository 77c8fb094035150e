#include "posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "win32/base.h"

extern char** environ;

namespace larkin::platform {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

FileLock::FileLock(const std::string& path, bool exclusive)
    : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (!fd_.Valid()) {
        int why = errno;
        fd_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd_.Valid()) errno = why;
    }
    if (!fd_.Valid()) return;
    int result = 0;
    while ((result = ::flock(fd_.Get(), exclusive ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {
    }
    held_ = result == 0;
}

bool WriteWhole(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        text.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

FileLock::~FileLock() {
    if (fd_.Valid()) ::flock(fd_.Get(), LOCK_UN);
}

std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

int RunProgram(const std::vector<std::string>& argv, std::string* log) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.Reset();
    if (spawned != 0) return -1;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(readEnd.Get(), buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0 && log) log->append(buffer, static_cast<size_t>(got));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned long ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
            return ERROR_WRITE_FAULT;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_IO_DEVICE;
    }
}

}  // namespace larkin::platform
