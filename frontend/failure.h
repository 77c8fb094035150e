// A failure of a step of the program, as a run-time error number and its
// description. The command's error handler picks its message by the number.
#ifndef LARKIN_FRONTEND_FAILURE_H
#define LARKIN_FRONTEND_FAILURE_H

#include <QString>
#include <cstdint>

namespace larkin::frontend {

// The run-time error numbers the error handler knows, and the few more the
// program reports itself.
namespace runtime_error {
inline constexpr int kSubscriptOutOfRange = 9;  // no image selected
inline constexpr int kDllLoad = 48;             // the engine library cannot be loaded
inline constexpr int kFileNotFound = 53;
inline constexpr int kDeviceIo = 57;
inline constexpr int kDiskFull = 61;
inline constexpr int kDeviceUnavailable = 68;
inline constexpr int kPermissionDenied = 70;
inline constexpr int kDiskNotReady = 71;
inline constexpr int kPathFileAccess = 75;
inline constexpr int kPathNotFound = 76;
inline constexpr int kDllEntryPoint = 453;  // an engine function is missing
}  // namespace runtime_error

struct Failure {
    int code = 0;  // 0: no failure
    QString description;

    explicit operator bool() const { return code != 0; }
};

// What a step was doing when the system reported an error; the same system
// error means a different thing for the image folder and for the drive.
enum class FailureContext {
    ImageFolder,  // reading the image folder (source of the copy)
    Drive,        // reading or writing the USB drive
    Agreement,    // reading the agreement file
};

// Maps a system error code (ERROR_*) onto the error handler's numbers.
// Codes it does not know keep their number and the system's text.
Failure FailureFromSystemError(uint32_t systemError, FailureContext context,
                               const QString& detail = {});

struct ErrorMessage {
    QString title;
    QString text;
};

// The error handler's table: one message per failure number.
ErrorMessage MessageForFailure(const Failure& failure);

}  // namespace larkin::frontend

#endif
