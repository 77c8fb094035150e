#include "drive_hold.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "volume_lock_file.h"

namespace larkin::platform {
namespace {

// The parent of pid, from /proc/PID/stat ("pid (name) state ppid ..."; the
// name may hold spaces and parentheses, so the fields start after the last).
pid_t ParentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 1));
    char state = 0;
    long parent = 0;
    fields >> state >> parent;
    return fields ? static_cast<pid_t>(parent) : 0;
}

// This process or one it descends from.
bool IsSelfOrAncestor(pid_t pid) {
    if (pid <= 0) return false;
    pid_t at = ::getpid();
    for (int depth = 0; at > 1 && depth < 64; ++depth) {
        if (at == pid) return true;
        at = ParentOf(at);
    }
    return false;
}

struct HoldRecord {
    pid_t pid = 0;
    std::string holder;
};

HoldRecord ReadRecord(int fd) {
    std::array<char, 1024> buffer{};
    ssize_t got = ::pread(fd, buffer.data(), buffer.size() - 1, 0);
    HoldRecord record;
    if (got <= 0) return record;
    std::string text(buffer.data(), static_cast<std::size_t>(got));
    std::size_t newline = text.find('\n');
    record.pid = static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
    if (newline != std::string::npos) {
        record.holder = text.substr(newline + 1);
        while (!record.holder.empty() && record.holder.back() == '\n') record.holder.pop_back();
    }
    return record;
}

// A record naming a live process. One owned by another user (a holder
// started through polkit) cannot be signalled, and is alive all the same.
bool Settled(const HoldRecord& record) {
    return record.pid > 0 && (::kill(record.pid, 0) == 0 || errno == EPERM);
}

// Runs attempt until it takes its lock (0), fails another way (its errno),
// or meets a lock whose record names a live holder (EWOULDBLOCK, the record in
// *record). A hold being taken or let go shows its lock without a record for
// a moment: that moment is waited out and the lock tried again, never
// reported as a nameless holder. Two seconds bound the wait, for a record a
// crashed holder left empty.
template <typename Attempt>
int Contend(int fd, Attempt attempt, HoldRecord* record) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (int failure = attempt(); failure != EWOULDBLOCK) return failure;
        *record = ReadRecord(fd);
        if (Settled(*record) || std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
        ::usleep(2000);
    }
}

std::string Describe(const HoldRecord& record) {
    if (record.holder.empty()) return "another Larkin program holds it";
    return "it is held by " + record.holder + " (process " + std::to_string(record.pid) + ")";
}

// Whether another open description holds the file's lock exclusively.
bool ExclusivelyLocked(const std::string& path) {
    UniqueFd probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!probe.Valid()) return false;
    if (::flock(probe.Get(), LOCK_SH | LOCK_NB) == 0) return false;
    return errno == EWOULDBLOCK;
}

}  // namespace

std::string DriveHoldPath(const std::string& folder, const std::string& key) {
    return VolumeLockPath(folder + "/disks", key);
}

std::shared_ptr<DriveHoldFile> DriveHolds::OpenFile(const std::string& folder,
                                                    const std::string& key, DWORD* error) {
    if (auto file = open_[key].lock()) return file;
    std::string path = DriveHoldPath(folder, key);
    ::mkdir((folder + "/disks").c_str(), 0755);
    auto file = std::make_shared<DriveHoldFile>();
    file->fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    // One that exists but cannot be written is still locked through a read.
    if (!file->fd.Valid()) file->fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file->fd.Valid()) {
        *error = ErrorFromErrno(errno);
        return nullptr;
    }
    return file;
}

DWORD DriveHolds::Hold(const std::string& folder, const std::string& key, const std::string& holder,
                       std::string* why) {
    std::lock_guard guard(mutex_);
    if (held_.count(key)) return ERROR_SUCCESS;
    if (folder.empty()) {
        *why = "the machine keeps no locks";
        return ERROR_NOT_SUPPORTED;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<DriveHoldFile> file = OpenFile(folder, key, &error);
    if (!file) {
        *why = "its hold file cannot be opened";
        return error;
    }
    bool shared = open_[key].lock() != nullptr;  // this process's writers share it
    const std::string path = DriveHoldPath(folder, key);
    HoldRecord holding;
    int failure = Contend(
        file->fd.Get(),
        [&] {
            if (::flock(file->fd.Get(), LOCK_EX | LOCK_NB) == 0) return 0;
            int refused = errno;
            // A failed conversion may have let the shared lock go.
            if (shared) ::flock(file->fd.Get(), LOCK_SH | LOCK_NB);
            // Shared locks alone are handles writing to the disk, not a hold.
            if (refused == EWOULDBLOCK && !ExclusivelyLocked(path)) return EBUSY;
            return refused;
        },
        &holding);
    if (failure == EBUSY) {
        *why = "another program is writing to it";
        return ERROR_SHARING_VIOLATION;
    }
    if (failure == EWOULDBLOCK) {
        *why = Describe(holding);
        return ERROR_SHARING_VIOLATION;
    }
    if (failure != 0) return ErrorFromErrno(failure);
    std::string record = std::to_string(::getpid()) + "\n" + holder + "\n";
    if (::ftruncate(file->fd.Get(), 0) != 0 || !WriteWhole(file->fd.Get(), record)) {
        // Without the holder's pid its own programs could not write.
        ::flock(file->fd.Get(), shared ? LOCK_SH : LOCK_UN);
        *why = "its hold file cannot be written";
        return ERROR_WRITE_FAULT;
    }
    open_[key] = file;
    held_[key] = std::move(file);
    return ERROR_SUCCESS;
}

void DriveHolds::Release(const std::string& key) {
    std::lock_guard guard(mutex_);
    auto found = held_.find(key);
    if (found == held_.end()) return;
    std::shared_ptr<DriveHoldFile> file = std::move(found->second);
    held_.erase(found);
    // The record goes with the hold: the next holder's must not be mistaken for it.
    if (::ftruncate(file->fd.Get(), 0) != 0) {
        // A stale record names a process that is gone or holds nothing.
    }
    // Writing handles that stay open keep their share.
    if (file.use_count() > 1) ::flock(file->fd.Get(), LOCK_SH);
}

DWORD DriveHolds::JoinWriters(const std::string& folder, const std::string& key, WriterShare* share,
                              std::string* why) {
    if (share->Joined() || folder.empty()) return ERROR_SUCCESS;
    std::lock_guard guard(mutex_);
    if (auto file = open_[key].lock()) {
        *share = WriterShare(std::move(file));
        return ERROR_SUCCESS;
    }
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<DriveHoldFile> file = OpenFile(folder, key, &error);
    if (!file) return error;
    HoldRecord record;
    auto takeShared = [&] { return ::flock(file->fd.Get(), LOCK_SH | LOCK_NB) == 0 ? 0 : errno; };
    int failure = Contend(file->fd.Get(), takeShared, &record);
    if (failure == 0) {
        open_[key] = file;
        *share = WriterShare(std::move(file));
        return ERROR_SUCCESS;
    }
    if (failure != EWOULDBLOCK) return ErrorFromErrno(failure);
    if (IsSelfOrAncestor(record.pid)) {
        share->MarkJoined();
        return ERROR_SUCCESS;
    }
    *why = Describe(record);
    return ERROR_SHARING_VIOLATION;
}

std::string DriveHolds::HolderElsewhere(const std::string& folder, const std::string& key) {
    if (folder.empty()) return {};
    {
        std::lock_guard guard(mutex_);
        if (held_.count(key)) return {};
    }
    std::string path = DriveHoldPath(folder, key);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return {};
    HoldRecord record;
    auto locked = [&] { return ExclusivelyLocked(path) ? EWOULDBLOCK : 0; };
    if (Contend(fd.Get(), locked, &record) != EWOULDBLOCK) return {};
    return IsSelfOrAncestor(record.pid) ? std::string() : Describe(record);
}

}  // namespace larkin::platform
