// The drive services of the machine (the volume tools library) on a copy of
// the demo machine: drive facts, the floppy, the check of a source before
// the drive is written, and the copy of an image folder with its failures
// mapped onto the error handler's numbers.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <array>

#include "drive_services.h"
#include "larkin/platform.h"

using namespace larkin::frontend;

namespace {

// A file of `size` bytes (sparse) in `folder`.
void MakeFile(const QTemporaryDir& folder, const char* name, qint64 size) {
    QFile file(folder.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
}

}  // namespace

class MachineDrivesTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY(machineFolder_.isValid());
        QString machine = machineFolder_.filePath("demo.toml");
        QVERIFY(QFile::copy(QStringLiteral(LARKIN_DEMO_MACHINE), machine));
        std::array<char, 256> error{};
        QVERIFY2(LarkinStartPlatform(machine.toLocal8Bit().constData(), error.data(),
                                     static_cast<DWORD>(error.size())),
                 error.data());
        drives_ = MakeMachineDriveServices();
    }

    void FactsOfTheDemoDrives() {
        DriveFacts stick;
        QVERIFY(!drives_->GetDrive("E:", &stick));
        QVERIFY(stick.exists);
        QVERIFY(stick.ready);
        QCOMPARE(stick.label, QStringLiteral("CRUZER"));
        QVERIFY(stick.totalBytes > 100'000'000 && stick.totalBytes < 134'217'728);
        DriveFacts none;
        QVERIFY(!drives_->GetDrive("Q:", &none));
        QVERIFY(!none.exists);
        DriveFacts floppy;
        QVERIFY(!drives_->GetDrive("A:", &floppy));
        QVERIFY(floppy.exists);
    }

    void CopiesTheImageFolderAndReportsEachFile() {
        QTemporaryDir image;
        for (const char* name : {"KERNEL.SYS", "fi.ini", "License.rtf"})
            MakeFile(image, name, 1000);
        QVERIFY(QDir(image.path()).mkdir("SUB"));
        QStringList heard;
        Failure failure = drives_->CopyFolderFiles(
            image.path(), "E:", [&](const QString& name) { heard.append(name); });
        QVERIFY2(!failure, qPrintable(failure.description));
        heard.sort(Qt::CaseInsensitive);
        QCOMPARE(heard, (QStringList{"fi.ini", "KERNEL.SYS", "License.rtf"}));
    }

    void CopyFailuresMapOntoTheErrorHandler() {
        Failure missing = drives_->CopyFolderFiles("/nonexistent/LarkinDemo", "E:", {});
        QCOMPARE(missing.code, 76);
        QTemporaryDir big;
        MakeFile(big, "HUGE.BIN", qint64{300} * 1024 * 1024);  // larger than the stick
        Failure full = drives_->CopyFolderFiles(big.path(), "E:", {});
        QCOMPARE(full.code, 61);
        QTemporaryDir small;
        MakeFile(small, "ONE.TXT", 1);
        Failure gone = drives_->CopyFolderFiles(small.path(), "Q:", {});
        QVERIFY2(gone.code == 68 || gone.code == 57 || gone.code == 71,
                 qPrintable(QString::number(gone.code) + " " + gone.description));
    }

    // The check both hosts make before the drive is written: the demo's
    // empty floppy is refused, saying why, and a folder too large for the
    // volume the engine makes on E: maps onto "disk full".
    void BootFilesAreCheckedAsLarkinCliChecksThem() {
        Failure floppy = drives_->CheckBootFiles("A:", "E:", true);
        QVERIFY(floppy);
        QVERIFY2(floppy.description.contains("holds no KERNEL.SYS"),
                 qPrintable(floppy.description));
        QTemporaryDir big;
        MakeFile(big, "HUGE.BIN", qint64{200} * 1024 * 1024);
        Failure full = drives_->CheckBootFiles(big.path(), "E:", false);
        QCOMPARE(full.code, 61);
        QVERIFY2(full.description.startsWith("the files take 209,715,200 bytes"),
                 qPrintable(full.description));
        MakeFile(big, "HUGE.BIN", 1000);
        Failure fits = drives_->CheckBootFiles(big.path(), "E:", false);
        QVERIFY2(!fits, qPrintable(fits.description));
    }

  private:
    QTemporaryDir machineFolder_;
    std::unique_ptr<DriveServices> drives_;
};

QTEST_GUILESS_MAIN(MachineDrivesTest)
#include "machine_drives_test.moc"
