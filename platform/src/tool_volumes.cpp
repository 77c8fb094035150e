// Volumes handed to outside programs (mkfs.fat, mtools): the guard and the
// lock of a volume handle, and one journal entry over the whole volume for
// as long as the program may write.
#include <cstring>

#include "guard.h"
#include "larkin/platform.h"
#include "objects.h"
#include "text.h"
#include "write_guard.h"

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

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

HANDLE LarkinOpenVolumeForTool(LPCSTR volume, LPCSTR tool, BOOL write, LARKIN_TOOL_VOLUME* where) {
    return Guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (volume == nullptr || where == nullptr || *volume == '\0')
            return Fail(ERROR_INVALID_PARAMETER);
        std::string name = DeviceName(volume);
        DWORD access = GENERIC_READ | (write ? GENERIC_WRITE : 0);
        HANDLE opened = CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (opened == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
        auto media = std::dynamic_pointer_cast<MediaObject>(Runtime::Get().handles.Remove(opened));
        if (!media || !media->IsVolume()) return Fail(ERROR_FILE_NOT_FOUND);

        std::lock_guard guard(Runtime::Get().lock);
        auto current = CurrentVolume(*media);
        if (!current) return Fail(ERROR_FILE_NOT_FOUND);
        if (!current->extentsReadable) return Fail(ERROR_NOT_READY);
        ToolPath toolPath = Machine().ToolPathOf(media->media);
        std::string path = toolPath.path;
        if (path.empty() || path.size() >= MAX_PATH) return Fail(ERROR_NOT_READY);
        auto session = std::make_shared<ToolSessionObject>();
        if (write) {
            if (DWORD error = media->access->LockVolume(media->volumeKey); error != ERROR_SUCCESS)
                return Fail(error);
            DWORD error = BeginToolWrite(*current, tool ? tool : "outside tool", &session->token);
            if (error != ERROR_SUCCESS) return Fail(error);
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
