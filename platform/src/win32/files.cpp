// CreateFileA and the I/O on its handles.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "runtime/objects.h"
#include "machine/own_files.h"
#include "runtime/exported_call.h"
#include "runtime/text.h"
#include "machine/write_guard.h"

namespace larkin::platform {

namespace {

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

std::string WithoutTrailingSlash(std::string name) {
    if (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
}

HANDLE AddMedia(std::shared_ptr<MediaObject> object) {
    SetLastError(ERROR_SUCCESS);
    return Runtime::Get().handles.Add(std::move(object));
}

std::shared_ptr<MediaObject> NewMedia(const std::string& name, const MediaRef& media, DWORD access,
                                      DWORD* error) {
    auto object = std::make_shared<MediaObject>();
    object->name = name;
    object->media = media;
    object->accessRights = access;
    object->access = Machine().OpenMedia(media, HasWriteAccess(access), error);
    return object->access ? object : nullptr;
}

HANDLE OpenDisk(const DiskInfo& disk, const std::string& name, DWORD access) {
    if (HasWriteAccess(access) && !WriteRefusal(disk.number).empty())
        return FailedHandle(ERROR_ACCESS_DENIED);
    DWORD error = ERROR_SUCCESS;
    auto object = NewMedia(name, MediaRef{disk.number}, access, &error);
    return object ? AddMedia(std::move(object)) : FailedHandle(error);
}

HANDLE OpenVolume(const VolumeInfo& volume, const std::string& name, DWORD access) {
    if (volume.disk && HasWriteAccess(access) && !WriteRefusal(*volume.disk).empty())
        return FailedHandle(ERROR_ACCESS_DENIED);
    // A locked volume takes no new handles, here or in another process.
    if (LockedByOther(volume.key, nullptr)) return FailedHandle(ERROR_ACCESS_DENIED);
    DWORD error = ERROR_SUCCESS;
    auto object = NewMedia(name, volume.Media(), access, &error);
    if (!object) return FailedHandle(error);
    object->volume = volume.name;
    object->volumeKey = volume.key;
    return AddMedia(std::move(object));
}

HANDLE OpenPort(const MachineView& view, uint32_t port, const std::string& name, DWORD access) {
    if (std::none_of(view.ports.begin(), view.ports.end(),
                     [&](const ScsiPortInfo& p) { return p.number == port; }))
        return FailedHandle(ERROR_FILE_NOT_FOUND);
    auto object = std::make_shared<PortObject>();
    object->name = name;
    object->port = port;
    object->access = access;
    SetLastError(ERROR_SUCCESS);
    return Runtime::Get().handles.Add(std::move(object));
}

HANDLE OpenDevice(const std::string& name, DWORD access, DWORD disposition) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS)
        return FailedHandle(ERROR_INVALID_PARAMETER);
    auto view = View();
    std::string rest = name.substr(4);

    if (StartsWithNoCase(rest, "PhysicalDrive") && AllDigits(rest.substr(13))) {
        auto number = std::strtoul(rest.c_str() + 13, nullptr, 10);
        if (number <= UINT32_MAX)
            if (const DiskInfo* disk = view->Disk(static_cast<uint32_t>(number)))
                return OpenDisk(*disk, name, access);
        return FailedHandle(ERROR_FILE_NOT_FOUND);
    }
    if (StartsWithNoCase(rest, "scsi") && rest.size() > 5 && rest.back() == ':' &&
        AllDigits(rest.substr(4, rest.size() - 5)))
        return OpenPort(*view, static_cast<uint32_t>(std::strtoul(rest.c_str() + 4, nullptr, 10)),
                        name, access);
    if (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':') {
        std::string root = Upper(rest.substr(0, 2)) + "\\";
        for (const auto& volume : view->volumes) {
            for (const auto& path : volume.mountPaths) {
                if (rest.size() == 2 && path == root) return OpenVolume(volume, name, access);
                // A folder mount path names a directory, which cannot be
                // opened as a device.
                if (rest.size() > 2 && EqualsNoCase(path, rest + "\\"))
                    return FailedHandle(ERROR_ACCESS_DENIED);
            }
        }
        return FailedHandle(rest.size() == 2 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    if (StartsWithNoCase(rest, "Volume{")) {
        for (const auto& volume : view->volumes)
            if (EqualsNoCase(WithoutTrailingSlash(volume.name),
                             "\\\\?\\" + WithoutTrailingSlash(rest)))
                return OpenVolume(volume, name, access);
        return FailedHandle(ERROR_FILE_NOT_FOUND);
    }
    for (const auto& disk : view->disks)
        if (EqualsNoCase(disk.interfacePath, name)) return OpenDisk(disk, name, access);
    for (const auto& node : view->tree)
        for (const auto& interface : node.interfaces)
            if (SameGuid(interface.interfaceClass, GUID_DEVINTERFACE_STORAGEPORT) &&
                EqualsNoCase(interface.path, name))
                for (const auto& port : view->ports)
                    if (port.adapterId == node.instanceId)
                        return OpenPort(*view, port.number, name, access);
    return FailedHandle(ERROR_FILE_NOT_FOUND);
}

// Share modes of plain files, kept as Windows keeps them for every handle in
// every process: an open holds shared OFD locks on bytes far past any file's
// end, one for each kind of access it has (read, write, delete) and one for
// each kind it does not share, and is refused when another open's lock
// stands against it. OFD locks belong to the open, not the process, so two
// handles of one process meet as two processes do; nothing here waits. An
// open that sets its locks before it looks at the others' can only be
// refused too often by a rival at the same instant, never let in wrongly.
constexpr off_t kHeldLock = INT64_MAX - 64;   // + kind: the open has that access
constexpr off_t kDeniedLock = kHeldLock + 8;  // + kind: the open does not share it
constexpr int kKinds = 3;                     // read, write, delete
constexpr int kDeleteKind = 2;
constexpr DWORD kDeleteRight = 0x00010000u;
constexpr DWORD kExecuteRights = GENERIC_EXECUTE | 0x0020u;  // FILE_EXECUTE

// The kinds of access a handle's rights take part in sharing with: read
// (data or execute), write (data or append), delete.
std::array<bool, kKinds> SharedKinds(DWORD access) {
    return {(access & (kReadRights | FILE_GENERIC_READ | kExecuteRights)) != 0,
            (access & kWriteRights) != 0, (access & (kDeleteRight | GENERIC_ALL)) != 0};
}

constexpr DWORD kShareBits[kKinds] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

bool SetSharedLock(int fd, off_t at) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True when another open holds the lock at this byte.
bool HeldByOther(int fd, off_t at) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Takes the open's place among the file's opens. A handle without read,
// write or delete access neither meets nor stands in the way of others, as
// on Windows. Where the file system keeps no locks (or the open cannot read,
// which a lock needs) the open goes on unchecked.
DWORD ClaimSharing(int fd, DWORD access, DWORD share) {
    std::array<bool, kKinds> has = SharedKinds(access);
    if (!has[0] && !has[1] && !has[2]) return ERROR_SUCCESS;
    for (int k = 0; k < kKinds; ++k) {
        if (has[k] && !SetSharedLock(fd, kHeldLock + k)) return ERROR_SUCCESS;
        if (!(share & kShareBits[k]) && !SetSharedLock(fd, kDeniedLock + k)) return ERROR_SUCCESS;
    }
    for (int k = 0; k < kKinds; ++k)
        if ((has[k] && HeldByOther(fd, kDeniedLock + k)) ||
            (!(share & kShareBits[k]) && HeldByOther(fd, kHeldLock + k)))
            return ERROR_SHARING_VIOLATION;  // closing the open drops its locks
    return ERROR_SUCCESS;
}

// The machine's own files are reached only as its disks, through the guard
// and the journal; the program hears why its file was refused.
bool RefusedAsOwnFile(const std::string& path, const struct stat* opened) {
    std::string why = OwnFileRefusal(Machine(), path, opened);
    if (why.empty()) return false;
    std::fprintf(stderr, "larkin: %s %s\n", path.c_str(), why.c_str());
    return true;
}

HANDLE OpenPlainFile(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    int flags = O_CLOEXEC;
    bool reading = access & (kReadRights | FILE_GENERIC_READ);
    bool writing = access & kWriteRights;
    flags |= writing ? (reading ? O_RDWR : O_WRONLY) : O_RDONLY;
    struct stat info {};
    bool existed = ::stat(path.c_str(), &info) == 0;
    // Only regular files are plain files: a name that leads, by whatever
    // spelling or link, to a disk, a terminal or a pipe is the backend's to
    // hand out under its rules, never this path's.
    if (existed && !S_ISREG(info.st_mode)) return FailedHandle(ERROR_ACCESS_DENIED);
    if (RefusedAsOwnFile(path, nullptr)) return FailedHandle(ERROR_ACCESS_DENIED);
    // Truncated only once the share modes let the open in.
    bool truncate = false;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT;
            truncate = true;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            if (!writing) return FailedHandle(ERROR_INVALID_PARAMETER);
            truncate = true;
            break;
        default:
            return FailedHandle(ERROR_INVALID_PARAMETER);
    }
    // Non-blocking until it is known to be a regular file, so that a name
    // swapped for a pipe after the check cannot hang the open. A writer
    // opens for reading too where it may, since a share-mode lock needs it;
    // the handle's rights still keep it from reading.
    UniqueFd fd;
    if ((flags & O_ACCMODE) == O_WRONLY)
        fd.Reset(::open(path.c_str(), (flags & ~O_ACCMODE) | O_RDWR | O_NONBLOCK, 0644));
    if (!fd.Valid()) fd.Reset(::open(path.c_str(), flags | O_NONBLOCK, 0644));
    if (fd.Valid()) {
        if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
            return FailedHandle(ERROR_ACCESS_DENIED);
        if (RefusedAsOwnFile(path, &info)) return FailedHandle(ERROR_ACCESS_DENIED);
        ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    }
    if (!fd.Valid()) {
        DWORD error = static_cast<DWORD>(ErrorFromErrno(errno));
        if (errno == ENOENT && path.find('/') != std::string::npos &&
            ::access(path.substr(0, path.rfind('/')).c_str(), F_OK) != 0)
            error = ERROR_PATH_NOT_FOUND;
        return FailedHandle(error);
    }
    if (DWORD error = ClaimSharing(fd.Get(), access, share); error != ERROR_SUCCESS)
        return FailedHandle(error);
    if (truncate && ::ftruncate(fd.Get(), 0) != 0)
        return FailedHandle(static_cast<DWORD>(ErrorFromErrno(errno)));
    auto object = std::make_shared<FileObject>();
    object->fd = std::move(fd);
    object->path = path;
    object->access = access;
    HANDLE handle = Runtime::Get().handles.Add(std::move(object));
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

// Raw media moves whole sectors of the disk's own size.
bool AlignedForMedia(const MediaObject& media, uint64_t position, DWORD bytes) {
    uint32_t sector = 512;
    auto view = View();
    if (media.media.disk)
        if (const DiskInfo* disk = view->Disk(*media.media.disk))
            sector = disk->geometry.bytesPerSector ? disk->geometry.bytesPerSector : 512;
    return position % sector == 0 && bytes % sector == 0;
}

}  // namespace

bool HasReadAccess(DWORD access) {
    return access & (kReadRights | FILE_GENERIC_READ);
}
bool HasWriteAccess(DWORD access) {
    return access & kWriteRights;
}
bool MediaObject::CanRead() const {
    return HasReadAccess(accessRights);
}
bool MediaObject::CanWrite() const {
    return HasWriteAccess(accessRights);
}

std::optional<VolumeInfo> CurrentVolume(const MediaObject& object) {
    if (!object.volume) return std::nullopt;
    auto view = View();
    if (const VolumeInfo* volume = view->Volume(*object.volume)) return *volume;
    return std::nullopt;
}

bool MediaExtent(const MediaObject& object, uint64_t* base, uint64_t* length, DWORD* error) {
    if (object.IsVolume()) {
        auto volume = CurrentVolume(object);
        if (!volume) {
            *error = ERROR_DEVICE_NOT_CONNECTED;
            return false;
        }
        if (!volume->extentsReadable) {
            *error = ERROR_NOT_READY;
            return false;
        }
        *base = volume->offset;
        *length = volume->length;
        return true;
    }
    *base = 0;
    *length = object.access->Size();
    if (*length == 0) {
        *error = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    return true;
}

bool LockedByOther(const std::string& volumeKey, const MediaObject* object) {
    return VolumeLockedElsewhere(volumeKey, object);
}

}  // namespace larkin::platform

using namespace larkin::platform;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    return larkin::platform::Guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (name == nullptr || *name == '\0') return FailedHandle(ERROR_PATH_NOT_FOUND);
        std::lock_guard guard(Runtime::Get().lock);
        if (FaultFires("CreateFileA", name)) return INVALID_HANDLE_VALUE;
        std::string text(name);
        if (text.size() > 4 && text[0] == '\\' && text[1] == '\\' &&
            (text[2] == '.' || text[2] == '?') && text[3] == '\\')
            return OpenDevice(text, access, disposition);
        return OpenPlainFile(text, access, share, disposition);
    });
}

namespace {

// One read or write on an open handle: plain files through the file system,
// disks and volumes through the machine, in whole sectors.
BOOL Transfer(HANDLE handle, std::byte* buffer, DWORD count, LPDWORD done, bool write) {
    if (done) *done = 0;
    const char* call = write ? "WriteFile" : "ReadFile";
    auto object = Runtime::Get().handles.Find(handle);
    if (auto file = std::dynamic_pointer_cast<FileObject>(object)) {
        if (FaultFires(call, file->path)) return FALSE;
        DWORD rights = write ? kWriteRights : (kReadRights | FILE_GENERIC_READ);
        if (!(file->access & rights)) return Failed(ERROR_ACCESS_DENIED);
        std::lock_guard positioned(file->positionLock);
        auto offset = static_cast<off_t>(file->position);
        ssize_t moved = write ? ::pwrite(file->fd.Get(), buffer, count, offset)
                              : ::pread(file->fd.Get(), buffer, count, offset);
        if (moved < 0) return Failed(static_cast<DWORD>(ErrorFromErrno(errno)));
        file->position += static_cast<uint64_t>(moved);
        if (done) *done = static_cast<DWORD>(moved);
        return TRUE;
    }
    auto media = std::dynamic_pointer_cast<MediaObject>(object);
    if (!media) return Failed(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    std::lock_guard positioned(media->positionLock);
    std::lock_guard guard(Runtime::Get().lock);
    if (FaultFires(call, media->name)) return FALSE;
    if (!(write ? media->CanWrite() : media->CanRead())) return Failed(ERROR_ACCESS_DENIED);
    if (write && media->IsVolume() && LockedByOther(media->volumeKey, media.get()))
        return Failed(ERROR_ACCESS_DENIED);
    if (!AlignedForMedia(*media, media->position, count)) return Failed(ERROR_INVALID_PARAMETER);
    uint64_t base = 0, length = 0;
    DWORD error = ERROR_SUCCESS;
    if (!MediaExtent(*media, &base, &length, &error)) return Failed(error);
    uint64_t available = media->position >= length ? 0 : length - media->position;
    // A read stops at the end of the media; a write must fit whole.
    if (write && count > available) return Failed(ERROR_SECTOR_NOT_FOUND);
    auto moved = static_cast<DWORD>(std::min<uint64_t>(count, available));
    if (write) {
        error = WriteMedia(*media->access, media->media, media->share, base + media->position,
                           std::span<const std::byte>(buffer, moved), call);
    } else {
        error = WhileWaiting(
            [&] { return media->access->Read(base + media->position, std::span(buffer, moved)); });
    }
    if (error != ERROR_SUCCESS) return Failed(error);
    media->position += moved;
    if (done) *done = moved;
    return TRUE;
}

// The status of the plain file behind handle; false, with the last error,
// when there is none or it cannot be read.
bool StatFile(HANDLE handle, struct stat* status) {
    auto object = Runtime::Get().handles.Find(handle);
    auto file = std::dynamic_pointer_cast<FileObject>(object);
    if (!file) return Failed(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    if (::fstat(file->fd.Get(), status) == 0) return true;
    return Failed(static_cast<DWORD>(ErrorFromErrno(errno)));
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        return Transfer(handle, static_cast<std::byte*>(buffer), toRead, read, false);
    });
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        // The machine only reads from the buffer of a write.
        return Transfer(handle, static_cast<std::byte*>(const_cast<void*>(buffer)), toWrite,
                        written, true);
    });
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPointer,
                      DWORD method) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto object = Runtime::Get().handles.Find(handle);
        auto file = std::dynamic_pointer_cast<FileObject>(object);
        auto media = std::dynamic_pointer_cast<MediaObject>(object);
        if (!file && !media) return Failed(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        if (FaultFires("SetFilePointerEx", file ? file->path : media->name)) return FALSE;
        // The handle's lock before the runtime's, as a transfer takes them.
        std::lock_guard positioned(file ? file->positionLock : media->positionLock);
        std::unique_lock<RuntimeLock> machine;
        if (media) machine = std::unique_lock(Runtime::Get().lock);
        uint64_t& position = file ? file->position : media->position;
        int64_t origin = 0;
        if (method == FILE_CURRENT) {
            origin = static_cast<int64_t>(position);
        } else if (method == FILE_END) {
            if (file) {
                struct stat info {};
                ::fstat(file->fd.Get(), &info);
                origin = info.st_size;
            } else {
                uint64_t base = 0, length = 0;
                DWORD error = ERROR_SUCCESS;
                if (!MediaExtent(*media, &base, &length, &error)) return Failed(error);
                origin = static_cast<int64_t>(length);
            }
        } else if (method != FILE_BEGIN) {
            return Failed(ERROR_INVALID_PARAMETER);
        }
        int64_t target = origin + distance.QuadPart;
        if (target < 0) return Failed(ERROR_NEGATIVE_SEEK);
        position = static_cast<uint64_t>(target);
        if (newPointer) newPointer->QuadPart = target;
        return TRUE;
    });
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        struct stat info {};
        if (!StatFile(handle, &info)) return FALSE;
        size->QuadPart = info.st_size;
        return TRUE;
    });
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        struct stat status {};
        if (!StatFile(handle, &status)) return FALSE;
        if (info == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        // Times count 100 ns from 1601, as Windows counts them.
        auto time = [](const timespec& at) {
            uint64_t ticks = (static_cast<uint64_t>(at.tv_sec) + 11644473600ull) * 10'000'000ull +
                             static_cast<uint64_t>(at.tv_nsec) / 100;
            return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        };
        auto device = static_cast<uint64_t>(status.st_dev);
        auto index = static_cast<uint64_t>(status.st_ino);
        auto size = static_cast<uint64_t>(status.st_size);
        *info = BY_HANDLE_FILE_INFORMATION{};
        info->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        info->ftCreationTime = time(status.st_ctim);
        info->ftLastAccessTime = time(status.st_atim);
        info->ftLastWriteTime = time(status.st_mtim);
        info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
        info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        info->nFileSizeLow = static_cast<DWORD>(size);
        info->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
        info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
        info->nFileIndexLow = static_cast<DWORD>(index);
        return TRUE;
    });
}

BOOL FlushFileBuffers(HANDLE handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto object = Runtime::Get().handles.Find(handle);
        if (!object) return Failed(ERROR_INVALID_HANDLE);
        if (auto file = std::dynamic_pointer_cast<FileObject>(object)) ::fsync(file->fd.Get());
        return TRUE;
    });
}

BOOL DeleteFileA(LPCSTR name) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!name) return Failed(ERROR_PATH_NOT_FOUND);
        std::string path = name;
        std::replace(path.begin(), path.end(), '\\', '/');
        // Deleting asks for delete access: an open that does not share it
        // keeps the file.
        UniqueFd probe(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (probe.Valid() && ::fstat(probe.Get(), &info) == 0 && S_ISREG(info.st_mode) &&
            HeldByOther(probe.Get(), kDeniedLock + kDeleteKind)) {
            return Failed(ERROR_SHARING_VIOLATION);
        }
        if (::unlink(path.c_str()) != 0) return Failed(static_cast<DWORD>(ErrorFromErrno(errno)));
        return TRUE;
    });
}
