// What the program asks of drives: the facts the device list shows, drive
// A: for the floppy path, and the copy of an image folder onto a drive.
#ifndef LARKIN_FRONTEND_DRIVE_SERVICES_H
#define LARKIN_FRONTEND_DRIVE_SERVICES_H

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

#include "failure.h"

namespace larkin::frontend {

struct DriveFacts {
    bool exists = false;  // the system has a drive of that name
    bool ready = false;   // it has media with a file system
    QString label;
    uint64_t totalBytes = 0;
    // What tells one file system from another beyond the above: they change
    // whenever the volume is formatted or written (0 when not known).
    uint64_t freeBytes = 0;
    uint32_t serialNumber = 0;
};

class DriveServices {
  public:
    virtual ~DriveServices() = default;
    // root is a mount text such as "E:". A drive that does not exist is not
    // a failure: facts->exists is false.
    virtual Failure GetDrive(const QString& root, DriveFacts* facts) = 0;
    // Copies every file directly in sourceFolder (not its sub-folders) to the
    // root folder of the drive, replacing files of the same name. onFile is
    // called with each file's name before it is copied.
    virtual Failure CopyFolderFiles(const QString& sourceFolder, const QString& root,
                                    const std::function<void(const QString&)>& onFile) = 0;
    // Why the drive at root must not be written now (the running system's
    // disk, in use by the system, held by another program); "" when it may.
    virtual QString WriteRefusal(const QString& root) = 0;
    // Holds the drive for one make-bootable run, from before the engine's
    // first write to the last copied file: false, with why, when it cannot
    // be held. ReleaseDrive ends the hold.
    virtual bool HoldDrive(const QString& root, QString* why) = 0;
    virtual void ReleaseDrive(const QString& root) = 0;
    // Checks, before the drive root is written, that the files make-bootable
    // will copy from sourceFolder (an image folder, or "A:", the floppy, which
    // must then hold a kernel) can go on the volume it makes on that drive.
    // A refusal is a failure whose description says why, for people.
    virtual Failure CheckBootFiles(const QString& sourceFolder, const QString& root,
                                   bool floppy) = 0;
    // Shows a floppy image file as drive A: (this computer's drives only):
    // "" when done, else why not, for people.
    virtual QString UseFloppyImage(const QString& path);
    // After a copy from the floppy onto root: CONFIG.SYS and AUTOEXEC.BAT
    // there that name A: are pointed at C:, the originals kept beside them.
    // said receives a line for people for each file that names A:.
    virtual Failure PointFloppyPaths(const QString& root, QStringList* said);
};

// The platform's answers to the three above, shared by the machine's
// drive services.
QString PlatformWriteRefusal(const QString& root);
bool PlatformHoldDrive(const QString& root, QString* why);
void PlatformReleaseDrive(const QString& root);

// The drive services of the machine the program runs on (the platform's
// machine, the same one the engine sees).
std::unique_ptr<DriveServices> MakeMachineDriveServices();

}  // namespace larkin::frontend

#endif
