// Last error, system texts, memory, time and the other small kernel services.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "larkin/platform.h"
#include "runtime/exported_call.h"
#include "runtime/runtime.h"

using larkin::platform::Failed;
using larkin::platform::Runtime;

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

const std::map<DWORD, const char*>& SystemTexts() {
    static const std::map<DWORD, const char*> texts = {
        {ERROR_SUCCESS, "The operation completed successfully."},
        {ERROR_INVALID_FUNCTION, "Incorrect function."},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ERROR_NOT_ENOUGH_MEMORY,
         "Not enough memory resources are available to process this command."},
        {ERROR_INVALID_DATA, "The data is invalid."},
        {ERROR_OUTOFMEMORY,
         "Not enough memory resources are available to complete this operation."},
        {ERROR_INVALID_DRIVE, "The system cannot find the drive specified."},
        {ERROR_NO_MORE_FILES, "There are no more files."},
        {ERROR_WRITE_PROTECT, "The media is write protected."},
        {ERROR_BAD_UNIT, "The system cannot find the device specified."},
        {ERROR_NOT_READY, "The device is not ready."},
        {ERROR_BAD_COMMAND, "The device does not recognize the command."},
        {ERROR_CRC, "Data error (cyclic redundancy check)."},
        {ERROR_SEEK, "The drive cannot locate a specific area or track on the disk."},
        {ERROR_SECTOR_NOT_FOUND, "The drive cannot find the sector requested."},
        {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
        {ERROR_READ_FAULT, "The system cannot read from the specified device."},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process."},
        {ERROR_LOCK_VIOLATION,
         "The process cannot access the file because another process has locked a portion of the "
         "file."},
        {ERROR_HANDLE_EOF, "Reached the end of the file."},
        {ERROR_NOT_SUPPORTED, "The request is not supported."},
        {ERROR_FILE_EXISTS, "The file exists."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_DISK_FULL, "There is not enough space on the disk."},
        {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
        {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
        {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
        {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
        {ERROR_NEGATIVE_SEEK,
         "An attempt was made to move the file pointer before the beginning of the file."},
        {ERROR_WAIT_NO_CHILDREN, "There are no child processes to wait for."},
        {ERROR_NOT_LOCKED, "The segment is already unlocked."},
        {ERROR_BAD_PATHNAME, "The specified path is invalid."},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
        {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
        {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
        {ERROR_MORE_DATA, "More data is available."},
        {ERROR_NO_MORE_ITEMS, "No more data is available."},
        {ERROR_MEDIA_CHANGED, "The media in the drive may have changed."},
        {ERROR_INVALID_FLAGS, "Invalid flags."},
        {ERROR_UNRECOGNIZED_VOLUME, "The volume does not contain a recognized file system."},
        {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed."},
        {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
        {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
        {ERROR_NOT_FOUND, "Element not found."},
        {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
        {ERROR_CANNOT_FIND_WND_CLASS, "Cannot find window class."},
        {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
        {ERROR_CLASS_DOES_NOT_EXIST, "Class does not exist."},
        {ERROR_CLASS_HAS_WINDOWS, "Class still has open windows."},
        {ERROR_INVALID_INDEX, "Invalid index."},
        {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
        {ERROR_INVALID_USER_BUFFER,
         "The supplied user buffer is not valid for the requested operation."},
        {ERROR_RESOURCE_DATA_NOT_FOUND,
         "The specified image file did not contain a resource section."},
        {ERROR_RESOURCE_TYPE_NOT_FOUND,
         "The specified resource type cannot be found in the image file."},
        {ERROR_RESOURCE_NAME_NOT_FOUND,
         "The specified resource name cannot be found in the image file."},
        {ERROR_NO_SUCH_DEVINST, "The device instance does not exist in the hardware tree."},
        {ERROR_INVALID_REG_PROPERTY, "The property is not a valid device registry property."},
        {ERROR_NO_DEVICE_SELECTED, "There is no device information element currently selected."},
        {ERROR_INVALID_CLASS, "The device class is invalid."},
    };
    return texts;
}

}  // namespace

DWORD GetLastError(void) {
    return lastError;
}
void SetLastError(DWORD code) {
    lastError = code;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                           : std::malloc(bytes ? bytes : 1);
    if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}
HGLOBAL GlobalFree(HGLOBAL memory) {
    std::free(memory);
    return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void*) {
    return larkin::platform::Guarded<DWORD>(0, [&]() -> DWORD {
        if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr)
            return Failed(ERROR_INVALID_PARAMETER);
        auto found = SystemTexts().find(messageId);
        if (found == SystemTexts().end()) return Failed(ERROR_MR_MID_NOT_FOUND);
        std::string text = std::string(found->second) + "\r\n";
        if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
            auto* memory = static_cast<char*>(std::malloc(text.size() + 1));
            if (!memory) throw std::bad_alloc();
            std::memcpy(memory, text.c_str(), text.size() + 1);
            *reinterpret_cast<char**>(buffer) = memory;
            return static_cast<DWORD>(text.size());
        }
        if (text.size() + 1 > size) return Failed(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    });
}

void Sleep(DWORD milliseconds) {
    Runtime& runtime = Runtime::Get();
    double scale = runtime.TheBackend().TimeScale();
    {
        std::lock_guard guard(runtime.pauseMutex);
        runtime.pauses.push_back(milliseconds);
    }
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    auto wait = std::chrono::duration<double, std::milli>(milliseconds * scale);
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return larkin::platform::Guarded<UINT>(0, [&]() -> UINT {
        std::string directory = larkin::platform::View()->windowsDirectory;
        if (buffer == nullptr || directory.size() + 1 > size)
            return static_cast<UINT>(directory.size() + 1);
        std::memcpy(buffer, directory.c_str(), directory.size() + 1);
        return static_cast<UINT>(directory.size());
    });
}

BOOL CloseHandle(HANDLE handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!Runtime::Get().handles.Remove(handle)) return Failed(ERROR_INVALID_HANDLE);
        return TRUE;
    });
}
