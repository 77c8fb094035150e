// Larkin: makes a USB flash drive bootable from a boot image or a floppy.
//
//   Larkin [--machine FILE] [--floppy-image FILE] [--keep-floppy-paths]
//          [--quit-after MS]
//
// --machine runs on a simulated machine (as LARKIN_MACHINE does); without
// one, on this computer's USB drives, which the writing helper writes
// (started through pkexec when the program is not root);
// --floppy-image shows a floppy image file there as drive A:;
// --keep-floppy-paths leaves a floppy's CONFIG.SYS and AUTOEXEC.BAT on the
// stick naming A:;
// --quit-after ends the program that many milliseconds after its window
// has loaded (used to measure it).
#include <QApplication>
#include <QCommandLineParser>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <array>
#include <cstdlib>

#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "frmUSBBoot.h"
#include "larkin/platform.h"
#include "message_boxes.h"
#include "program_services.h"
#include "writer_client.h"

using namespace larkin::frontend;

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("Larkin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LARKIN_VERSION));
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Makes a USB flash drive bootable."));
    QCommandLineOption help = options.addHelpOption();
    QCommandLineOption version = options.addVersionOption();
    QCommandLineOption machine(QStringLiteral("machine"),
                               QStringLiteral("Run on the simulated machine described by <file>."),
                               QStringLiteral("file"));
    QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                 QStringLiteral("End <ms> milliseconds after start-up."),
                                 QStringLiteral("ms"));
    QCommandLineOption floppyImage(
        QStringLiteral("floppy-image"),
        QStringLiteral("Show the floppy image <file> as drive A: (this computer's drives)."),
        QStringLiteral("file"));
    QCommandLineOption keepFloppyPaths(
        QStringLiteral("keep-floppy-paths"),
        QStringLiteral("Leave a floppy's CONFIG.SYS and AUTOEXEC.BAT naming A: on the stick."));
    options.addOption(machine);
    options.addOption(floppyImage);
    options.addOption(keepFloppyPaths);
    options.addOption(quitAfter);

    // Help and the version are printed without a display: QApplication
    // would end the process first when there is none.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    options.parse(arguments);
    if (options.isSet(help) || options.isSet(version) ||
        options.optionNames().contains(QStringLiteral("help-all"))) {
        QCoreApplication console(argc, argv);
        options.process(console);  // prints and ends the process
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/larkin/larkin.png")));
    options.process(app);

    std::array<char, 512> error{};
    QByteArray machineFile = options.value(machine).toLocal8Bit();
    // The writing helper finds the machine where every program does.
    if (!machineFile.isEmpty())
        ::setenv("LARKIN_MACHINE",
                 QFileInfo(options.value(machine)).absoluteFilePath().toLocal8Bit().constData(), 1);
    if (!LarkinStartPlatform(machineFile.isEmpty() ? nullptr : machineFile.constData(),
                             error.data(), static_cast<DWORD>(error.size()))) {
        QMessageBox::critical(nullptr, QStringLiteral("Larkin"),
                              QStringLiteral("The machine could not be started: %1")
                                  .arg(QString::fromLocal8Bit(error.data())));
        return 1;
    }

    if (options.isSet(floppyImage)) {
        QByteArray file = options.value(floppyImage).toLocal8Bit();
        if (LarkinUseFloppyImage(file.constData(), error.data(),
                                 static_cast<DWORD>(error.size())) != ERROR_SUCCESS) {
            QMessageBox::critical(nullptr, QStringLiteral("Larkin"),
                                  QStringLiteral("The floppy image cannot be drive A:: %1")
                                      .arg(QString::fromLocal8Bit(error.data())));
            return 1;
        }
    }

    // On this computer's hardware without root the drives are listed here
    // and written by the helper, through pkexec: the want of root is no
    // refusal then.
    QString privilegeRefusal;
    if (!LarkinDrivesWritable(error.data(), static_cast<DWORD>(error.size())))
        privilegeRefusal = QString::fromLocal8Bit(error.data());
    bool elevate = larkin::writer::NeedsElevation();
    std::string helper = larkin::writer::HelperBesideProgram();

    DesktopMessageBoxes messageBoxes;
    RoutePlatformMessageBoxes(&messageBoxes);
    TesselEngine engine;
    std::unique_ptr<DriveServices> drives = MakeMachineDriveServices();
    EngineWorker worker;

    ProgramServices services;
    services.engine = &engine;
    services.drives = drives.get();
    services.messageBoxes = &messageBoxes;
    services.worker = &worker;
    services.programFolder = QCoreApplication::applicationDirPath();
    services.windowsDirectory = PlatformWindowsDirectory;
    services.openPage = [](const QUrl& page) { return QDesktopServices::openUrl(page); };
    services.runWriter = [helper, elevate](const larkin::writer::Request& request,
                                           const larkin::writer::Callbacks& callbacks) {
        return larkin::writer::RunWriter(helper, elevate, request, callbacks);
    };
    services.privilegeRefusal = privilegeRefusal;
    services.chooseFloppyImage = [] {
        return QFileDialog::getOpenFileName(
            nullptr, QStringLiteral("Floppy Image File"), QString(),
            QStringLiteral("Floppy images (*.img *.ima *.IMG *.IMA);;All files (*)"));
    };
    services.keepFloppyPaths = options.isSet(keepFloppyPaths);
    services.floppyImageInUse = options.isSet(floppyImage);
    services.endProgram = [] {
        for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
        QCoreApplication::exit(0);
    };

    int result = 0;
    {
        frmUSBBoot window(services);
        window.show();
        window.Form_Load();
        if (!window.Ended()) {
            if (options.isSet(quitAfter))
                QTimer::singleShot(options.value(quitAfter).toInt(), &app, &QCoreApplication::quit);
            result = QApplication::exec();
        }
    }
    RemovePlatformMessageBoxes();
    return result;
}
