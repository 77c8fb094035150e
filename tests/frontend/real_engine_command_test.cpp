// On a copy of the demo machine: its drive services, and the demo image made
// onto E: with the real engine through larkin-writer, then booted in QEMU.
#include "boot_harness.h"
#include "fakes.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;
namespace boot = larkin::test::boot;

class RealEngineCommandTest : public QObject {
    Q_OBJECT
  private slots:
    // The check of a source before the drive is written (the demo's empty
    // floppy, files too large for the volume the engine makes).
    void DriveServicesAndTheDemoImageMadeOntoStickE() {
        QTemporaryDir machineFolder;
        QString machine = machineFolder.filePath("demo.toml");
        QVERIFY(QFile::copy(LARKIN_DEMO_MACHINE, machine));
        ::setenv("LARKIN_MACHINE", machine.toLocal8Bit().constData(), 1);
        std::array<char, 512> error{};
        QVERIFY2(LarkinStartPlatform(machine.toLocal8Bit().constData(), error.data(),
                                     static_cast<DWORD>(error.size())),
                 error.data());
        FakeMessageBoxes boxes;
        MachineProgram program(&boxes, LARKIN_BIN_DIR_PATH, LARKIN_BIN_DIR_PATH "/larkin-writer",
                               false);
        DriveServices* drives = program.drives.get();
        DriveFacts none, floppy;
        QVERIFY(!drives->GetDrive("Q:", &none) && !drives->GetDrive("A:", &floppy) &&
                !none.exists && floppy.exists);
        Failure empty = drives->CheckBootFiles("A:", "E:", true);
        QVERIFY2(empty.description.contains("holds no KERNEL.SYS"), qPrintable(empty.description));
        QTemporaryDir folder;
        QVERIFY(
            QFile::resize(WriteFile(folder.filePath("HUGE.BIN"), {}), qint64{200} * 1024 * 1024));
        Failure full = drives->CheckBootFiles(folder.path(), "E:", false);
        QVERIFY2(full.code == 61 && full.description.startsWith("the files take 209,715,200 bytes"),
                 qPrintable(full.description));
        QCOMPARE(drives->CopyFolderFiles(folder.path(), "E:", {}).code, 61);
        QVERIFY(QFile::resize(WriteFile(folder.filePath("HUGE.BIN"), {}), 1000));
        QVERIFY(QFile::resize(WriteFile(folder.filePath("KERNEL.SYS"), {}), 1000));
        QStringList heard;
        QVERIFY(
            !drives->CopyFolderFiles(folder.path(), "E:", [&](const QString& n) { heard << n; }));
        heard.sort();
        QCOMPARE(heard, (QStringList{"HUGE.BIN", "KERNEL.SYS"}));
        QCOMPARE(drives->CopyFolderFiles("/nonexistent/LarkinDemo", "E:", {}).code, 76);
        Failure gone = drives->CopyFolderFiles(folder.path(), "Q:", {});
        QVERIFY2(gone.code == 68 || gone.code == 57 || gone.code == 71,
                 qPrintable(QString::number(gone.code) + " " + gone.description));

        frmUSBBoot window(program.services);
        window.show();
        window.Form_Load();
        // The blank stick has no drive letter, so is not listed; E: (128 MiB).
        const QString rows = Rows(window).join('\n');
        QVERIFY2(rows.contains(QRegularExpression(
                     R"(^E:\|CRUZER\|SanDisk Cruzer Blade USB Device\|1[0-3]\d\.\d\d MB$)")),
                 qPrintable(rows));

        std::string disk;
        for (const larkin::sim::DiskStatus& status : larkin::sim::Disks())
            if (status.id == "stick1") disk = status.image;
        QVERIFY(!disk.empty());
        QVERIFY(larkin::controls::ClearJournal());
        QStringList lines;
        auto recorder = RecordSteps(&lines);
        Make(window, 0);  // the demo image, the only one
        const QString steps = lines.join(" | ");
        QCOMPARE(boxes.titles, QStringList{"USB Drive ERASE Notification"});
        QPointer<frmCopyFiles> copy = window.copyWindow();
        QVERIFY(copy && copy->isVisible());
        QCOMPARE(copy->Label1->text(), "Done: USB Drive E: is now bootable.");
        // Never what format asks of its console.
        QVERIFY2(steps.startsWith("Formatting E: ...") && steps.contains("Copying KERNEL.SYS") &&
                     !steps.contains("ENTER", Qt::CaseInsensitive) &&
                     !steps.contains("Insert", Qt::CaseInsensitive),
                 qPrintable(steps));

        const auto journal = larkin::controls::Journal();
        QVERIFY(!journal.empty());
        for (const larkin::controls::JournalEntry& entry : journal)
            QVERIFY2(entry.completed && entry.disk == "stick1", entry.via.c_str());

        auto listing = boot::Run(
            {"mdir", "-b", "-i",
             boot::MtoolsImage(disk, boot::Little(boot::ReadSector(disk, 0), 454)), "::"});
        QVERIFY2(listing.exitCode == 0, listing.output.c_str());
        QString names = QString::fromStdString(listing.output).toUpper();
        const QStringList files =
            QDir(LARKIN_BIN_DIR_PATH "/File_Images/LarkinDemo").entryList(QDir::Files);
        for (const QString& file : files)
            QVERIFY2(names.contains("::/" + file.toUpper()), qPrintable(names));

        if (!boot::HaveProgram("qemu-system-i386"))
            QSKIP("qemu-system-i386 is not installed (scripts/install-deps)");
        boot::Qemu qemu({"-drive", "file=" + disk + ",format=raw,if=ide"});
        QVERIFY2(qemu.WaitFor("This computer has started from a USB drive made by Larkin."),
                 qemu.console().c_str());
    }
};

QTEST_MAIN(RealEngineCommandTest)
#include "real_engine_command_test.moc"
