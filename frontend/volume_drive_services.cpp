// The machine's drives through the volume tools library: the same platform
// and the same dosfstools/mtools path as the cmd stand-in.
#include <memory>
#include <string>
#include <vector>

#include "drive_services.h"
#include "volume_tools.h"
#include "win32/windows.h"

namespace larkin::frontend {
namespace {

bool MeansNoSuchDrive(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_INVALID_DRIVE;
}

class VolumeToolsDriveServices : public DriveServices {
  public:
    Failure GetDrive(const QString& root, DriveFacts* facts) override {
        *facts = {};
        volumetools::VolumeFacts read{};
        std::string name = root.toStdString();
        volumetools::Outcome outcome = volumetools::ReadVolumeFacts(name, &read);
        if (outcome.code == ERROR_NOT_READY) {
            facts->exists = true;
            return {};
        }
        if (MeansNoSuchDrive(outcome.code)) return {};
        if (outcome.code != 0)
            return FailureFromSystemError(outcome.code, FailureContext::Drive,
                                          QString::fromStdString(outcome.message));
        facts->exists = true;
        // A volume without a FAT file system is not ready for this program.
        facts->ready = read.ready && read.fileSystem != "RAW";
        facts->label = QString::fromStdString(read.label);
        facts->totalBytes = read.totalBytes;
        facts->freeBytes = read.freeBytes;
        facts->serialNumber = read.serialNumber;
        return {};
    }

    Failure CopyFolderFiles(const QString& sourceFolder, const QString& root,
                            const std::function<void(const QString&)>& onFile) override {
        std::string source = sourceFolder.toStdString();
        std::string drive = root.toStdString();
        int copied = 0;
        volumetools::Outcome outcome = volumetools::CopyFolderFiles(
            source, drive,
            [&](std::string_view fileName) {
                if (onFile) onFile(QString::fromUtf8(fileName.data(), fileName.size()));
            },
            &copied);
        if (outcome.code == 0) return {};
        // A missing source is the image folder's fault; anything else
        // happened on the drive.
        bool sourceMissing =
            outcome.code == ERROR_PATH_NOT_FOUND || outcome.code == ERROR_FILE_NOT_FOUND;
        return FailureFromSystemError(
            outcome.code, sourceMissing ? FailureContext::ImageFolder : FailureContext::Drive,
            QString::fromStdString(outcome.message));
    }

    QString WriteRefusal(const QString& root) override { return PlatformWriteRefusal(root); }
    bool HoldDrive(const QString& root, QString* why) override {
        return PlatformHoldDrive(root, why);
    }
    void ReleaseDrive(const QString& root) override { PlatformReleaseDrive(root); }
    Failure CheckBootFiles(const QString& sourceFolder, const QString& root, bool floppy) override {
        volumetools::BootVolume volume;
        volumetools::Outcome outcome = volumetools::PlanBootVolumeOf(root.toStdString(), &volume);
        if (outcome.Ok())
            outcome = volumetools::CheckBootFiles(sourceFolder.toStdString(), volume, floppy);
        if (outcome.Ok()) return {};
        Failure failure = FailureFromSystemError(
            outcome.code, floppy ? FailureContext::Drive : FailureContext::ImageFolder);
        failure.description = QString::fromStdString(outcome.message);
        return failure;
    }
    Failure PointFloppyPaths(const QString& root, QStringList* said) override {
        std::vector<volumetools::PointedFile> pointed;
        volumetools::Outcome outcome =
            volumetools::PointFloppyPathsAtBootDrive(root.toStdString(), &pointed);
        for (const auto& file : pointed) {
            QString name = QString::fromStdString(file.name);
            QString kept = QString::fromStdString(file.kept);
            if (file.keptExisted) {
                *said << QStringLiteral(
                             "%1 names drive A: but was left as it is: %2, where the "
                             "original would be kept, came with the floppy.")
                             .arg(name, kept);
                continue;
            }
            QString lines;
            for (const auto& line : file.lines)
                lines += QStringLiteral("\r\n    ") + QString::fromStdString(line);
            *said << QStringLiteral(
                         "%1 named drive A:, which the drive is not when it boots; it "
                         "now names C: (the original is kept as %2):%3")
                         .arg(name, kept, lines);
        }
        if (outcome.Ok()) return {};
        return FailureFromSystemError(outcome.code, FailureContext::Drive,
                                      QString::fromStdString(outcome.message));
    }
};

}  // namespace

std::unique_ptr<DriveServices> MakeMachineDriveServices() {
    return std::make_unique<VolumeToolsDriveServices>();
}

}  // namespace larkin::frontend
