#include "program_services.h"

#include <array>

#include "drive_services.h"
#include "larkin/platform.h"
#include "win32/windows.h"

namespace larkin::frontend {

QString PlatformWindowsDirectory() {
    std::array<char, 100> buffer{};
    UINT length = GetWindowsDirectoryA(buffer.data(), 99);
    if (length == 0 || length >= 99) return {};
    return QString::fromLocal8Bit(buffer.data(), static_cast<qsizetype>(length));
}

QString PlatformWriteRefusal(const QString& root) {
    std::array<char, 1024> why{};
    QByteArray drive = root.toLocal8Bit();
    if (!LarkinDriveRefused(drive.constData(), why.data(), static_cast<DWORD>(why.size())))
        return {};
    return QString::fromLocal8Bit(why.data());
}

bool PlatformHoldDrive(const QString& root, QString* why) {
    std::array<char, 1024> reason{};
    QByteArray drive = root.toLocal8Bit();
    if (LarkinHoldDrive(drive.constData(), "Larkin, making the drive bootable", reason.data(),
                        static_cast<DWORD>(reason.size())))
        return true;
    *why = QString::fromLocal8Bit(reason.data());
    return false;
}

QString DriveServices::UseFloppyImage(const QString& path) {
    std::array<char, 1024> why{};
    QByteArray file = path.toLocal8Bit();
    if (LarkinUseFloppyImage(file.constData(), why.data(), static_cast<DWORD>(why.size())) ==
        ERROR_SUCCESS)
        return {};
    return QString::fromLocal8Bit(why.data());
}

// Without the volume tools no file on a drive is read: nothing to point.
Failure DriveServices::PointFloppyPaths(const QString&, QStringList*) {
    return {};
}

void PlatformReleaseDrive(const QString& root) {
    QByteArray drive = root.toLocal8Bit();
    LarkinReleaseDrive(drive.constData());
}

}  // namespace larkin::frontend
