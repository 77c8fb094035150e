// What the platform offers beyond the Windows API: starting it on a machine,
// the host's message-box handler, SCSI host adapters for the ASPI library,
// and volumes handed to outside programs.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "machine/floppy_image.h"
#include "runtime/exported_call.h"
#include "runtime/objects.h"
#include "runtime/posix.h"
#include "runtime/runtime.h"
#include "runtime/text.h"
#include "machine/write_guard.h"
#include "larkin/platform.h"

namespace larkin::platform {
namespace {

class ToolSessionObject final : public Object {
  public:
    ~ToolSessionObject() override {
        if (journaled) EndToolWrite(token);
    }
    std::shared_ptr<MediaObject> volume;  // holds the lock while writing
    uint64_t token = 0;
    bool journaled = false;
};

// The device name of a volume given as a letter, a root or a path.
std::string DeviceName(std::string name) {
    if (StartsWithNoCase(name, "\\\\?\\Volume{") || StartsWithNoCase(name, "\\\\.\\")) {
        if (!name.empty() && name.back() == '\\') name.pop_back();
        return name;
    }
    if (name.size() == 3 && name[1] == ':' && name[2] == '\\') name.pop_back();
    return "\\\\.\\" + name;
}

// A line for people into a caller's buffer, cut to fit.
void CopyOut(const std::string& text, LPSTR into, DWORD size) {
    if (into == nullptr || size == 0) return;
    size_t length = std::min<size_t>(text.size(), size - 1);
    std::memcpy(into, text.data(), length);
    into[length] = '\0';
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

namespace {
constexpr uint32_t kAspiTimeoutSeconds = 30;
}  // namespace

DWORD LarkinScsiHostCount(void) {
    return larkin::platform::Guarded<DWORD>(0, [&]() -> DWORD {
        std::lock_guard guard(Runtime::Get().lock);
        return static_cast<DWORD>(View()->aspiHosts.size());
    });
}

BOOL LarkinScsiHostInfo(DWORD host, LARKIN_SCSI_HOST* info) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::lock_guard guard(Runtime::Get().lock);
        auto hosts = View()->aspiHosts;
        if (info == nullptr || host >= hosts.size()) return Failed(ERROR_INVALID_PARAMETER);
        const AspiHostInfo& found = hosts[host];
        std::memset(info, 0, sizeof *info);
        info->hostScsiId = found.hostScsiId;
        info->maxTargets = found.maxTargets;
        std::strncpy(info->manager, found.manager.c_str(), 16);
        std::strncpy(info->identifier, found.identifier.c_str(), 16);
        return TRUE;
    });
}

BOOL LarkinScsiRescanHost(DWORD host) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::lock_guard guard(Runtime::Get().lock);
        if (host >= View()->aspiHosts.size()) return Failed(ERROR_INVALID_PARAMETER);
        WhileWaiting([] { Machine().Rescan(); });
        return TRUE;
    });
}

DWORD LarkinScsiExecute(DWORD host, BYTE target, BYTE lun, const BYTE* cdb, BYTE cdbLength,
                        int direction, void* data, DWORD length, BYTE* sense, BYTE senseLength,
                        BYTE* status) {
    return larkin::platform::Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        std::lock_guard guard(Runtime::Get().lock);
        auto hosts = View()->aspiHosts;
        if (host >= hosts.size() || cdb == nullptr || cdbLength == 0 || cdbLength > 16 ||
            status == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (FaultFires("LarkinScsiExecute", std::to_string(host) + ":" + std::to_string(target)))
            return GetLastError();
        DataDirection dir = direction == LARKIN_SCSI_DATA_IN    ? DataDirection::In
                            : direction == LARKIN_SCSI_DATA_OUT ? DataDirection::Out
                                                                : DataDirection::None;
        std::span<std::byte> buffer(static_cast<std::byte*>(data),
                                    data && dir != DataDirection::None ? length : 0);
        // ASPI requests carry no time-out of their own: the driver's default.
        ScsiOutcome outcome =
            ExecuteScsi({hosts[host].port, target, lun}, std::span<const uint8_t>(cdb, cdbLength),
                        dir, buffer, kAspiTimeoutSeconds);
        if (outcome.error != ERROR_SUCCESS) return outcome.error;
        *status = outcome.status;
        if (sense && senseLength > 0) {
            std::memset(sense, 0, senseLength);
            if (!outcome.sense.empty())
                std::memcpy(sense, outcome.sense.data(),
                            std::min<size_t>(senseLength, outcome.sense.size()));
        }
        return ERROR_SUCCESS;
    });
}

BOOL LarkinStartPlatform(LPCSTR machineFile, LPSTR error, DWORD errorSize) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::string why;
        bool started = Runtime::Get().Start(machineFile, &why);
        CopyOut(why, error, errorSize);
        return started ? TRUE : FALSE;
    });
}

LPCSTR LarkinBackendName(void) {
    return larkin::platform::Guarded<LPCSTR>(
        "", [&]() -> LPCSTR { return larkin::platform::Machine().Name(); });
}

BOOL LarkinDrivesWritable(LPSTR why, DWORD whySize) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::string blocker = larkin::platform::Machine().WritesRefused();
        CopyOut(blocker, why, whySize);
        return blocker.empty() ? TRUE : FALSE;
    });
}

namespace {

// The disk a host names: a drive letter (the first of "E:;G:"), or any
// name CreateFileA takes for a disk or a volume on it.
std::optional<uint32_t> DiskOfDrive(const char* drive) {
    if (drive == nullptr || *drive == '\0') return std::nullopt;
    std::string name = drive;
    if (name.size() >= 2 && name[1] == ':') name = "\\\\.\\" + name.substr(0, 2);
    HANDLE handle = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    auto media = std::dynamic_pointer_cast<larkin::platform::MediaObject>(
        Runtime::Get().handles.Remove(handle));
    return media ? media->media.disk : std::nullopt;
}

}  // namespace

BOOL LarkinHoldDrive(LPCSTR drive, LPCSTR operation, LPSTR why, DWORD whySize) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::optional<uint32_t> disk = DiskOfDrive(drive);
        if (!disk) {
            CopyOut("no such drive", why, whySize);
            return Failed(ERROR_FILE_NOT_FOUND);
        }
        std::string reason;
        DWORD error =
            larkin::platform::HoldDisk(*disk, operation ? operation : "a Larkin program", &reason);
        CopyOut(reason, why, whySize);
        SetLastError(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    });
}

void LarkinReleaseDrive(LPCSTR drive) {
    larkin::platform::Guarded<int>(0, [&] {
        if (std::optional<uint32_t> disk = DiskOfDrive(drive)) larkin::platform::ReleaseDisk(*disk);
        return 0;
    });
}

BOOL LarkinDriveRefused(LPCSTR drive, LPSTR why, DWORD whySize) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::optional<uint32_t> disk = DiskOfDrive(drive);
        std::string reason = disk ? larkin::platform::WriteRefusalNow(*disk) : std::string();
        CopyOut(reason, why, whySize);
        return reason.empty() ? FALSE : TRUE;
    });
}

BOOL LarkinSeeOnlyDrive(LPCSTR drive) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::optional<uint32_t> disk = DiskOfDrive(drive);
        auto view = View();
        const larkin::platform::DiskInfo* info = disk ? view->Disk(*disk) : nullptr;
        if (info == nullptr) return Failed(ERROR_FILE_NOT_FOUND);
        Runtime::Get().Narrow(info->id);
        return TRUE;
    });
}

DWORD LarkinUseFloppyImage(LPCSTR path, LPSTR why, DWORD whySize) {
    return larkin::platform::Guarded<DWORD>(ERROR_GEN_FAILURE, [&]() -> DWORD {
        CopyOut("", why, whySize);
        std::string name = path ? path : "";
        std::string reason;
        std::lock_guard guard(Runtime::Get().lock);
        DWORD error = larkin::platform::Machine().UseFloppyImage(name, &reason);
        if (error != ERROR_SUCCESS) {
            CopyOut(reason, why, whySize);
            return error;
        }
        // Programs started from here see the same drive A:.
        Runtime::Get().SetFloppyImage(larkin::platform::AbsoluteImagePath(name));
        return ERROR_SUCCESS;
    });
}

LPCSTR LarkinMachineFile(void) {
    return larkin::platform::Guarded<LPCSTR>("", [&]() -> LPCSTR {
        static thread_local std::string file;
        file = Runtime::Get().MachineFile();
        return file.c_str();
    });
}

DWORD LarkinReadSmallFile(LPCSTR path, DWORD limit, DWORD flags, LPVOID buffer, LPDWORD size,
                          LPSTR why, DWORD whySize) {
    return larkin::platform::Guarded<DWORD>(ERROR_GEN_FAILURE, [&]() -> DWORD {
        auto tell = [&](const std::string& line) { CopyOut(line, why, whySize); };
        tell("");
        if (path == nullptr || buffer == nullptr || size == nullptr) {
            tell("no file was named");
            return ERROR_INVALID_PARAMETER;
        }
        *size = 0;
        std::string reason;
        std::optional<std::string> bytes = larkin::platform::ReadSmallFile(
            path, limit, &reason, flags & LARKIN_READ_NO_LINK, flags & LARKIN_READ_FIRST_BYTES);
        if (!bytes) {
            DWORD error = static_cast<DWORD>(larkin::platform::ErrorFromErrno(errno));
            tell(std::string(path) + ": " + reason);
            return error == ERROR_SUCCESS ? ERROR_READ_FAULT : error;
        }
        std::memcpy(buffer, bytes->data(), bytes->size());
        *size = static_cast<DWORD>(bytes->size());
        return ERROR_SUCCESS;
    });
}

void LarkinSetMessageBoxHandler(LARKIN_MESSAGE_BOX_HANDLER handler, void* context) {
    Runtime& runtime = Runtime::Get();
    runtime.messageBoxContext = context;
    runtime.messageBoxHandler = handler;
}

HANDLE LarkinOpenVolumeForTool(LPCSTR volume, LPCSTR tool, BOOL write, LARKIN_TOOL_VOLUME* where) {
    return Guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (volume == nullptr || where == nullptr || *volume == '\0')
            return FailedHandle(ERROR_INVALID_PARAMETER);
        std::string name = DeviceName(volume);
        DWORD access = GENERIC_READ | (write ? GENERIC_WRITE : 0);
        HANDLE opened = CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (opened == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
        auto media = std::dynamic_pointer_cast<MediaObject>(Runtime::Get().handles.Remove(opened));
        if (!media || !media->IsVolume()) return FailedHandle(ERROR_FILE_NOT_FOUND);

        std::lock_guard guard(Runtime::Get().lock);
        auto current = CurrentVolume(*media);
        if (!current) return FailedHandle(ERROR_FILE_NOT_FOUND);
        if (!current->extentsReadable) return FailedHandle(ERROR_NOT_READY);
        ToolPath toolPath = Machine().ToolPathOf(media->media);
        std::string path = toolPath.path;
        if (path.empty() || path.size() >= MAX_PATH) return FailedHandle(ERROR_NOT_READY);
        auto session = std::make_shared<ToolSessionObject>();
        if (write) {
            if (DWORD error = LockVolume(*media); error != ERROR_SUCCESS)
                return FailedHandle(error);
            if (DWORD error = media->access->HandOverToTool(); error != ERROR_SUCCESS)
                return FailedHandle(error);
            DWORD error = BeginToolWrite(*current, media->share, tool ? tool : "outside tool",
                                         &session->token);
            if (error != ERROR_SUCCESS) return FailedHandle(error);
            session->journaled = true;
        }
        session->volume = media;

        std::memset(where, 0, sizeof *where);
        std::memcpy(where->path, path.c_str(), path.size() + 1);
        where->offset = toolPath.offset + current->offset;
        where->length = current->length;
        where->bytesPerSector = 512;
        where->hiddenSectors = static_cast<DWORD>(current->offset / 512);
        auto view = View();
        if (current->disk)
            if (const DiskInfo* disk = view->Disk(*current->disk)) {
                where->bytesPerSector = disk->geometry.bytesPerSector;
                where->hiddenSectors =
                    static_cast<DWORD>(current->offset / disk->geometry.bytesPerSector);
                where->heads = disk->geometry.heads;
                where->sectorsPerTrack = disk->geometry.sectorsPerTrack;
            }
        SetLastError(ERROR_SUCCESS);
        return Runtime::Get().handles.Add(std::move(session));
    });
}
