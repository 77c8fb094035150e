// What the windows need from outside themselves: the engine, the drives, the
// message boxes, the worker thread, the program folder and a few desktop
// services. The program fills it with the real ones; tests with their own.
#ifndef LARKIN_FRONTEND_PROGRAM_SERVICES_H
#define LARKIN_FRONTEND_PROGRAM_SERVICES_H

#include <QString>
#include <QUrl>
#include <functional>

#include "interval_timer.h"
#include "writer_client.h"

namespace larkin::frontend {

class Engine;
class DriveServices;
class MessageBoxes;
class EngineWorker;

struct ProgramServices {
    Engine* engine = nullptr;
    DriveServices* drives = nullptr;
    MessageBoxes* messageBoxes = nullptr;
    EngineWorker* worker = nullptr;
    // The folder that holds the program (File_Images and the help page).
    QString programFolder;
    // The system's Windows folder, for example "C:\WINDOWS".
    std::function<QString()> windowsDirectory;
    // Opens a page in the desktop's browser; false when it could not.
    std::function<bool(const QUrl&)> openPage;
    // Ends the program at once.
    std::function<void()> endProgram;
    // Asks the user for a floppy image file; "" when none was picked.
    std::function<QString()> chooseFloppyImage;
    // A copy from the floppy leaves CONFIG.SYS and AUTOEXEC.BAT as they came.
    bool keepFloppyPaths = false;
    // A floppy image file is drive A: (--floppy-image); the menu entry sets
    // it too.
    bool floppyImageInUse = false;
    TimerFactory makeTimer;
    // The rich-text converter program for agreement files.
    QString richTextConverter = QStringLiteral("unrtf");
    // Show the engine's standard output in the copy window.
    bool captureEngineOutput = true;
    // Makes the drive bootable in the writing helper (larkin-writer), which
    // holds the drive itself; unset, the engine and the copy run in this
    // process.
    std::function<writer::Outcome(const writer::Request&, const writer::Callbacks&)> runWriter;
    // The refusal every drive gets for want of privileges that the helper
    // has ("" when there is none): it is no reason to refuse a drive.
    QString privilegeRefusal;
};

// The Windows folder through the platform (GetWindowsDirectoryA with a
// buffer of 100 characters and a size of 99); empty when it fails.
QString PlatformWindowsDirectory();

}  // namespace larkin::frontend

#endif
