#include "posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "win32/base.h"

extern char** environ;

namespace larkin::platform {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

FileLock::FileLock(const std::string& path, bool exclusive)
    : fd_(OpenRegularFile(path, O_RDWR | O_CREAT, nullptr)) {
    // Not a regular file: no lock. Only not writable: a reader's lock.
    if (!fd_.Valid() && errno != EPERM && errno != EISDIR) {
        int why = errno;
        fd_ = OpenRegularFile(path, O_RDONLY, nullptr);
        if (!fd_.Valid()) errno = why;
    }
    if (!fd_.Valid()) return;
    int result = 0;
    while ((result = ::flock(fd_.Get(), exclusive ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {
    }
    held_ = result == 0;
}

namespace {

// What a name that is not a regular file names, for a person.
std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "is a folder, not a file";
    if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
    if (S_ISCHR(mode)) return "is a character device, not a regular file";
    if (S_ISBLK(mode)) return "is a block device, not a regular file";
    if (S_ISSOCK(mode)) return "is a socket, not a regular file";
    if (S_ISLNK(mode)) return "is a symbolic link, which is not followed";
    return "is not a regular file";
}

UniqueFd Refused(std::string* why, mode_t mode) {
    if (why) *why = KindOf(mode);
    errno = S_ISDIR(mode) ? EISDIR : S_ISLNK(mode) ? ELOOP : EPERM;
    return UniqueFd();
}

std::string Grouped(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

}  // namespace

UniqueFd OpenRegularFile(const std::string& path, int flags, std::string* why, bool noLink) {
    // A device is not even opened: opening some has effects of its own.
    struct stat info {};
    if ((noLink ? ::lstat(path.c_str(), &info) : ::stat(path.c_str(), &info)) == 0 &&
        !S_ISREG(info.st_mode))
        return Refused(why, info.st_mode);
    // Non-blocking until it is known to be a regular file, so that a name
    // swapped for a pipe meanwhile cannot hang the open.
    int extra = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (noLink ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(path.c_str(), flags | extra, 0644));
    if (!fd.Valid()) {
        int error = errno;
        if ((noLink ? ::lstat(path.c_str(), &info) : ::stat(path.c_str(), &info)) == 0 &&
            !S_ISREG(info.st_mode))
            return Refused(why, info.st_mode);
        if (why) *why = std::string("cannot be read: ") + std::strerror(error);
        errno = error;
        return fd;
    }
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return Refused(why, info.st_mode);
    if (!(flags & O_NONBLOCK)) ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit, std::string* why,
                                         bool noLink, bool firstBytes) {
    UniqueFd fd = OpenRegularFile(path, O_RDONLY, why, noLink);
    if (!fd.Valid()) return std::nullopt;
    auto tooLarge = [&](unsigned long long size) -> std::optional<std::string> {
        if (why)
            *why =
                "is " + Grouped(size) + " bytes, more than the " + Grouped(limit) + " it may have";
        errno = EFBIG;
        return std::nullopt;
    };
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        if (why) *why = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(info.st_size) > limit && !firstBytes)
        return tooLarge(static_cast<unsigned long long>(info.st_size));
    // One byte more than allowed tells a file that grew meanwhile.
    std::string text(firstBytes ? limit : limit + 1, '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t got = ::read(fd.Get(), text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            if (why) *why = std::string("cannot be read: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    if (done > limit) return tooLarge(done);
    text.resize(done);
    return text;
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

namespace {

template <typename Byte, typename Move>
int WholeAt(Move move, int fd, uint64_t offset, std::span<Byte> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t moved =
            move(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0) return errno;
        if (moved == 0) return kEndReached;
        done += static_cast<size_t>(moved);
    }
    return 0;
}

}  // namespace

int ReadWholeAt(int fd, uint64_t offset, std::span<std::byte> data) {
    return WholeAt(::pread, fd, offset, data);
}

int WriteWholeAt(int fd, uint64_t offset, std::span<const std::byte> data) {
    return WholeAt(::pwrite, fd, offset, data);
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
        case ELOOP:
            return ERROR_ACCESS_DENIED;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        default:
            return ERROR_IO_DEVICE;
    }
}

}  // namespace larkin::platform
