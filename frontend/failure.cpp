#include "failure.h"

#include "win32/windows.h"

namespace larkin::frontend {
namespace {

// Error codes the platform's headers do not name but a copy may report.
constexpr uint32_t kErrorHandleDiskFull = 39;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorFileTooLarge = 223;

QString SystemText(uint32_t code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    QString result;
    if (length != 0 && text != nullptr) result = QString::fromLocal8Bit(text, length).trimmed();
    if (text != nullptr) LocalFree(text);
    if (result.isEmpty()) result = QStringLiteral("System error %1").arg(code);
    return result;
}

}  // namespace

Failure FailureFromSystemError(uint32_t systemError, FailureContext context,
                               const QString& detail) {
    using namespace runtime_error;
    auto make = [&](int code) {
        QString description = SystemText(systemError);
        if (!detail.isEmpty()) description += QStringLiteral(" (%1)").arg(detail);
        return Failure{code, description};
    };
    switch (systemError) {
        case ERROR_SUCCESS:
            return {};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case kErrorDirectory:
            if (context == FailureContext::Agreement) return make(kFileNotFound);
            if (context == FailureContext::ImageFolder) return make(kPathNotFound);
            return make(kDeviceUnavailable);
        case ERROR_DISK_FULL:
        case kErrorHandleDiskFull:
        case kErrorFileTooLarge:
            return make(kDiskFull);
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_UNIT:
            return make(kDeviceUnavailable);
        case ERROR_NOT_READY:
            return make(kDiskNotReady);
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            if (context == FailureContext::Agreement) return make(kFileNotFound);
            if (context == FailureContext::ImageFolder) return make(kPathFileAccess);
            return make(kPermissionDenied);
        case ERROR_CRC:
        case ERROR_SEEK:
        case ERROR_SECTOR_NOT_FOUND:
        case ERROR_WRITE_FAULT:
        case ERROR_READ_FAULT:
        case ERROR_GEN_FAILURE:
        case ERROR_IO_DEVICE:
            if (context == FailureContext::ImageFolder) return make(kPathFileAccess);
            return make(kDeviceIo);
        default:
            return make(static_cast<int>(systemError));
    }
}

ErrorMessage MessageForFailure(const Failure& failure) {
    using namespace runtime_error;
    switch (failure.code) {
        case kFileNotFound:
            return {"EULA Not Found",
                    "End User License not found. Try reinstalling the selected file image."};
        case kDeviceIo:
            return {"USB Drive Not Available",
                    "USB Drive is not accessible. Check that it is still connected to the system, "
                    "and try the Rescan Bus function."};
        case kDiskFull:
            return {"USB Drive Full", "USB Drive is Full. Try using a higher capacity USB Drive"};
        case kDeviceUnavailable:
        case 69:
        case kPermissionDenied:
        case kDiskNotReady:
            return {"USB Drive Is Not Ready",
                    "USB Drive is locked or is not ready. Check that is unlocked and still "
                    "connected to the system."};
        case kPathFileAccess:
        case kPathNotFound:
            return {"File Image Not Found",
                    "Selected file image directory cannot be found. Try reinstalling the selected "
                    "file image."};
        default:
            return {"Unknown Error", QStringLiteral("Unexpected Error %1  %2")
                                         .arg(failure.code)
                                         .arg(failure.description)};
    }
}

}  // namespace larkin::frontend
