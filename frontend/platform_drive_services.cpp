// The machine's drives through the platform alone, for builds without the
// volume tools library: whether a drive exists, whether its volume opens,
// and its size. It reads no file system, so it knows no label and cannot
// copy files.
#include <memory>

#include "drive_services.h"
#include "win32/windows.h"

namespace larkin::frontend {
namespace {

class PlatformDriveServices : public DriveServices {
  public:
    Failure GetDrive(const QString& root, DriveFacts* facts) override {
        *facts = {};
        QByteArray rootPath = root.toLocal8Bit() + "\\";
        UINT type = GetDriveTypeA(rootPath.constData());
        if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) return {};
        facts->exists = true;
        QByteArray volume = "\\\\.\\" + root.toLocal8Bit();
        HANDLE handle =
            CreateFileA(volume.constData(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return {};
        GET_LENGTH_INFORMATION length{};
        DWORD returned = 0;
        if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                            &returned, nullptr)) {
            facts->ready = true;
            facts->totalBytes = static_cast<uint64_t>(length.Length.QuadPart);
        }
        CloseHandle(handle);
        return {};
    }

    Failure CopyFolderFiles(const QString&, const QString&,
                            const std::function<void(const QString&)>&) override {
        return {static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED),
                QStringLiteral("This build of Larkin cannot copy files onto a drive.")};
    }

    QString WriteRefusal(const QString& root) override { return PlatformWriteRefusal(root); }
    bool HoldDrive(const QString& root, QString* why) override {
        return PlatformHoldDrive(root, why);
    }
    void ReleaseDrive(const QString& root) override { PlatformReleaseDrive(root); }
    Failure CheckBootFiles(const QString&, const QString&, bool) override {
        return {static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED),
                QStringLiteral("this build of Larkin cannot read the boot files")};
    }
};

}  // namespace

std::unique_ptr<DriveServices> MakeMachineDriveServices() {
    return std::make_unique<PlatformDriveServices>();
}

}  // namespace larkin::frontend
