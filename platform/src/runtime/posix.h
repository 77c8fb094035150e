// Owners of POSIX resources, and running a helper program to completion.
#ifndef LARKIN_PLATFORM_POSIX_H
#define LARKIN_PLATFORM_POSIX_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkin::platform {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Releases what a C library handed out with its own function, for a
// std::unique_ptr: std::unique_ptr<DIR, Releaser<::closedir>>.
template <auto Release>
struct Releaser {
    template <class T>
    void operator()(T* object) const {
        Release(object);
    }
};

// An advisory lock on a file, held for the object's life. A lock file that
// exists but cannot be written is still locked through a read-only open.
class FileLock {
  public:
    FileLock(const std::string& path, bool exclusive);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the lock file could be neither made nor opened (errno says why).
    bool Held() const { return held_; }

  private:
    UniqueFd fd_;
    bool held_ = false;
};

// Opens path with flags (O_CLOEXEC is added) only when it names a regular
// file: a pipe, a device, a socket or a folder there is refused at once,
// never waited on or read without end, and with noLink so is a symbolic
// link as the name's last part. An invalid descriptor on failure, with errno
// set and why saying what the file is ("is a FIFO, not a regular file").
UniqueFd OpenRegularFile(const std::string& path, int flags, std::string* why, bool noLink = false);

// The whole of a small regular file opened as above, or nothing with why
// and errno (EFBIG when it has more than limit bytes, told before reading);
// with firstBytes a larger file gives its first limit bytes instead.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit, std::string* why,
                                         bool noLink = false, bool firstBytes = false);

// Writes all of text at the file's position, retrying short writes.
bool WriteWhole(int fd, std::string_view text);

// Moves all of data at offset, retrying what a signal or a short transfer
// cut off: 0, an errno, or kEndReached when the file or device ended first.
constexpr int kEndReached = -1;
int ReadWholeAt(int fd, uint64_t offset, std::span<std::byte> data);
int WriteWholeAt(int fd, uint64_t offset, std::span<const std::byte> data);

// Finds a program on PATH, then in the system folders; "" when absent.
std::string FindProgram(const std::string& name);
// Runs a program and waits; its output goes to the log text. Returns the
// exit status, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& argv, std::string* log);

// Maps a Windows error to the errno of a failed system call.
unsigned long ErrorFromErrno(int error);

}  // namespace larkin::platform

#endif
